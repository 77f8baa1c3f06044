// Family 0x84 end to end: a page on a real WebSocket connection, the whole
// bridge, and a simulated BLE device that answers over notifications.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

#include "sim/SimBle.h"
#include "support/Capture.h"
#include "support/Fakes.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"
#include "tests/ble/BleFixture.h"

namespace orvex::test {
namespace {

using namespace std::chrono_literals;

// Far beyond the open and connect timers: a slow machine only waits longer.
constexpr auto kWait = 60s;

const char* kScenario = R"({"devices": [
  {"name": "pad", "model": "ble", "device_id": 9, "address": "C0:FF:EE:00:00:01"}
]})";

std::string CountingHex(size_t from, size_t to) {
    std::string hex;
    char digits[3];
    for (size_t i = from; i <= to; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(i & 0xFF));
        hex += digits;
    }
    return hex;
}

nlohmann::json Control(SimBridge& bridge, const std::string& request) {
    return nlohmann::json::parse(bridge.sim().HandleControlRequest(request));
}

// What the device's write characteristic received, in hex.
std::vector<std::string> Writes(SimBridge& bridge, const std::string& device) {
    std::vector<std::string> hex;
    const auto log = Control(bridge, R"({"op":"log","device":")" + device + R"("})");
    for (const auto& entry : log["received"])
        if (entry["kind"] == "write") hex.push_back(entry["hex"].get<std::string>());
    return hex;
}

class ABridgeWithABleDevice : public ::testing::Test {
protected:
    void SetUp() override {
        m_started = std::chrono::steady_clock::now();
        std::string whyNot;
        m_bridge = SimBridge::StartOrExplain(kScenario, nullptr, &whyNot, ShortTimings());
        if (!m_bridge) GTEST_SKIP() << whyNot;
        m_page = std::make_unique<WsClient>(m_bridge->port());
        ASSERT_TRUE(m_page->Connect(10s));
        ASSERT_TRUE(WaitFor("0304"));
        // The connect timer subscribes, and the device announces its id 50 ms
        // later. On a loaded machine the page may connect after that, so the
        // device says it once more: due after the announcement, it comes last.
        ASSERT_TRUE(WaitUntil([&] { return Ble().RegistrationCount("pad") == 1u; }, kWait))
            << "the slot was not connected";
        m_connected = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(100ms);
        Control(R"({"op":"notify","device":"pad","hex":"09000001"})");
        ASSERT_TRUE(WaitFor("840109000001"));
        ASSERT_TRUE(QueryOnceAnswered(*m_page, "F084090B00", "84090B080102"));
        // The cases start from here.
        Control(R"({"op":"clear","device":"pad"})");
        m_mark = m_page->Messages().size();
    }
    void TearDown() override {
        if (m_page) m_page->Close();
        m_page.reset();
        m_bridge.reset();
    }

    sim::SimBle& Ble() { return m_bridge->sim().ble_devices(); }
    // Messages since the mark.
    std::vector<std::string> Messages() {
        auto messages = m_page->Messages();
        messages.erase(messages.begin(), messages.begin() + static_cast<long>(std::min(m_mark, messages.size())));
        return messages;
    }
    bool WaitFor(const std::string& text) { return m_page->FindMessage(text, m_mark, kWait) >= 0; }
    nlohmann::json Control(const std::string& request) { return orvex::test::Control(*m_bridge, request); }
    std::vector<std::string> Writes() { return orvex::test::Writes(*m_bridge, "pad"); }

    std::chrono::steady_clock::time_point m_started, m_connected;
    std::unique_ptr<SimBridge> m_bridge;
    std::unique_ptr<WsClient> m_page;
    size_t m_mark = 0;
};

// Lower bounds only: a timer never fires early, however slow the machine.
TEST_F(ABridgeWithABleDevice, ConnectsNoSoonerThanTheConnectDelayAfterTheOpenStep) {
    EXPECT_GE(m_connected - m_started, ShortTimings().bleConnectDelay);
}

TEST_F(ABridgeWithABleDevice, ReleasesItsRegistrationAtShutdown) {
    m_bridge->RunOnLoop([this] { m_bridge->dialog().OnDestroy(); });
    EXPECT_EQ(Ble().RegistrationCount("pad"), 0u);
    const auto reply = Control(R"({"op":"notify","device":"pad","hex":"01020304"})");
    EXPECT_EQ(reply["delivered"], 0) << reply.dump();
}

TEST_F(ABridgeWithABleDevice, WritesACommandForItsDeviceIdToTheWriteCharacteristic) {
    LogCapture logs;
    m_page->SendText(
        "840905"
        "03"
        "AABBCC");
    m_page->SendText(
        "840805"
        "01"
        "11");                       // another device id: no slot
    m_page->SendText("F0840B0B00");  // a query for another id: nothing
    m_page->SendText(
        "840905"
        "02"
        "7F");
    ASSERT_TRUE(logs.WaitForLine("Write Success!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\r\n", kWait));
    WaitUntil([&] { return Writes().size() >= 2; }, kWait);
    EXPECT_EQ(Writes(), (std::vector<std::string>{"0503aa", "0502"}));
}

TEST_F(ABridgeWithABleDevice, AnswersEachQueryWithTheTextOfItsNotification) {
    m_page->SendText("F084090B00");
    ASSERT_TRUE(WaitFor("84090B080102"));
    m_page->SendText("F084090C00");
    ASSERT_TRUE(WaitFor("84090C0A01020304"));
    // Block 4: the answer carries 5; the device's bytes 1 .. 125 follow.
    m_page->SendText("F084090A04");
    ASSERT_TRUE(
        WaitFor("8409"
                "0A8005" +
                CountingHex(1, 125)));
    // The device echoes block a - 1 in d1, the text carries d1 + 1.
    m_page->SendText("F084090906");
    ASSERT_TRUE(
        WaitFor("8409"
                "098306" +
                CountingHex(2, 129)));
    EXPECT_EQ(Writes(), (std::vector<std::string>{"a108000000000000", "a208000000000000", "a008040000000000",
                                                  "a908050000000000"}));
}

