// The whole bridge in-process against simulated devices, through a real page.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

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

}  // namespace
}  // namespace orvex::test
