// The whole bridge in-process against simulated devices, through a real page.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "sim/SimTestUtil.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

namespace orvex::test {
namespace {

using namespace std::chrono_literals;

const char* const kScenario = R"({"devices":[
    {"name":"m81","model":"vireo","device_id":3},
    {"name":"r65","model":"sabre","device_id":5,"attached":false}]})";

TEST(ASimBridge, ServesPagesOnAFreeLoopbackPortAndRunsTasksOnItsLoopThread) {
    SimBridge bridge(kScenario);
    ASSERT_NE(bridge.port(), 0);
    WsClient page(bridge.port());
    ASSERT_TRUE(page.Connect());
    ASSERT_TRUE(page.WaitForMessages(1));
    EXPECT_EQ(page.Messages()[0], "0304");

    std::thread::id loopThread;
    bridge.RunOnLoop([&] { loopThread = std::this_thread::get_id(); });
    EXPECT_NE(loopThread, std::this_thread::get_id());
    bridge.RunOnLoop([&] { EXPECT_EQ(std::this_thread::get_id(), loopThread); });
    EXPECT_THROW(bridge.RunOnLoop([] { throw std::logic_error("from the loop"); }), std::logic_error);
    EXPECT_TRUE(bridge.dialog().server_running());
}

TEST(ASimBridge, CanRunBesideAnotherInOneProcess) {
    SimBridge first(kScenario);
    SimBridge second(kScenario);
    EXPECT_NE(first.port(), 0);
    EXPECT_NE(second.port(), 0);
    EXPECT_NE(first.port(), second.port());
}

TEST(ASimBridge, RefusesABadScenarioWithItsMessage) {
    try {
        SimBridge bridge(R"({"devices":[{"name":"x"}]})");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), R"(scenario: device 0 ("x"): missing field "vendor_id" (or a "model"))");
    }
    SimBridge usable(kScenario);  // the failed one left nothing behind
}

TEST(ASimBridge, ForwardsADevicesInputReportToThePage) {
    SimBridge bridge(kScenario);
    WsClient page(bridge.port());
    ASSERT_TRUE(page.Connect());
    ASSERT_TRUE(page.WaitForMessages(1));
    // The open step has run on the loop before the server started.
    const auto log = bridge.sim().Log("m81");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].kind, "feature");
    EXPECT_EQ(log[0].bytes, (sim::testing::Bytes{0x0C, 0x0A, 0x01, 0xFE, 0x01, 0xFE, 0x00, 0x00, 0x00, 0x00}));

    std::string error;
    ASSERT_TRUE(bridge.sim().QueueReport("m81", {0x05, 0x03, 0x11, 0x22, 0x33, 0x44}, -1, &error)) << error;
    ASSERT_TRUE(page.WaitForMessages(2, 10s));
    EXPECT_EQ(page.Messages()[1], "81010503112233");
}

TEST(ASimBridge, DeliversPlugEventsToTheDialogOnItsLoop) {
    SimBridge bridge(kScenario);
    WsClient page(bridge.port());
    ASSERT_TRUE(page.Connect());
    std::string error;
    ASSERT_TRUE(bridge.sim().QueueReport("m81", {0x05, 0x03, 0x00}, -1, &error)) << error;
    ASSERT_TRUE(page.WaitForMessages(2, 10s));
    ASSERT_TRUE(bridge.sim().Unplug("m81", &error)) << error;
    // The removal of the input collection tells the pages which device left.
    ASSERT_TRUE(page.WaitForMessages(3, 10s));
    EXPECT_EQ(page.Messages(), (std::vector<std::string>{"0304", "81010503000000", "810003"}));
}

}  // namespace
}  // namespace orvex::test
