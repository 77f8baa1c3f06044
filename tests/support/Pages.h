// Fakes of the page side: a PageServer that keeps every text sent to the
// pages, and a FrameTarget that keeps every frame the server routes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/OriginTrust.h"
#include "bridge/PageServer.h"

namespace orvex::test {

class FakePages final : public PageServer {
public:
    // PageServer. Start fails with failStart when it is not empty.
    bool Start(const ServerConfig& config, FrameTarget& target, std::string* error) override;
    void close_all_connections(uint16_t status = 1000) override;
    void Stop() override;
    uint16_t port() const override { return 0; }
    void broadcast(const std::string& text) override;
    void resume_page(PageId page) override;

    // Every text sent so far, in order.
    std::vector<std::string> Texts();
    void Clear();
    bool WaitForText(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool WaitForCount(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // "start", "close-all" ("close-all 1001" for another status), "stop" and "resume <page>", in the order they
    // happened.
    std::vector<std::string> Events();
    // A page's message as the server hands it on: the bytes in a zero-filled
    // command buffer, to the target given to Start. Returns what the target
    // returns (the page's waiting frames), 0 without a target.
    size_t Receive(const std::vector<uint8_t>& message, PageId page = 1);

    std::string failStart;
    // Also told each event as it happens, outside the lock (set before Start).
    std::function<void(const std::string& event)> onEvent;

private:
    void Event(const std::string& event);

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_texts;
    std::vector<std::string> m_events;
    FrameTarget* m_target = nullptr;
};

class RecordingTarget final : public FrameTarget {
public:
    // Records the frame and answers 1 (never full).
    size_t HandleFrame(const uint8_t* frame, PageId page) override;
    // Each frame whole: COMMAND_BUFFER_SIZE bytes.
    std::vector<std::vector<uint8_t>> Frames();
    std::vector<PageId> Pages();  // the sender of each frame
    bool WaitForFrames(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::vector<uint8_t>> m_frames;
    std::vector<PageId> m_pages;
};

// The user's side of origin questions: records "ask <origin>" and
// "withdraw <origin>" in order; the test answers through OriginTrust::Decide.
class RecordingAsker final : public Asker {
public:
    void Ask(const std::string& origin) override;
    void Withdraw(const std::string& origin) override;
    std::vector<std::string> Events();
    bool WaitForEvents(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_events;
};

}  // namespace orvex::test
