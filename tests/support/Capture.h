// Captures what the bridge writes to its log channels, for the duration of
// one test.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "support/Recorder.h"

namespace orvex::test {

class LogCapture final : public LogSink {
public:
    LogCapture() : m_previous(set_log_sink(this)) {}
    ~LogCapture() override { set_log_sink(m_previous); }
    void log_line(const std::string& line) override { m_lines.Add(line); }
    void trace(const std::string& text) override { m_traces.Add(text); }
    void diag(const std::string& line) override { m_diags.Add(line); }

    std::vector<std::string> Lines() { return m_lines.All(); }
    std::vector<std::string> Traces() { return m_traces.All(); }
    std::vector<std::string> Diags() { return m_diags.All(); }
    bool WaitForLine(const std::string& line, std::chrono::milliseconds timeout) {
        return m_lines.WaitForItem(line, timeout);
    }
    size_t CountLine(const std::string& line) { return m_lines.Count(line); }

private:
    Recorder<std::string> m_lines, m_traces, m_diags;
    LogSink* m_previous;
};

}  // namespace orvex::test
