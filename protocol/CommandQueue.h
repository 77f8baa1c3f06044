// Runs decoded frames through the command protocol one at a time, in the
// order they arrived, on a thread of their own.
//
// A transfer may pause for many seconds (a family 0x81 block that is never
// acknowledged takes 15 s). Were it to run on the server thread, that thread
// could not write the frames that reader threads queue meanwhile, and every
// page would see its reports stall until the transfer ended. The server thread
// only decodes and posts; frames still never overlap.
//
// The server thread never waits here either: it writes every page's texts,
// so a page flooding commands would stall every page. Instead each frame
// carries its page, the queue counts each page's waiting frames, and the
// server stops reading a page that has kPageFrameLimit waiting until the
// queue reports room for it. All frames stay in one queue, in arrival order.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bridge/PageSink.h"
#include "protocol/CommandProtocol.h"

namespace orvex {

class CommandQueue {
public:
    explicit CommandQueue(CommandProtocol& protocol);
    ~CommandQueue();  // Stop()
    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;

    // Starts the worker; false (with a diagnostic) when no thread can be made.
    bool Start();
    // Copies the frame (COMMAND_BUFFER_SIZE bytes) and queues it behind every frame
    // already waiting; never waits. Returns how many frames of that page wait
    // now, this one included; 0 when the queue is stopped (the frame is
    // dropped).
    size_t Post(const uint8_t* frame, PageId page = 0);
    // Called on the command thread, with no lock held, when a page's waiting
    // frames fall below kPageFrameLimit after having reached it. Set before
    // Start.
    void SetRoomHandler(std::function<void(PageId)> handler) { m_onRoom = std::move(handler); }
    // Drops the frames still waiting, cuts the running exchange short at its
    // next step and joins the worker. Safe to call twice or without Start.
    void Stop();

    // Frames posted and not yet finished (for tests).
    size_t Pending();
    // Waits until every posted frame has been handled; false on time-out.
    bool WaitIdle(std::chrono::milliseconds timeout);

private:
    using Frame = std::array<uint8_t, COMMAND_BUFFER_SIZE>;
    // The frame's bytes up to its last non-zero one: a flood of short frames
    // then costs bytes, not kilobytes, each. The rest reads as zero again.
    struct Waiting {
        std::vector<uint8_t> bytes;
        PageId page;
    };
    void Run();

    CommandProtocol& m_protocol;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Waiting> m_frames;
    // Waiting frames per page; a page's entry goes with its last frame.
    std::unordered_map<PageId, size_t> m_perPage;
    std::function<void(PageId)> m_onRoom;
    bool m_running = false;  // a frame is being handled
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace orvex
