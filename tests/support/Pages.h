// Fakes of the page side: a PageServer that keeps every text sent to the
// pages, and a FrameTarget that keeps every frame the server routes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bridge/OriginTrust.h"
#include "bridge/PageServer.h"
#include "support/Recorder.h"

namespace orvex::test {

class FakePages final : public PageServer {
public:
    // PageServer. Start fails with failStart when it is not empty.
    bool Start(const ServerConfig& config, FrameTarget& target, std::string* error) override;
    void close_all_connections(uint16_t status = 1000) override {
        Event(status == 1000 ? "close-all" : "close-all " + std::to_string(status));
    }
    void Stop() override;
    uint16_t port() const override { return 0; }
    void broadcast(const std::string& text) override { m_texts.Add(text); }
    void resume_page(PageId page) override { m_events.Add("resume " + std::to_string(page)); }

    // Every text sent so far, in order.
    std::vector<std::string> Texts() { return m_texts.All(); }
    void Clear() { m_texts.Clear(); }
    bool WaitForText(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return m_texts.WaitForItem(text, timeout);
    }
    bool WaitForCount(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return m_texts.WaitForCount(n, timeout);
    }
    // "start", "close-all" ("close-all 1001" for another status), "stop" and "resume <page>", in the order they
    // happened.
    std::vector<std::string> Events() { return m_events.All(); }
    // A page's message as the server hands it on: the bytes in a zero-filled
    // command buffer, to the target given to Start. Returns what the target
    // returns (the page's waiting frames), 0 without a target.
    size_t Receive(const std::vector<uint8_t>& message, PageId page = 1);

    std::string failStart;
    // Also told each event as it happens, outside the lock (set before Start).
    std::function<void(const std::string& event)> onEvent;

private:
    void Event(const std::string& event) {
        m_events.Add(event);
        if (onEvent) onEvent(event);
    }

    Recorder<std::string> m_texts, m_events;
    std::mutex m_mutex;  // guards m_target
    FrameTarget* m_target = nullptr;
};

class RecordingTarget final : public FrameTarget {
public:
    // Records the frame and answers 1 (never full).
    size_t HandleFrame(const uint8_t* frame, PageId page) override {
        m_frames.Add({std::vector<uint8_t>(frame, frame + COMMAND_BUFFER_SIZE), page});
        return 1;
    }
    // Each frame whole: COMMAND_BUFFER_SIZE bytes.
    std::vector<std::vector<uint8_t>> Frames();
    std::vector<PageId> Pages();  // the sender of each frame
    bool WaitForFrames(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return m_frames.WaitForCount(n, timeout);
    }

private:
    Recorder<std::pair<std::vector<uint8_t>, PageId>> m_frames;
};

// The user's side of origin questions: records "ask <origin>" and
// "withdraw <origin>" in order; the test answers through OriginTrust::Decide.
class RecordingAsker final : public Asker {
public:
    void Ask(const std::string& origin) override { m_events.Add("ask " + origin); }
    void Withdraw(const std::string& origin) override { m_events.Add("withdraw " + origin); }
    std::vector<std::string> Events() { return m_events.All(); }
    bool WaitForEvents(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return m_events.WaitForCount(n, timeout);
    }

private:
    Recorder<std::string> m_events;
};

}  // namespace orvex::test
