// How a reader waits: for a report, which it forwards at once, or for its stop
// request, which ends it at once; and how a removal waits for a text already
// on its way. Observed as ordered events (a report queued, a text out, a pause
// taken through the clock), never as milliseconds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/HidDeviceManager.h"
#include "sim/Simulator.h"
#include "support/Fakes.h"

namespace orvex {

struct HidManagerAccess {
    static void RequestStop(HidDeviceManager& manager, uint8_t family, int slot) {
        manager.Family(family)->m_bStopRequest[slot].Set();
    }
};

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr auto kEventWait = 5s;

using Events = test::Recorder<std::string>;

// Any pause a reader took would show up in the log; the open step's long
// pauses are not under test.
class LoggingClock final : public Clock {
public:
    explicit LoggingClock(Events& events) : m_events(events) {}
    void sleep_for(std::chrono::milliseconds d) override {
        if (d < 100ms) m_events.Add("pause");
    }

private:
    Events& m_events;
};

// Looks at the reader's state as each text goes out.
class WatchingPages final : public PageSink {
public:
    std::function<void(const std::string&)> onText;
    void broadcast(const std::string& text) override { onText(text); }
};

class AReader : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        sim = sim::Simulator::LoadScenarioText(
            R"({"devices":[{"name":"vireo","vendor_id":"0x1D57","product_id":"0xFA60","device_id":2}]})", &error);
        ASSERT_TRUE(sim) << error;
        pages.onText = [this](const std::string& text) {
            if (stopOnBroadcast) HidManagerAccess::RequestStop(*manager, 0x81, 0);
            ackAtBroadcast.push_back(manager->AckFlag(0).load());
            events.Add(text);
        };
        manager = std::make_unique<HidDeviceManager>(sim->hid(), clock, pages);
        manager->OpenHidFamily(0x81);
    }
    void TearDown() override {
        manager.reset();
        sim.reset();
    }
    // Logged before it is queued: its text may go out before QueueReport
    // returns.
    void Report(std::vector<uint8_t> bytes, const std::string& event = "queued") {
        events.Add(event);
        std::string error;
        ASSERT_TRUE(sim->QueueReport("vireo", bytes, 1, &error)) << error;
    }
    bool WaitUntilWaiting() {
        return test::WaitUntil([this] { return sim->WaitingReads("vireo") == 1; }, kEventWait);
    }
    // StopSlotReader on another thread, so that a reader that does not wake
    // fails the test instead of hanging it. False when it did not return.
    bool StopWithin(std::chrono::seconds limit) {
        auto done = std::async(std::launch::async, [this] { manager->StopSlotReader(0x81, 0); });
        if (done.wait_for(limit) == std::future_status::ready) return true;
        sim->Unplug("vireo", nullptr);  // a reader stuck in its read gets an error and ends
        done.wait();
        return false;
    }

    Events events;
    LoggingClock clock{events};
    WatchingPages pages;
    std::unique_ptr<sim::Simulator> sim;
    std::unique_ptr<HidDeviceManager> manager;
    std::atomic<bool> stopOnBroadcast{false};
    std::vector<int> ackAtBroadcast;  // m_bAcked81[0] as each text went out; the reader's thread only
};

TEST_F(AReader, ForwardsAReportThatArrivesWhileItWaitsWithoutAPause) {
    for (uint8_t b : {0x01, 0x02}) {
        ASSERT_TRUE(WaitUntilWaiting());
        Report({0x05, 0x02, b});
        ASSERT_TRUE(events.WaitForCount(b * 2u, kEventWait));
    }
    EXPECT_THAT(events.All(), ElementsAre("queued", "81010502010000", "queued", "81010502020000"));
}

TEST_F(AReader, ForwardsABurstWholeAndInOrder) {
    ASSERT_TRUE(WaitUntilWaiting());
    std::vector<std::string> expected;
    for (int i = 0; i < 200; ++i) {
        std::string error;
        ASSERT_TRUE(sim->QueueReport("vireo", {0x05, 0x02, static_cast<uint8_t>(i)}, 1, &error)) << error;
        char text[16];
        std::snprintf(text, sizeof text, "81010502%02x0000", i);
        expected.push_back(text);
    }
    ASSERT_TRUE(events.WaitForCount(expected.size(), kEventWait));
    EXPECT_THAT(events.All(), ElementsAreArray(expected));
}

TEST_F(AReader, EndsAtOnceWhenStoppedWhileWaitingAndReadsNothingMore) {
    Report({0x05, 0x02, 0x01});
    ASSERT_TRUE(events.WaitForCount(2, kEventWait));
    ASSERT_TRUE(WaitUntilWaiting());
    HidManagerAccess::RequestStop(*manager, 0x81, 0);
    Report({0x05, 0x02, 0x02}, "queued after the stop");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(StopWithin(10s)) << "the stop request did not wake the reader";
    // Only catches a reader that ignores its request for long; the 20 ms bound
    // is the stop benchmark's.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(sim->WaitingReads("vireo"), 0);
    EXPECT_THAT(events.All(), ElementsAre("queued", "81010502010000", "queued after the stop"));
}

