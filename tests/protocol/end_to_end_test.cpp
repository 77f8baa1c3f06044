// Commands and queries end to end: a page on a real WebSocket connection, the
// whole bridge, and simulated devices that answer as real ones do.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "platform/Text.h"
#include "support/Capture.h"
#include "support/Fakes.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

namespace orvex::test {
namespace {

using namespace std::chrono_literals;

// Far beyond what any exchange needs, so a slow machine only waits longer.
constexpr auto kWait = 30s;

const char* kScenario = R"({"devices": [
  {"name": "vireo", "model": "vireo", "device_id": 3, "ack_delay_ms": 0},
  {"name": "wired", "model": "wired", "device_id": 4},
  {"name": "sabre", "model": "sabre", "device_id": 5},
  {"name": "wired85", "model": "wired85", "device_id": 6}
]})";

// Short, but the pause in which a device acknowledges stays long enough for
// the acknowledgement to arrive in it on a busy machine.
Timings EndToEndTimings() {
    Timings timings = ShortTimings();
    timings.packetPause = kPacketPause;
    timings.controlReadTimeout = 200ms;
    return timings;
}

// The sim's default answer to code c: byte i is i, byte 0 is c.
std::string DefaultAnswerHex(uint8_t code, int n) {
    Bytes answer;
    for (int i = 0; i < n; ++i) answer.push_back(static_cast<uint8_t>(i));
    answer[0] = code;
    return AsciiUpper(ToHex(answer));
}

class ABridgeWithSimulatedDevices : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        m_bridge = SimBridge::StartOrExplain(kScenario, nullptr, &whyNot, EndToEndTimings());
        if (!m_bridge) GTEST_SKIP() << whyNot;
        m_page = std::make_unique<WsClient>(m_bridge->port());
        ASSERT_TRUE(m_page->Connect(10s));
        ASSERT_TRUE(WaitFor("0304"));
        // Each device's first report gives its slots an id and a control handle.
        Report("vireo", {0x05, 0x03, 0, 0, 0}, -1, "81010503000000");
        Report("wired", {0x05, 0x04, 0, 0, 0}, -1, "80010504000000");
        Report("sabre", {0x05, 0x05, 0, 0, 0}, 1, "82010505000000");  // 0x82 reads the 0x000A collection
        Report("sabre", {0x05, 0x05, 0, 0, 0}, 0, "83010505000000");  // 0x83 reads the 0xFF00 one
        Report("wired85", {0x05, 0x06, 0, 0, 0}, 1, "85010506000000");
        for (const char* name : {"vireo", "wired", "sabre", "wired85"}) m_bridge->sim().Clear(name);
        m_seen = m_page->Messages().size();
    }
    void TearDown() override {
        m_page.reset();
        m_bridge.reset();
    }

    void Report(const std::string& device, const Bytes& report, int collection, const std::string& text) {
        std::string error;
        ASSERT_TRUE(m_bridge->sim().QueueReport(device, report, collection, &error)) << error;
        ASSERT_TRUE(WaitFor(text)) << "no " << text << " for " << device;
    }

    // Waits for a message equal to text after those already looked at.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = kWait) {
        const long found = m_page->FindMessage(text, m_seen, timeout);
        if (found >= 0) m_seen = static_cast<size_t>(found) + 1;
        return found >= 0;
    }
    // Messages after the mark that are not input reports (family, 01, ...).
    std::vector<std::string> RepliesSince(size_t mark) {
        std::vector<std::string> out;
        auto messages = m_page->Messages();
        for (size_t i = mark; i < messages.size(); ++i)
            if (!(messages[i].size() == 14 && messages[i].substr(2, 2) == "01")) out.push_back(messages[i]);
        return out;
    }
    std::vector<sim::Received> Log(const std::string& device, const std::string& kind) {
        std::vector<sim::Received> out;
        for (auto& r : m_bridge->sim().Log(device))
            if (r.kind == kind) out.push_back(r);
        return out;
    }

    LogCapture m_log;  // keeps the bridge's lines off the test output
    std::unique_ptr<SimBridge> m_bridge;
    std::unique_ptr<WsClient> m_page;
    size_t m_seen = 0;
};

// ---------------------------------------------------------------------------

