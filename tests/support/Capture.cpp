#include "support/Capture.h"

#include <algorithm>

namespace orvex::test {

LogCapture::LogCapture() : m_previous(set_log_sink(this)) {}
LogCapture::~LogCapture() {
    set_log_sink(m_previous);
}

void LogCapture::log_line(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(line);
    m_cv.notify_all();
}
void LogCapture::trace(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_traces.push_back(text);
    m_cv.notify_all();
}
void LogCapture::diag(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_diags.push_back(line);
    m_cv.notify_all();
}
std::vector<std::string> LogCapture::Lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}
std::vector<std::string> LogCapture::Traces() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_traces;
}
std::vector<std::string> LogCapture::Diags() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_diags;
}
bool LogCapture::WaitForLine(const std::string& line, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout,
                         [&] { return std::find(m_lines.begin(), m_lines.end(), line) != m_lines.end(); });
}
size_t LogCapture::CountLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<size_t>(std::count(m_lines.begin(), m_lines.end(), line));
}

}  // namespace orvex::test
