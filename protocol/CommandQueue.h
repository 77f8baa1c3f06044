// Runs decoded frames through the command protocol one at a time, in the
// order they arrived, on a thread of their own.
//
// A transfer may pause for many seconds (a family 0x81 block that is never
// acknowledged takes 15 s). Were it to run on the server thread, that thread
// could not write the frames that reader threads queue meanwhile, and every
// page would see its reports stall until the transfer ended. The server thread
// only decodes and posts; frames still never overlap.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "protocol/CommandProtocol.h"

namespace orvex {

class CommandQueue {
public:
    static constexpr size_t kFrameSize = 1000;
    // A page flooding commands must not grow the bridge without bound; past
    // this many waiting frames the server thread waits for room, as it would
    // if it ran the exchanges itself, and no frame is lost.
    static constexpr size_t kMaxPending = 256;

    explicit CommandQueue(CommandProtocol& protocol);
    ~CommandQueue();  // Stop()
    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;

    // Starts the worker; false (with a diagnostic) when no thread can be made.
    bool Start();
    // Copies the frame (kFrameSize bytes) and queues it, waiting for room when
    // kMaxPending frames wait already. False when the queue is stopped.
    bool Post(const uint8_t* frame);
    // Drops the frames still waiting, cuts the running exchange short at its
    // next step and joins the worker. Safe to call twice or without Start.
    void Stop();

    // Frames posted and not yet finished (for tests).
    size_t Pending();
    // Waits until every posted frame has been handled; false on time-out.
    bool WaitIdle(std::chrono::milliseconds timeout);

private:
    using Frame = std::array<uint8_t, kFrameSize>;
    void Run();

    CommandProtocol& m_protocol;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::condition_variable m_room;
    std::deque<Frame> m_frames;
    bool m_running = false;  // a frame is being handled
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace orvex