TEST_F(ABridgeWithSimulatedDevices, AnswersQueriesWithTheLengthOfTheirCodeAndTransport) {
    const struct {
        const char *query, *device, *kind;
        std::string answer, request;  // the text, and the first report the device is sent
    } cases[] = {
        {"f081030903", "vireo", "feature", "8103" + DefaultAnswerHex(0x09, 131), "a009830003000000"},
        {"f083050a03", "sabre", "output", "8305" + DefaultAnswerHex(0x0A, 128), "040ca00a8004040000000142"},
        // An output answer for code 09 ends in thirteen zero bytes.
        {"f085060900", "wired85", "output", "8506" + DefaultAnswerHex(0x09, 118) + std::string(26, '0'), ""},
        // The argument wraps around at 256.
        {"f0800404ff", "wired", "feature", "8004" + DefaultAnswerHex(0x04, 56), "a004380000000000"},
        {"f0830504ff", "sabre", "output", "8305" + DefaultAnswerHex(0x04, 56), "040ca00438000000000000ec"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        m_bridge->sim().Clear(c.device);
        m_page->SendText(c.query);
        ASSERT_TRUE(WaitFor(c.answer));
        const auto requests = Log(c.device, c.kind);
        if (c.request.empty()) continue;
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(ToHex(requests[0].bytes), c.request);
        EXPECT_TRUE(c.kind != std::string("output") || requests.size() == 1u) << requests.size();
    }
}

TEST_F(ABridgeWithSimulatedDevices, GivesFamily82QueriesTheFailureTextAtOnce) {
    m_page->SendText("f082050b00");
    ASSERT_TRUE(WaitFor("82050BF0"));
    EXPECT_TRUE(Log("sabre", "output").empty());
    // No device with that id: nothing at all, so the next reply comes first.
    m_page->SendText("f082090b00");
    m_page->SendText("f082050400");
    ASSERT_TRUE(WaitFor("820504F0"));
    EXPECT_EQ(RepliesSince(0).size(), 3u);  // greeting, 82050BF0, 820504F0
}

TEST_F(ABridgeWithSimulatedDevices, GivesTheFailureTextWhenAnOutputDeviceNeverAnswers) {
    std::string error;
    ASSERT_TRUE(m_bridge->sim().Set("sabre", nlohmann::json{{"silent", true}}, &error)) << error;
    const auto start = std::chrono::steady_clock::now();
    m_page->SendText("f083050c00");
    // Reports of other devices go on reaching the page while the query waits.
    for (int k = 0; k < 3; ++k)
        Report("wired", {0x05, 0x04, static_cast<uint8_t>(0x70 + k), 0, 0}, -1,
               "800105047" + std::to_string(k) + "0000");
    ASSERT_TRUE(WaitFor("83050CF0"));
    const auto messages = m_page->Messages();
    const auto failure = std::find(messages.begin(), messages.end(), "83050CF0");
    for (const char* report : {"80010504700000", "80010504710000", "80010504720000"})
        EXPECT_LT(std::find(messages.begin(), messages.end(), report), failure) << report << " waited for the query";
    // Ten requests, each read for the read time-out: bounded, and at least that long.
    EXPECT_EQ(Log("sabre", "output").size(), 10u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 10 * EndToEndTimings().controlReadTimeout);
}

// ---------------------------------------------------------------------------

TEST_F(ABridgeWithSimulatedDevices, TellsThePageWhenAFamily81DeviceAcknowledges) {
    m_page->SendText("8103010344");
    ASSERT_TRUE(WaitFor("03810101"));
    auto sends = Log("vireo", "feature");
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(ToHex(sends[0].bytes), "010344");
}

TEST_F(ABridgeWithSimulatedDevices, WritesTheChecksummedReportOfASimpleFamily83Command) {
    m_page->SendText("83050502");
    WaitUntil([&] { return !Log("sabre", "output").empty(); }, kWait);
    auto writes = Log("sabre", "output");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].collection, 2);  // the 0xFF01 control collection
    EXPECT_EQ(ToHex(writes[0].bytes), "04070005020012" + std::string(2 * 58, '0'));
}

// A device whose control collection cannot be opened leaves the devices
// listed after it past the family's control count; they are still commanded
// and queried.
TEST(ABridgeWithAFailedControlCollection, CommandsAndQueriesTheDeviceListedAfterIt) {
    std::string whyNot;
    auto bridge = SimBridge::StartOrExplain(R"({"devices": [
      {"name": "broken", "model": "vireo", "device_id": 3, "fail_open_collections": [0]},
      {"name": "next", "model": "vireo", "device_id": 4, "ack_delay_ms": 0}]})",
                                            nullptr, &whyNot, EndToEndTimings());
    if (!bridge) GTEST_SKIP() << whyNot;
    LogCapture logs;
    WsClient page(bridge->port());
    ASSERT_TRUE(page.Connect(10s));
    ASSERT_TRUE(page.WaitForMessages(1));  // greeted, so registered
    std::string error;
    ASSERT_TRUE(bridge->sim().QueueReport("broken", {0x05, 0x03, 0, 0, 0}, -1, &error)) << error;
    ASSERT_TRUE(bridge->sim().QueueReport("next", {0x05, 0x04, 0, 0, 0}, -1, &error)) << error;
    ASSERT_TRUE(page.WaitForMessages(3, kWait));
    bridge->sim().Clear("next");

    page.SendText("8104010344");
    page.SendText("f081040c00");
    // Besides the device's acknowledgement report, forwarded as any report is.
    const std::vector<std::string> replies = {"04810101", "81040c0102030405"};
    std::vector<std::string> got;
    WaitUntil(
        [&] {
            got.clear();
            for (const auto& text : page.Messages())
                if (text.substr(2, 2) != "01" && text != "0304") got.push_back(text);
            return got.size() >= replies.size();
        },
        kWait);
    EXPECT_EQ(got, replies);
    const auto sent = bridge->sim().Log("next");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(ToHex(sent[0].bytes), "010344");
}

}  // namespace
}  // namespace orvex::test
