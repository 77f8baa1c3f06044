// The command thread: frames handled one at a time, in order, off the thread
// that posts them, and a shutdown that does not wait out a long transfer.
#include "protocol/CommandQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>

#include "ProtocolFixture.h"

namespace orvex::test {
namespace {

using namespace std::chrono_literals;
using Op = FakeHidDevice::Op;

class ACommandQueue : public ProtocolTest {
protected:
    ~ACommandQueue() override { m_queue.Stop(); }
    bool Post(const std::string& hex) { return m_queue.Post(Frame(hex).data()); }
    CommandQueue m_queue{m_protocol};
};

TEST_F(ACommandQueue, HandlesFramesInTheOrderTheyWerePosted) {
    auto a = Place(0x83, 0, 0x01, "a");
    auto b = Place(0x85, 0, 0x02, "b");
    ASSERT_TRUE(m_queue.Start());
    ASSERT_TRUE(Post("8301050100"));
    ASSERT_TRUE(Post("8502050100"));
    ASSERT_TRUE(Post("f082000c00"));  // no such device: nothing
    ASSERT_TRUE(Post("8301050100"));
    ASSERT_TRUE(m_queue.WaitIdle(30s));
    EXPECT_EQ(m_timeline.Events(),
              (Events{"a write 65", "sleep 500", "b write 65", "sleep 500", "a write 65", "sleep 500"}));
}

TEST_F(ACommandQueue, RunsQueriesAndTheirTexts) {
    Place(0x82, 0, 0x05);
    ASSERT_TRUE(m_queue.Start());
    ASSERT_TRUE(Post("f082050b00"));
    ASSERT_TRUE(m_broadcasts.WaitForText("82050BF0", 30s));
}

TEST_F(ACommandQueue, NeverLetsTwoFramesOverlapAndDoesNotBlockThePoster) {
    auto device = Place(0x83, 0, 0x01);
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    std::mutex gateMutex;
    std::condition_variable gateCv;
    bool open = false;
    device->onWrite = [&](const Bytes& b) {
        const int now = ++inside;
        most = std::max(most.load(), now);
        std::unique_lock<std::mutex> lock(gateMutex);
        gateCv.wait_for(lock, 30s, [&] { return open; });  // the first frame holds the thread
        --inside;
        return static_cast<int>(b.size());
    };
    ASSERT_TRUE(m_queue.Start());
    // Posting returns while the first frame is still in the device.
    std::thread posters[4];
    for (auto& t : posters) t = std::thread([&] { Post("8301050100"); });
    for (auto& t : posters) t.join();
    EXPECT_GE(m_queue.Pending(), 1u);
    {
        std::lock_guard<std::mutex> lock(gateMutex);
        open = true;
    }
    gateCv.notify_all();
    ASSERT_TRUE(m_queue.WaitIdle(30s));
    EXPECT_EQ(device->Calls(Op::Write).size(), 4u);
    EXPECT_EQ(most.load(), 1);
}

TEST_F(ACommandQueue, StopsAnUnacknowledgedTransferAtItsNextStepAndDropsTheRest) {
    auto vireo = Place(0x81, 0, 0x03);
    auto other = Place(0x83, 0, 0x01);
    std::promise<void> firstPause;
    std::atomic<bool> signalled{false};
    m_duringSleep = [&](size_t) {
        if (!signalled.exchange(true)) firstPause.set_value();
        // Stands for a 500 ms pause; it ends as soon as shutdown begins.
        for (int k = 0; k < 30000 && !m_protocol.Abandoned(); ++k) std::this_thread::sleep_for(1ms);
    };
    ASSERT_TRUE(m_queue.Start());
    ASSERT_TRUE(Post(ToHex({0x81, 0x03, 0x09, 0x83})));  // block: 3 packets per attempt, never acknowledged
    ASSERT_TRUE(Post("8301050100"));
    ASSERT_EQ(firstPause.get_future().wait_for(30s), std::future_status::ready);
    m_queue.Stop();
    EXPECT_LT(vireo->Calls(Op::SendFeature).size(), 30u);
    EXPECT_LE(vireo->Calls(Op::SendFeature).size(), 3u);  // what was under way when it stopped
    EXPECT_TRUE(other->Calls().empty());
    EXPECT_TRUE(m_broadcasts.Texts().empty());
    EXPECT_FALSE(Post("8301050100"));
}

TEST_F(ACommandQueue, RefusesFramesBeyondItsBound) {
    auto device = Place(0x83, 0, 0x01);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> entered;
    std::atomic<bool> once{false};
    device->onWrite = [&](const Bytes& b) {
        if (!once.exchange(true)) {
            entered.set_value();
            released.wait_for(30s);
        }
        return static_cast<int>(b.size());
    };
    ASSERT_TRUE(m_queue.Start());
    ASSERT_TRUE(Post("8301050100"));
    ASSERT_EQ(entered.get_future().wait_for(30s), std::future_status::ready);
    for (size_t k = 0; k < CommandQueue::kMaxPending; ++k) ASSERT_TRUE(Post("8301050100")) << k;
    EXPECT_FALSE(Post("8301050100"));
    release.set_value();
    ASSERT_TRUE(m_queue.WaitIdle(60s));
    EXPECT_EQ(device->Calls(Op::Write).size(), 1 + CommandQueue::kMaxPending);
}

TEST_F(ACommandQueue, TakesNothingBeforeItStarts) {
    EXPECT_FALSE(Post("8301050100"));
    m_queue.Stop();  // without a start, and twice
    m_queue.Stop();
}

}  // namespace
}  // namespace orvex::test