TEST_F(AReader, StoppedDuringABroadcastLetsThatTextOutAndReadsNoMore) {
    stopOnBroadcast = true;
    ASSERT_TRUE(WaitUntilWaiting());
    Report({0x05, 0x02, 0x01});
    Report({0x05, 0x02, 0x02});
    // Both queued and the first text out; the stop it set ends the reader.
    ASSERT_TRUE(events.WaitForCount(3, kEventWait));
    ASSERT_TRUE(StopWithin(10s));
    // The first text may go out before the second report is queued.
    auto all = events.All();
    all.erase(std::remove(all.begin(), all.end(), "queued"), all.end());
    EXPECT_THAT(all, ElementsAre("81010502010000"));
}

// The command route waits for the flag; a page that sees the text must be
// able to rely on the flag being set already.
TEST_F(AReader, SetsTheAcknowledgementFlagBeforeTheTextGoesOut) {
    Report({0x05, 0x02, 0x50, 0x00});
    Report({0x05, 0x02, 0x50, 0x01});
    ASSERT_TRUE(events.WaitForCount(4, kEventWait));
    ASSERT_TRUE(StopWithin(10s));
    EXPECT_THAT(ackAtBroadcast, ElementsAre(1, 0));
}

// Holds every report text inside broadcast until released, and keeps texts in
// the order their broadcasts end: the order pages receive them in.
class HoldingPages final : public PageSink {
public:
    void broadcast(const std::string& text) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (text.compare(2, 2, "01") == 0) {
            m_holding = true;
            m_cv.notify_all();
            m_cv.wait(lock, [&] { return m_released; });
        }
        m_texts.push_back(text);
    }
    bool WaitHolding() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, kEventWait, [&] { return m_holding; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_cv.notify_all();
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_texts;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_holding = false, m_released = false;
    std::vector<std::string> m_texts;
};

// The input collection's node goes first, so the removal that clears the slot
// does not end its reader: only waiting keeps the texts in order.
TEST(ARemovalOfAnInputCollection, LetsAReportTextAlreadyOnItsWayGoOutFirst) {
    std::string error;
    auto sim = sim::Simulator::LoadScenarioText(
        R"({"devices":[{"name":"vireo","vendor_id":"0x1D57","product_id":"0xFA60","device_id":2}]})", &error);
    ASSERT_TRUE(sim) << error;
    SteadyClock clock;
    HoldingPages pages;
    Timings timings;
    timings.initialFeaturePause = 0ms;
    HidDeviceManager manager(sim->hid(), clock, pages, timings);
    manager.OpenHidFamily(0x81);
    ASSERT_TRUE(sim->QueueReport("vireo", {0x05, 0x02, 0x01}, 1, &error)) << error;
    const bool held = pages.WaitHolding();
    DeviceChange removal;
    removal.kind = DeviceChange::Kind::Removal;
    removal.path = sim->CollectionPaths("vireo")[1];
    removal.vendor_id = kOrvexVendorId;
    removal.product_id = kProductVireo;
    auto removed = std::async(std::launch::async, [&] { manager.HandleHidRemoval(removal); });
    // Had the removal not waited, its text would be out by now.
    removed.wait_for(200ms);
    pages.Release();
    ASSERT_TRUE(held);
    ASSERT_EQ(removed.wait_for(10s), std::future_status::ready);
    EXPECT_THAT(pages.Texts(), ElementsAre("81010502010000", "810002"));
}

TEST(AReaderOfAFailedDevice, ReadsOnceAndWaitsForItsStopRequest) {
    test::FakeHidApi hid;
    HidDeviceInfo entry;
    entry.path = "/dev/hidraw1";
    entry.vendor_id = kOrvexVendorId;
    entry.product_id = kProductVireo;
    entry.usage_page = 0x000A;
    auto* device = hid.Add(entry).get();
    std::atomic<int> reads{0};
    device->onRead = [&] {  // every read fails at once, as on an unplugged node
        ++reads;
        device->Unplug();
    };
    Events events;
    LoggingClock clock(events);
    WatchingPages pages;
    pages.onText = [&](const std::string& text) { events.Add(text); };
    HidDeviceManager manager(hid, clock, pages);
    manager.OpenHidFamily(0x81);
    ASSERT_TRUE(test::WaitUntil([&] { return reads > 0; }, kEventWait));
    // A reader that retried would read thousands of times meanwhile.
    std::this_thread::sleep_for(50ms);
    manager.StopSlotReader(0x81, 0);
    EXPECT_EQ(reads.load(), 1);
    EXPECT_TRUE(events.All().empty());
}

}  // namespace
}  // namespace orvex
