#include "protocol/CommandQueue.h"

#include <cstring>
#include <exception>
#include <system_error>

#include "platform/Log.h"

namespace orvex {

CommandQueue::CommandQueue(CommandProtocol& protocol) : m_protocol(protocol) {}

CommandQueue::~CommandQueue() {
    Stop();
}

bool CommandQueue::Start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_thread.joinable()) return true;
    m_stop = false;
    m_protocol.SetAbandon(false);
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        diag_error(std::string("cannot start the command thread: ") + e.what());
        return false;
    }
    return true;
}

size_t CommandQueue::Post(const uint8_t* frame, PageId page) {
    size_t used = COMMAND_BUFFER_SIZE;
    while (used > 0 && frame[used - 1] == 0) --used;
    Waiting waiting{std::vector<uint8_t>(frame, frame + used), page};
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop || !m_thread.joinable()) return 0;
    m_frames.push_back(std::move(waiting));
    m_wake.notify_one();
    return ++m_perPage[page];
}

void CommandQueue::Stop() {
    // First, so that the exchange under way sees it at its very next step.
    m_protocol.SetAbandon(true);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_frames.clear();
        m_perPage.clear();
        m_wake.notify_all();
        m_idle.notify_all();
    }
    if (m_thread.joinable()) m_thread.join();
}

size_t CommandQueue::Pending() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames.size() + (m_running ? 1 : 0);
}

bool CommandQueue::WaitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_idle.wait_for(lock, timeout, [this] { return m_stop || (m_frames.empty() && !m_running); });
}

void CommandQueue::Run() {
    while (true) {
        Frame frame{};
        bool room = false;
        PageId page = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_frames.empty(); });
            if (m_stop) return;
            Waiting& next = m_frames.front();
            if (!next.bytes.empty()) std::memcpy(frame.data(), next.bytes.data(), next.bytes.size());
            page = next.page;
            m_frames.pop_front();
            auto count = m_perPage.find(page);
            if (count != m_perPage.end()) {
                // Only the step down from the limit: the server paused the
                // page when it reached it, and resumes it once.
                room = count->second == kPageFrameLimit;
                if (--count->second == 0) m_perPage.erase(count);
            }
            m_running = true;
        }
        if (room && m_onRoom) {
            try {
                m_onRoom(page);
            } catch (const std::exception& e) {
                diag_error(std::string("cannot resume a page: ") + e.what());
            }
        }
        // One bad exchange must not end the handling of every later frame.
        RunReportingFailure("command failed", [&] { m_protocol.HandleFrame(frame.data()); });
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        if (m_frames.empty()) m_idle.notify_all();
    }
}

}  // namespace orvex
