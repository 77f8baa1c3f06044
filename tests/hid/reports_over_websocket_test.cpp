// Input reports from simulated devices to real pages, through the whole bridge.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "support/Fakes.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const char* kScenario = R"({"devices":[
  {"name":"vireo","model":"vireo","device_id":2},
  {"name":"sabre","model":"sabre","device_id":3},
  {"name":"wired","model":"wired","device_id":4},
  {"name":"wiredv","model":"wired85","device_id":5}
]})";

class TwoPages : public ::testing::Test {
protected:
    void SetUp() override {
        bridge = std::make_unique<test::SimBridge>(kScenario, nullptr, test::ShortTimings());
        for (auto* page : {&first, &second}) {
            *page = std::make_unique<test::WsClient>(bridge->port());
            ASSERT_EQ((*page)->Greeting(), "0304");
        }
    }
    void TearDown() override {
        first.reset();
        second.reset();
        bridge.reset();
    }
    void Report(const std::string& device, int collection, const std::vector<uint8_t>& bytes) {
        std::string error;
        ASSERT_TRUE(bridge->sim().QueueReport(device, bytes, collection, &error)) << error;
    }

    std::unique_ptr<test::SimBridge> bridge;
    std::unique_ptr<test::WsClient> first, second;
};

TEST_F(TwoPages, BothReceiveEveryFamilysReportTextsExactly) {
    // One report per slot at a time, so the order across slots is fixed too.
    const struct {
        std::string device;
        int collection;
        std::vector<uint8_t> report;
    } reports[] = {
        {"vireo", 1, {0x05, 0x02, 0x50, 0x00, 0x07}},
        {"sabre", 1, {0x01, 0x03, 0xAA}},
        {"sabre", 0, {0x04, 0x06, 0xC0, 0x01}},
        {"wired", 1, {0x09, 0x04, 0x01, 0x02, 0x03, 0x04, 0x05}},
        {"wiredv", 1, {0x01, 0x02, 0x03}},              // short: zero-padded
        {"vireo", 1, std::vector<uint8_t>(100, 0xEF)},  // long: five bytes forwarded
        {"sabre", 1, {0x05}},
    };
    const std::vector<std::string> expected = {"0304",           "81010502500007", "82010103aa0000", "83010406c00100",
                                               "80010904010203", "85010102030000", "8101efefefefef", "82010500000000"};
    size_t n = 1;
    for (const auto& r : reports) {
        Report(r.device, r.collection, r.report);
        ++n;
        ASSERT_TRUE(first->WaitForMessages(n)) << "waiting for " << expected[n - 1];
        ASSERT_TRUE(second->WaitForMessages(n));
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_THAT(first->Messages(), ElementsAreArray(expected));
    EXPECT_THAT(second->Messages(), ElementsAreArray(expected));
}

TEST_F(TwoPages, ReceiveABurstOfOneDeviceInItsOrder) {
    std::vector<std::string> expected = {"0304"};
    for (uint8_t i = 0; i < 30; ++i) {
        Report("wired", 1, {0x09, 0x04, i, static_cast<uint8_t>(0xFF - i)});
        char text[16];
        std::snprintf(text, sizeof text, "80010904%02x%02x00", i, 0xFF - i);
        expected.push_back(text);
    }
    ASSERT_TRUE(first->WaitForMessages(expected.size()));
    ASSERT_TRUE(second->WaitForMessages(expected.size()));
    EXPECT_THAT(first->Messages(), ElementsAreArray(expected));
    EXPECT_THAT(second->Messages(), ElementsAreArray(expected));
}

TEST(StartUp, OpensFamily81FirstAndTheWiredFamily80LastAndReadsEveryFamily) {
    test::SimBridge bridge(kScenario, nullptr, test::ShortTimings());
    const auto vireo = bridge.sim().Log("vireo");
    const auto wired = bridge.sim().Log("wired");
    ASSERT_FALSE(vireo.empty());
    ASSERT_FALSE(wired.empty());
    EXPECT_EQ(vireo[0].kind, "feature");
    EXPECT_EQ(wired[0].kind, "feature");
    // 0x82, 0x83 and 0x85 come between, and the vireo's pause.
    EXPECT_LT(vireo[0].t_ms, wired[0].t_ms);
    // Every family has its reader: each input collection's report reaches a page.
    test::WsClient page(bridge.port());
    ASSERT_EQ(page.Greeting(), "0304");  // greeted, so registered: no report can pass it by
    for (const auto& [device, collection] : std::vector<std::pair<std::string, int>>{
             {"vireo", 1}, {"sabre", 1}, {"sabre", 0}, {"wired", 1}, {"wiredv", 1}}) {
        std::string error;
        ASSERT_TRUE(bridge.sim().QueueReport(device, {0x05, 0x01}, collection, &error)) << error;
    }
    ASSERT_TRUE(page.WaitForMessages(6));
    auto texts = page.Messages();
    std::sort(texts.begin(), texts.end());
    EXPECT_THAT(texts, ElementsAre("0304", "80010501000000", "81010501000000", "82010501000000", "83010501000000",
                                   "85010501000000"));
}

}  // namespace
}  // namespace orvex
