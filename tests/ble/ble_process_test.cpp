// The bridge as a user starts it, against a simulated BLE device: what a page
// receives and what the process writes to its standard output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "support/Process.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"
#include "tests/ble/BleFixture.h"

namespace orvex::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kBridgeWait = 60s;

TEST(ABridgeProcess, ConnectsASimulatedBleDeviceAndWritesItsNotificationLinesToStdout) {
    if (access(kBridgeBinary.c_str(), X_OK) != 0) GTEST_SKIP() << "the bridge binary is missing: " << kBridgeBinary;
    TempDir dir;
    const std::string scenario = dir.path() + "/ble.json";
    std::ofstream(scenario) << R"({"devices": [{"name": "pad", "model": "ble", "device_id": 5}]})";
    const std::string socket = dir.path() + "/sim.sock";
    ChildProcess bridge({kBridgeBinary, "--port", "0", "--verbose", "--simulate", scenario, "--sim-control", socket},
                        {"XDG_RUNTIME_DIR=" + dir.path()});
    ASSERT_TRUE(bridge.Started());
    ASSERT_TRUE(bridge.WaitForStderr(" port ", 10s)) << bridge.Stderr();
    const int port = ParseListeningPort(bridge.Stderr());
    ASSERT_GT(port, 0) << bridge.Stderr();

    WsClient page(static_cast<uint16_t>(port));
    ASSERT_TRUE(page.Connect(10s));
    ASSERT_TRUE(WaitUntil([&] { return Count(page.Messages(), "0304") > 0; }, kBridgeWait));
    // The connect step subscribes, and the device announces its id 50 ms
    // later; on a loaded machine that may come before the page connected, so
    // once notifications are delivered the device says it again, due after
    // the announcement.
    SimControlClient control;
    ASSERT_TRUE(control.Connect(socket));
    const std::string announce = "{\"op\":\"notify\",\"device\":\"pad\",\"hex\":\"05000000\"}\n";
    ASSERT_TRUE(WaitUntil([&] { return control.Exchange(announce) == R"({"ok":true,"delivered":1})"; }, kBridgeWait));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(control.Exchange("{\"op\":\"notify\",\"device\":\"pad\",\"hex\":\"05000001\"}\n"),
              R"({"ok":true,"delivered":1})");
    ASSERT_TRUE(WaitUntil([&] { return Count(page.Messages(), "840105000001") > 0; }, kBridgeWait)) << bridge.Stderr();
    EXPECT_EQ(control.Exchange("{\"op\":\"notify\",\"device\":\"pad\",\"hex\":\"\"}\n"),
              R"({"ok":true,"delivered":1})");
    // Its line is written on the stack's thread after the reply: wait for it,
    // so that no line of the query below comes between.
    WaitUntil([&] { return bridge.Stdout().find("datasize 0\n") != std::string::npos; }, kBridgeWait);
    ASSERT_TRUE(QueryOnceAnswered(page, "F084050B00", "84050B080102"));
    page.Close();
    control.Close();

    bridge.Signal(SIGTERM);
    EXPECT_EQ(bridge.Wait(10s), 0);
    bridge.FinishOutput();
    const std::string out = bridge.Stdout();
    EXPECT_NE(out.find("Setting Notification for ServiceHandle 16\n"), std::string::npos) << out;
    // The announcement's "HR " has no line end of its own (a plain
    // notification writes nothing more), so the empty value's line follows it.
    EXPECT_NE(out.find("HR datasize 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Write Success!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\r\n"), std::string::npos) << out;
    // The short answer's trace goes to the trace channel, in two parts.
    EXPECT_NE(bridge.Stderr().find("84050B080102\r\n"), std::string::npos) << bridge.Stderr();
}

}  // namespace
}  // namespace orvex::test
