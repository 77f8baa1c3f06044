// When a reader sees its stop request, counted in clock pauses rather than in
// wall time: every 10 ms pause waits for the test to let it pass.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hid/HidDeviceManager.h"
#include "sim/Simulator.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

constexpr auto kWait = 5s;

class StepClock final : public Clock {
public:
    void sleep_for(std::chrono::milliseconds d) override {
        if (d >= 100ms) return;  // the open step's pauses are not under test here
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_waiting;
        m_cv.notify_all();
        m_cv.wait(lock, [&] { return m_permits > 0 || m_open; });
        if (m_permits > 0) --m_permits;
        --m_waiting;
        ++m_passed;
        m_cv.notify_all();
    }
    void Release(int n) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_permits += n;
        m_cv.notify_all();
    }
    // Lets every pause through from now on.
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cv.notify_all();
    }
    bool WaitUntilWaiting(int n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, kWait, [&] { return m_waiting >= n; });
    }
    bool WaitUntilPassed(int n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, kWait, [&] { return m_passed >= n; });
    }
    int Passed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_passed;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_permits = 0;
    int m_waiting = 0;
    int m_passed = 0;
    bool m_open = false;
};

// Looks at the reader's state as each text goes out.
class WatchingPages final : public PageSink {
public:
    std::function<void(const std::string&)> onText;
    void broadcast(const std::string& text) override { onText(text); }
};

class AReaderStop : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        sim = sim::Simulator::LoadScenarioText(
            R"({"devices":[{"name":"vireo","vendor_id":"0x1D57","product_id":"0xFA60","device_id":2}]})", &error);
        ASSERT_TRUE(sim) << error;
        pages.onText = [this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            texts.push_back(text);
            if (stopOnBroadcast) manager->Family(0x81)->m_bStopRequest[0] = 1;
            ackAtBroadcast.push_back(manager->m_bAcked81[0].load());
            cv.notify_all();
        };
    }
    void TearDown() override {
        clock.Open();
        manager.reset();
        sim.reset();
    }
    void Start(Clock& c) {
        manager = std::make_unique<HidDeviceManager>(sim->hid(), c, pages);
        manager->OpenHidFamily(0x81);
    }
    void Report(uint8_t b) {
        std::string error;
        ASSERT_TRUE(sim->QueueReport("vireo", {0x05, 0x02, b}, 1, &error)) << error;
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(mutex);
        return texts;
    }
    bool WaitForTexts(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, kWait, [&] { return texts.size() >= n; });
    }

    StepClock clock;
    WatchingPages pages;
    std::unique_ptr<sim::Simulator> sim;
    std::unique_ptr<HidDeviceManager> manager;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> texts;
    bool stopOnBroadcast = false;     // read by the tap under mutex
    std::vector<int> ackAtBroadcast;  // m_bAcked81[0] as each text went out
};

TEST_F(AReaderStop, WaitsOnePauseBeforeItsFirstPoll) {
    Start(clock);
    Report(0x01);
    ASSERT_TRUE(clock.WaitUntilWaiting(1));
    EXPECT_TRUE(Texts().empty());
    clock.Release(1);
    ASSERT_TRUE(WaitForTexts(1));
    EXPECT_THAT(Texts(), ElementsAre("81010502010000"));
}

TEST_F(AReaderStop, PollsOnceBetweenPausesAndTakesOneReportPerPoll) {
    Start(clock);
    Report(0x01);
    Report(0x02);
    Report(0x03);
    clock.Release(1);
    ASSERT_TRUE(WaitForTexts(1));
    ASSERT_TRUE(clock.WaitUntilPassed(1));
    ASSERT_TRUE(clock.WaitUntilWaiting(1));
    EXPECT_EQ(Texts().size(), 1u);
    clock.Release(2);
    ASSERT_TRUE(WaitForTexts(3));
    EXPECT_THAT(Texts(), ElementsAre("81010502010000", "81010502020000", "81010502030000"));
}

TEST_F(AReaderStop, SetBetweenPollsEndsTheReaderAfterTheCurrentPauseWithoutReadingAgain) {
    Start(clock);
    Report(0x01);
    clock.Release(1);
    ASSERT_TRUE(WaitForTexts(1));
    ASSERT_TRUE(clock.WaitUntilPassed(1));
    ASSERT_TRUE(clock.WaitUntilWaiting(1));  // in the pause after its first poll
    manager->Family(0x81)->m_bStopRequest[0] = 1;
    Report(0x02);
    clock.Release(1);
    manager->StopSlotReader(0x81, 0);  // returns once the thread has ended
    EXPECT_EQ(clock.Passed(), 2);
    EXPECT_THAT(Texts(), ElementsAre("81010502010000"));
}

TEST_F(AReaderStop, SetDuringAPollLetsThatPollBroadcastAndEndsAfterOneMorePause) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopOnBroadcast = true;
    }
    Start(clock);
    Report(0x01);
    Report(0x02);
    clock.Release(1);
    ASSERT_TRUE(WaitForTexts(1));
    ASSERT_TRUE(clock.WaitUntilWaiting(1));
    clock.Release(1);
    manager->StopSlotReader(0x81, 0);
    EXPECT_EQ(clock.Passed(), 2);
    EXPECT_THAT(Texts(), ElementsAre("81010502010000"));
}

// The command route waits for the flag; a page that sees the text must be
// able to rely on the flag being set already.
TEST_F(AReaderStop, SetsTheAcknowledgementFlagBeforeTheTextGoesOut) {
    Start(clock);
    std::string error;
    ASSERT_TRUE(sim->QueueReport("vireo", {0x05, 0x02, 0x50, 0x00}, 1, &error));
    ASSERT_TRUE(sim->QueueReport("vireo", {0x05, 0x02, 0x50, 0x01}, 1, &error));
    clock.Release(2);
    ASSERT_TRUE(WaitForTexts(2));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_THAT(ackAtBroadcast, ElementsAre(1, 0));
}

TEST_F(AReaderStop, EndsARealReaderWellWithinASecond) {
    SteadyClock steady;
    Start(steady);
    Report(0x01);
    ASSERT_TRUE(WaitForTexts(1));
    const auto start = std::chrono::steady_clock::now();
    manager->StopSlotReader(0x81, 0);
    // One poll plus 10 ms in principle; the bound only catches a reader that
    // does not look at its request at all.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace
}  // namespace orvex
