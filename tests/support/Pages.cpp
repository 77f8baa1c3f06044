#include "support/Pages.h"

#include <algorithm>
#include <cstring>

namespace orvex::test {

void FakePages::Event(const std::string& event) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
    }
    if (onEvent) onEvent(event);
}

bool FakePages::Start(const ServerConfig&, FrameTarget& target, std::string* error) {
    Event("start");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!failStart.empty()) {
        if (error) *error = failStart;
        return false;
    }
    m_target = &target;
    return true;
}

void FakePages::close_all_connections(uint16_t status) {
    Event(status == 1000 ? "close-all" : "close-all " + std::to_string(status));
}

void FakePages::Stop() {
    Event("stop");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_target = nullptr;
}

void FakePages::broadcast(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_texts.push_back(text);
    m_cv.notify_all();
}

std::vector<std::string> FakePages::Texts() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_texts;
}

void FakePages::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_texts.clear();
}

bool FakePages::WaitForText(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout,
                         [&] { return std::find(m_texts.begin(), m_texts.end(), text) != m_texts.end(); });
}

bool FakePages::WaitForCount(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_texts.size() >= n; });
}

std::vector<std::string> FakePages::Events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

void FakePages::resume_page(PageId page) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back("resume " + std::to_string(page));
    m_cv.notify_all();
}

size_t FakePages::Receive(const std::vector<uint8_t>& message, PageId page) {
    uint8_t buffer[COMMAND_BUFFER_SIZE] = {};
    std::memcpy(buffer, message.data(), std::min(message.size(), COMMAND_BUFFER_SIZE));
    FrameTarget* target;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        target = m_target;
    }
    return target ? target->HandleFrame(buffer, page) : 0;
}

size_t RecordingTarget::HandleFrame(const uint8_t* frame, PageId page) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frames.emplace_back(frame, frame + COMMAND_BUFFER_SIZE);
    m_pages.push_back(page);
    m_cv.notify_all();
    return 1;
}

std::vector<PageId> RecordingTarget::Pages() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pages;
}

std::vector<std::vector<uint8_t>> RecordingTarget::Frames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

bool RecordingTarget::WaitForFrames(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_frames.size() >= n; });
}

void RecordingAsker::Ask(const std::string& origin) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back("ask " + origin);
    m_cv.notify_all();
}

void RecordingAsker::Withdraw(const std::string& origin) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back("withdraw " + origin);
    m_cv.notify_all();
}

std::vector<std::string> RecordingAsker::Events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

bool RecordingAsker::WaitForEvents(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_events.size() >= n; });
}

}  // namespace orvex::test
