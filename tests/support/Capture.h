// Captures what the bridge writes to its log channels, for the duration of
// one test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Log.h"

namespace orvex::test {

class LogCapture final : public LogSink {
public:
    LogCapture();
    ~LogCapture() override;
    void log_line(const std::string& line) override;
    void trace(const std::string& text) override;
    void diag(const std::string& line) override;

    std::vector<std::string> Lines();
    std::vector<std::string> Traces();
    std::vector<std::string> Diags();
    bool WaitForLine(const std::string& line, std::chrono::milliseconds timeout);
    size_t CountLine(const std::string& line);

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_lines, m_traces, m_diags;
    LogSink* m_previous;
};

}  // namespace orvex::test
