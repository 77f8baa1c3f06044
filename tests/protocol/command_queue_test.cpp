// The command thread: frames handled one at a time, in order, off the thread
// that posts them, and a shutdown that does not wait out a long transfer.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "ProtocolFixture.h"
#include "protocol/CommandQueue.h"

namespace orvex::test {
namespace {

using namespace std::chrono_literals;

class ACommandQueue : public ProtocolTest {
protected:
    ~ACommandQueue() override { m_queue.Stop(); }
    bool Post(const std::string& hex) { return m_queue.Post(Frame(hex).data()); }
    CommandQueue m_queue{m_protocol};
};

TEST_F(ACommandQueue, HandlesFramesInTheOrderTheyWerePosted) {
    Place(0x83, 0x01, "a");
    Place(0x82, 0x02, "b");
    EXPECT_FALSE(Post("8301050100"));  // not started
    ASSERT_TRUE(m_queue.Start());
    for (const char* frame : {"8301050100", "f082020c00", "8202050100", "8301050100"}) ASSERT_TRUE(Post(frame));
    ASSERT_TRUE(m_queue.WaitIdle(30s));
    EXPECT_EQ(Timeline(), (Events{"a write 65 04060005", "sleep 500", "b write 65 04060005", "sleep 500",
                                  "a write 65 04060005", "sleep 500"}));
    EXPECT_EQ(m_pages.Texts(), (Texts{"82020CF0"}));
}

TEST_F(ACommandQueue, NeverRunsTwoFramesAtOnceNorKeepsThePosterWaiting) {
    auto device = Place(0x83, 0x01);
    std::atomic<int> inside{0}, most{0};
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    device->onWrite = [&](const Bytes& b) {
        most = std::max(most.load(), ++inside);
        opened.wait_for(30s);  // the first frame holds the command thread
        --inside;
        return static_cast<int>(b.size());
    };
    ASSERT_TRUE(m_queue.Start());
    std::thread posters[4];
    for (auto& t : posters) t = std::thread([&] { Post("8301050100"); });
    for (auto& t : posters) t.join();  // returned with the first frame still in the device
    EXPECT_GE(m_queue.Pending(), 1u);
    open.set_value();
    ASSERT_TRUE(m_queue.WaitIdle(30s));
    EXPECT_EQ(device->Calls(Op::Write).size(), 4u);
    EXPECT_EQ(most.load(), 1);
}

TEST_F(ACommandQueue, StopsAnUnacknowledgedTransferAtItsNextStepAndDropsTheRest) {
    auto vireo = Place(0x81, 0x03);
    auto other = Place(0x83, 0x01);
    std::promise<void> paused;
    std::atomic<bool> once{false};
    m_duringSleep = [&](size_t) {
        if (!once.exchange(true)) paused.set_value();
        // Stands for the 500 ms pause; shutdown ends it.
        for (int k = 0; k < 30000 && !m_protocol.Abandoned(); ++k) std::this_thread::sleep_for(1ms);
    };
    ASSERT_TRUE(m_queue.Start());
    ASSERT_TRUE(Post(BlockFrame(0x81, 0x83).replace(2, 2, "03")));  // never acknowledged: 15 s of pauses
    ASSERT_TRUE(Post("8301050100"));
    ASSERT_EQ(paused.get_future().wait_for(30s), std::future_status::ready);
    m_queue.Stop();
    EXPECT_EQ(vireo->Calls(Op::SendFeature).size(), 1u);
    EXPECT_EQ(other->CallCount(), 0u);
    EXPECT_TRUE(m_pages.Texts().empty());
    EXPECT_FALSE(Post("8301050100"));
}

TEST_F(ACommandQueue, CountsEachPagesFramesWithoutWaitingAndReportsRoomOnceBelowTheLimit) {
    auto device = Place(0x83, 0x01);
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> once{false};
    device->onWrite = [&](const Bytes& b) {
        if (!once.exchange(true)) {
            entered.set_value();
            released.wait_for(30s);
        }
        return static_cast<int>(b.size());
    };
    Recorder<PageId> room;
    m_queue.SetRoomHandler([&](PageId page) { room.Add(page); });
    ASSERT_TRUE(m_queue.Start());
    ASSERT_EQ(m_queue.Post(Frame("8301050100").data(), 7), 1u);
    ASSERT_EQ(entered.get_future().wait_for(30s), std::future_status::ready);
    // The first frame holds the command thread; page 7 floods, page 9 sends
    // one. Nothing waits, every frame is counted against its own page only.
    for (size_t k = 1; k <= kPageFrameLimit + 4; ++k) ASSERT_EQ(m_queue.Post(Frame("8301050100").data(), 7), k);
    EXPECT_EQ(m_queue.Post(Frame("8301050200").data(), 9), 1u);
    release.set_value();
    ASSERT_TRUE(m_queue.WaitIdle(60s));
    const auto writes = device->Calls(Op::Write);
    ASSERT_EQ(writes.size(), kPageFrameLimit + 6);
    // Arrival order across pages is kept: page 9's frame comes last.
    for (size_t k = 1; k + 1 < writes.size(); ++k) EXPECT_EQ(writes[k].bytes, writes[0].bytes) << k;
    EXPECT_NE(writes.back().bytes, writes[0].bytes);
    EXPECT_EQ(room.All(), std::vector<PageId>{7});
    EXPECT_EQ(m_queue.Post(Frame("8301050100").data(), 7), 1u);  // a drained page starts again from one
    // The handlers above use this test's locals: the command thread must be
    // done with them before they go.
    m_queue.Stop();
}

}  // namespace
}  // namespace orvex::test
