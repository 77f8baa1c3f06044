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

bool CommandQueue::Post(const uint8_t* frame) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stop || !m_thread.joinable()) return false;
    // Bounded: every exchange ends within its attempts and read time-outs, and
    // Stop wakes this wait.
    m_room.wait(lock, [this] { return m_stop || m_frames.size() < kMaxPending; });
    if (m_stop) return false;
    m_frames.emplace_back();
    std::memcpy(m_frames.back().data(), frame, kFrameSize);
    m_wake.notify_one();
    return true;
}

void CommandQueue::Stop() {
    // First, so that the exchange under way sees it at its very next step.
    m_protocol.SetAbandon(true);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_frames.clear();
        m_wake.notify_all();
        m_idle.notify_all();
        m_room.notify_all();
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
        Frame frame;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_frames.empty(); });
            if (m_stop) return;
            frame = m_frames.front();
            m_frames.pop_front();
            m_room.notify_one();
            m_running = true;
        }
        try {
            m_protocol.HandleFrame(frame.data());
        } catch (const std::exception& e) {
            // One bad exchange must not end the handling of every later frame.
            diag_error(std::string("command failed: ") + e.what());
        } catch (...) {
            diag_error("command failed");
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        if (m_frames.empty()) m_idle.notify_all();
    }
}

}  // namespace orvex