TEST_F(ABridgeWithABleDevice, ForwardsNotificationsSentThroughTheControlRequest) {
    LogCapture logs;
    auto reply = Control(R"({"op":"notify","device":"pad","hex":"2a010203"})");
    ASSERT_EQ(reply["ok"], true) << reply.dump();
    EXPECT_EQ(reply["delivered"], 1);
    ASSERT_TRUE(WaitFor("84012a010203"));
    // The new id addresses the device.
    ASSERT_TRUE(QueryOnceAnswered(*m_page, "F0842A0B00", "842a0B080102"));

    reply = Control(R"({"op":"notify","device":"pad","hex":""})");
    ASSERT_EQ(reply["ok"], true) << reply.dump();
    EXPECT_TRUE(logs.WaitForLine("datasize 0\n", kWait));
    EXPECT_EQ(Control(R"({"op":"notify","device":"pad","hex":"0"})")["ok"], false);
    EXPECT_EQ(Control(R"({"op":"notify","device":"nobody","hex":"00"})")["ok"], false);
}

TEST_F(ABridgeWithABleDevice, AnnouncesARemovalOnceAndReconnectsAfterTheDeviceComesBack) {
    ASSERT_EQ(Control(R"({"op":"unplug","device":"pad"})")["ok"], true);
    ASSERT_TRUE(WaitFor("840009"));
    // The cleared slot now answers to id 0; out of reach, its device's
    // interface still matches but the write fails.
    LogCapture logs;
    m_page->SendText(
        "840005"
        "01"
        "01");
    EXPECT_TRUE(logs.WaitForLine("Write fail!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\r\n", kWait));
    EXPECT_EQ(Control(R"({"op":"notify","device":"pad","hex":"01"})")["ok"], false);

    const auto plugged = std::chrono::steady_clock::now();
    ASSERT_EQ(Control(R"({"op":"plug","device":"pad"})")["ok"], true);
    // The open step, the arrival delay after the arrivals, releases the old
    // registration; the connect loop, the connect delay later, makes one anew.
    ASSERT_TRUE(WaitFor("840109000000"));
    EXPECT_GE(std::chrono::steady_clock::now() - plugged, ShortTimings().arrivalDelay + ShortTimings().bleConnectDelay);
    EXPECT_EQ(Ble().RegistrationCount("pad"), 1u);
    const auto messages = Messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "840009"), 1);
}

// Two devices of one product: each has its slot, bound to its address, so
// each is heard once with its own id and each is written to alone; listed
// next to each other or with another product between them.
class TwoBleDevicesOfOneProduct : public ::testing::TestWithParam<bool> {};

TEST_P(TwoBleDevicesOfOneProduct, AreEachHeardOnceAndCommandedAlone) {
    const std::string first = R"({"name": "a", "model": "ble", "device_id": 5, "address": "C0:FF:EE:00:00:0A"})";
    const std::string other =
        R"({"name": "o", "model": "ble", "product_id": "0x0B14", "device_id": 6, "address": "C0:FF:EE:00:00:0B"})";
    const std::string second = R"({"name": "b", "model": "ble", "device_id": 7, "address": "C0:FF:EE:00:00:0C"})";
    const bool between = GetParam();
    const std::string scenario =
        "{\"devices\": [" + first + "," + (between ? other + "," + second : second + "," + other) + "]}";
    std::string whyNot;
    auto bridge = SimBridge::StartOrExplain(scenario, nullptr, &whyNot, ShortTimings());
    if (!bridge) GTEST_SKIP() << whyNot;
    LogCapture logs;
    WsClient page(bridge->port());
    ASSERT_TRUE(page.Connect(10s));
    ASSERT_TRUE(page.WaitForMessages(1));  // greeted, so registered
    // Each device subscribed once, by its own slot.
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const auto& name : {"a", "o", "b"})
                if (bridge->sim().ble_devices().RegistrationCount(name) != 1) return false;
            return true;
        },
        kWait));
    // Each device is heard once, with its own id.
    auto count = [&](const std::string& text) { return Count(page.Messages(), text); };
    ASSERT_EQ(Control(*bridge, R"({"op":"notify","device":"a","hex":"05112233"})")["delivered"], 1);
    ASSERT_EQ(Control(*bridge, R"({"op":"notify","device":"b","hex":"07aabbcc"})")["delivered"], 1);
    ASSERT_TRUE(WaitUntil([&] { return count("840105112233") + count("840107aabbcc") >= 2; }, kWait));
    // ...and written to alone.
    page.SendText("84070102");
    ASSERT_TRUE(WaitUntil([&] { return !Writes(*bridge, "b").empty(); }, kWait));
    EXPECT_EQ(Writes(*bridge, "b"), std::vector<std::string>{"0102"});
    EXPECT_TRUE(Writes(*bridge, "a").empty());
    EXPECT_EQ(count("840105112233"), 1);
    EXPECT_EQ(count("840107aabbcc"), 1);
    EXPECT_EQ(count("840107112233") + count("840105aabbcc"), 0);
}

INSTANTIATE_TEST_SUITE_P(Listed, TwoBleDevicesOfOneProduct, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WithAnotherBetween" : "OneAfterTheOther"; });

}  // namespace
}  // namespace orvex::test
