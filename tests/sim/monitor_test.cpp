// Plugging and unplugging simulated devices: the changes the monitor posts to
// a real loop, their order, and what they tell.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <future>
#include <thread>

#include "sim/SimTestUtil.h"
#include "support/Fakes.h"

namespace orvex::sim {
namespace {

using namespace testing;

using test::Describe;

// A loop on its own thread that records every change it is handed, with the
// thread it ran on.
class AMonitoredSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        simulator = Load(R"({"devices":[
            {"name":"r65","vendor_id":"0x1D57","product_id":"0xFA65","attached":false},
            {"name":"m81","vendor_id":"0x1D57","product_id":"0xFA60"},
            {"name":"pen","bus":"ble","vendor_id":"0x045E","product_id":"0x0815","collections":[["0xFF00",1]]}]})");
        ASSERT_TRUE(simulator);
        thread = std::thread([this] { loop.run(); });
        ASSERT_TRUE(simulator->monitor().start(loop, [this](const DeviceChange& change) {
            changes.Add(Describe(change));
            if (std::this_thread::get_id() != thread.get_id()) offLoop = true;
        }));
    }
    void TearDown() override {
        if (simulator) simulator->monitor().stop();
        work.reset();
        thread.join();
    }
    // Waits until the loop has run everything posted before this call.
    void Drain() {
        std::promise<void> done;
        boost::asio::post(loop, [&] { done.set_value(); });
        ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    }
    std::vector<std::string> Changes() { return changes.All(); }

    std::unique_ptr<Simulator> simulator;
    boost::asio::io_context loop;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work = boost::asio::make_work_guard(loop);
    std::thread thread;
    test::Recorder<std::string> changes;
    std::atomic<bool> offLoop{false};
};

TEST_F(AMonitoredSimulator, PostsOneChangePerCollectionInCollectionOrderOnTheLoop) {
    std::string error;
    ASSERT_TRUE(simulator->Plug("r65", &error)) << error;
    ASSERT_TRUE(simulator->Unplug("m81", &error)) << error;
    ASSERT_TRUE(simulator->Unplug("pen", &error)) << error;
    Drain();
    EXPECT_EQ(Changes(), (std::vector<std::string>{
                             "arrival /dev/sim/r65/0 bus 0003 1d57:fa65",
                             "arrival /dev/sim/r65/1 bus 0003 1d57:fa65",
                             "arrival /dev/sim/r65/2 bus 0003 1d57:fa65",
                             "removal /dev/sim/m81/0 bus 0003 1d57:fa60",
                             "removal /dev/sim/m81/1 bus 0003 1d57:fa60",
                             "removal /dev/sim/pen/0 bus 0005 045e:0815",
                         }));
    EXPECT_FALSE(offLoop);
}

TEST_F(AMonitoredSimulator, ChangesWhatEnumerationSeesBeforeTheChangeIsHandled) {
    std::vector<size_t> seen;
    simulator->monitor().stop();
    ASSERT_TRUE(simulator->monitor().start(
        loop, [&](const DeviceChange&) { seen.push_back(simulator->hid().enumerate(0x1D57, 0xFA65).size()); }));
    ASSERT_TRUE(simulator->Plug("r65", nullptr));
    Drain();
    EXPECT_EQ(seen, (std::vector<size_t>{3, 3, 3}));
}

TEST_F(AMonitoredSimulator, RefusesToPlugWhatIsPluggedOrUnplugWhatIsNot) {
    struct Case {
        bool plug;
        const char* device;
        const char* error;
    };
    for (const Case c :
         {Case{true, "m81", R"(device "m81" is already attached)"},
          Case{false, "r65", R"(device "r65" is not attached)"}, Case{true, "nope", R"(unknown device "nope")"}}) {
        std::string error;
        EXPECT_FALSE(c.plug ? simulator->Plug(c.device, &error) : simulator->Unplug(c.device, &error));
        EXPECT_EQ(error, c.error);
    }
    Drain();
    EXPECT_TRUE(Changes().empty());
}

TEST_F(AMonitoredSimulator, DeliversNothingAfterStopEvenWhatWasAlreadyPosted) {
    std::promise<void> release;
    auto released = release.get_future().share();
    // Hold the loop so that the changes are still queued when stop comes.
    boost::asio::post(loop, [released] { released.wait(); });
    ASSERT_TRUE(simulator->Unplug("m81", nullptr));
    simulator->monitor().stop();
    release.set_value();
    Drain();
    EXPECT_TRUE(Changes().empty());
    ASSERT_TRUE(simulator->Plug("m81", nullptr));
    Drain();
    EXPECT_TRUE(Changes().empty());
}

TEST_F(AMonitoredSimulator, KeepsEachDevicesChangesInOrderWhenThreadsPlugAtOnce) {
    constexpr int kRounds = 40;
    auto cycle = [&](const char* device) {
        for (int i = 0; i < kRounds; ++i) {
            EXPECT_TRUE(simulator->Unplug(device, nullptr));
            EXPECT_TRUE(simulator->Plug(device, nullptr));
        }
    };
    std::thread a(cycle, "m81");
    std::thread b(cycle, "pen");
    a.join();
    b.join();
    Drain();
    std::vector<std::string> m81, pen;
    for (const auto& change : Changes()) (change.find("/m81/") != std::string::npos ? m81 : pen).push_back(change);
    ASSERT_EQ(m81.size(), 4u * kRounds);
    ASSERT_EQ(pen.size(), 2u * kRounds);
    for (int i = 0; i < kRounds; ++i) {
        EXPECT_EQ(m81[4 * i + 0], "removal /dev/sim/m81/0 bus 0003 1d57:fa60");
        EXPECT_EQ(m81[4 * i + 1], "removal /dev/sim/m81/1 bus 0003 1d57:fa60");
        EXPECT_EQ(m81[4 * i + 2], "arrival /dev/sim/m81/0 bus 0003 1d57:fa60");
        EXPECT_EQ(m81[4 * i + 3], "arrival /dev/sim/m81/1 bus 0003 1d57:fa60");
        EXPECT_EQ(pen[2 * i + 0].substr(0, 8), "removal ");
        EXPECT_EQ(pen[2 * i + 1].substr(0, 8), "arrival ");
    }
}

TEST(ASimulatorMonitor, PostsNothingBeforeItIsStarted) {
    auto simulator = Load(R"({"devices":[{"name":"d","vendor_id":1,"product_id":2}]})");
    ASSERT_TRUE(simulator);
    boost::asio::io_context loop;
    ASSERT_TRUE(simulator->Unplug("d", nullptr));
    EXPECT_EQ(loop.poll(), 0u);
    std::vector<std::string> changes;
    ASSERT_TRUE(simulator->monitor().start(loop, [&](const DeviceChange& c) { changes.push_back(Describe(c)); }));
    ASSERT_TRUE(simulator->Plug("d", nullptr));
    loop.restart();  // the empty poll above stopped it
    loop.poll();
    EXPECT_EQ(changes, (std::vector<std::string>{"arrival /dev/sim/d/0 bus 0003 0001:0002",
                                                 "arrival /dev/sim/d/1 bus 0003 0001:0002"}));
    simulator->monitor().stop();
}

}  // namespace
}  // namespace orvex::sim
