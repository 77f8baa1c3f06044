// The simulator behind the HID seam: enumeration, handles and their reports,
// and the answers of the devices as the bridge relies on them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "sim/SimTestUtil.h"

namespace orvex::sim {
namespace {

using namespace testing;
using Clock = std::chrono::steady_clock;

const char* const kThreeDevices = R"({"devices":[
    {"name":"m81","vendor_id":"0x1D57","product_id":"0xFA60","device_id":3},
    {"name":"r65","vendor_id":"0x1D57","product_id":"0xFA65","device_id":5},
    {"name":"wired","vendor_id":"0x1D57","product_id":"0x1234","device_id":7},
    {"name":"other","vendor_id":"0x046D","product_id":"0xFA60"}]})";

std::vector<std::string> PathsOf(const std::vector<HidDeviceInfo>& entries) {
    std::vector<std::string> paths;
    for (const auto& entry : entries) paths.push_back(entry.path);
    return paths;
}

TEST(SimulatedEnumeration, ListsDevicesInScenarioOrderThenCollectionOrderFilteredByVendorAndProduct) {
    auto simulator = Load(kThreeDevices);
    ASSERT_TRUE(simulator);
    auto& hid = simulator->hid();
    EXPECT_EQ(hid.init(), 0);
    EXPECT_EQ(PathsOf(hid.enumerate(0x1D57, 0)),
              (std::vector<std::string>{Path("m81", 0), Path("m81", 1), Path("r65", 0), Path("r65", 1), Path("r65", 2),
                                        Path("wired", 0), Path("wired", 1)}));
    EXPECT_EQ(PathsOf(hid.enumerate(0x1D57, 0xFA65)),
              (std::vector<std::string>{Path("r65", 0), Path("r65", 1), Path("r65", 2)}));
    EXPECT_EQ(PathsOf(hid.enumerate(0x046D, 0xFA60)), (std::vector<std::string>{Path("other", 0), Path("other", 1)}));
    EXPECT_EQ(hid.enumerate(0, 0).size(), 9u);
    EXPECT_EQ(PathsOf(hid.enumerate(0, 0xFA60)),
              (std::vector<std::string>{Path("m81", 0), Path("m81", 1), Path("other", 0), Path("other", 1)}));
    EXPECT_TRUE(hid.enumerate(0x1D57, 0xBEEF).empty());
    EXPECT_TRUE(hid.enumerate(0x1D58, 0).empty());
}

TEST(SimulatedEnumeration, ShowsOnlyAttachedDevicesAndKeepsScenarioOrderAfterReplug) {
    auto simulator = Load(kThreeDevices);
    ASSERT_TRUE(simulator);
    std::string error;
    ASSERT_TRUE(simulator->Unplug("m81", &error)) << error;
    EXPECT_EQ(PathsOf(simulator->hid().enumerate(0x1D57, 0xFA60)), std::vector<std::string>{});
    EXPECT_EQ(simulator->hid().enumerate(0x1D57, 0).front().path, Path("r65", 0));
    ASSERT_TRUE(simulator->Plug("m81", &error)) << error;
    EXPECT_EQ(simulator->hid().enumerate(0x1D57, 0).front().path, Path("m81", 0));

    auto detached = Load(R"({"devices":[{"name":"d","vendor_id":1,"product_id":2,"attached":false}]})");
    ASSERT_TRUE(detached);
    EXPECT_TRUE(detached->hid().enumerate(1, 0).empty());
    EXPECT_EQ(detached->CollectionPaths("d"), (std::vector<std::string>{Path("d", 0), Path("d", 1)}));
}

class AReceiverWithThreeCollections : public ::testing::Test {
protected:
    void SetUp() override {
        simulator = Load(kThreeDevices);
        ASSERT_TRUE(simulator);
    }
    std::unique_ptr<Simulator> simulator;
};

TEST_F(AReceiverWithThreeCollections, GivesEveryHandleOfACollectionItsOwnCopyAndNoOtherCollectionAny) {
    auto first = Open(*simulator, Path("r65", 0));
    auto second = Open(*simulator, Path("r65", 0));
    auto other = Open(*simulator, Path("r65", 1));
    ASSERT_TRUE(first && second && other);
    std::string error;
    ASSERT_TRUE(simulator->QueueReport("r65", {0x01, 0x05, 0x11}, 0, &error)) << error;
    ASSERT_TRUE(simulator->QueueReport("r65", {0x01, 0x05, 0x22}, 0, &error)) << error;
    for (auto* handle : {first.get(), second.get()}) {
        EXPECT_EQ(ReadReport(*handle), (Bytes{0x01, 0x05, 0x11}));
        EXPECT_EQ(ReadReport(*handle), (Bytes{0x01, 0x05, 0x22}));
    }
    uint8_t buffer[64];
    EXPECT_EQ(other->read_timeout(buffer, sizeof(buffer), 0), 0);
}

TEST_F(AReceiverWithThreeCollections, LosesReportsQueuedWhileNoHandleIsOpen) {
    std::string error;
    ASSERT_TRUE(simulator->QueueReport("r65", {0x01, 0x05, 0x01}, 1, &error)) << error;
    auto late = Open(*simulator, Path("r65", 1));
    ASSERT_TRUE(late);
    uint8_t buffer[64];
    EXPECT_EQ(late->read_timeout(buffer, sizeof(buffer), 0), 0);
    ASSERT_TRUE(simulator->QueueReport("r65", {0x01, 0x05, 0x02}, 1, &error));
    EXPECT_EQ(ReadReport(*late), (Bytes{0x01, 0x05, 0x02}));
}

TEST_F(AReceiverWithThreeCollections, ForgetsHandlesThatWereReleased) {
    auto kept = Open(*simulator, Path("r65", 1));
    Open(*simulator, Path("r65", 1));  // released at once
    ASSERT_TRUE(kept);
    const std::string reply =
        simulator->HandleControlRequest(R"({"op":"report","device":"r65","hex":"010507","collection":1})");
    EXPECT_EQ(reply, R"({"ok":true,"delivered":1})");
}

TEST(ADefaultInputCollection, IsTheFirstOfUsagePage000AElseFF00) {
    auto simulator = Load(R"({"devices":[
        {"name":"a","vendor_id":1,"product_id":"0xFA65"},
        {"name":"b","vendor_id":1,"product_id":2,"collections":[["0xFF01",2],["0xFF00",1],["0xFF00",1]]},
        {"name":"c","vendor_id":1,"product_id":2,"collections":[["0x000B",0]]}]})");
    ASSERT_TRUE(simulator);
    auto a1 = Open(*simulator, Path("a", 1));
    auto b1 = Open(*simulator, Path("b", 1));
    auto b2 = Open(*simulator, Path("b", 2));
    ASSERT_TRUE(a1 && b1 && b2);
    std::string error;
    ASSERT_TRUE(simulator->QueueReport("a", {0xA1}, -1, &error)) << error;
    ASSERT_TRUE(simulator->QueueReport("b", {0xB1}, -1, &error)) << error;
    EXPECT_EQ(ReadReport(*a1), Bytes{0xA1});
    EXPECT_EQ(ReadReport(*b1), Bytes{0xB1});
    uint8_t buffer[8];
    EXPECT_EQ(b2->read_timeout(buffer, sizeof(buffer), 0), 0);

    EXPECT_FALSE(simulator->QueueReport("c", {0xC1}, -1, &error));
    EXPECT_EQ(error, R"(device "c" has no collection of usage page 0x000A or 0xFF00; give "collection")");
}

TEST(AQueuedReport, IsRefusedForUnknownOrDetachedDevicesBadCollectionsAndBadSizes) {
    auto simulator = Load(R"({"devices":[{"name":"a","vendor_id":1,"product_id":"0xFA60","attached":false},
                                         {"name":"b","vendor_id":1,"product_id":"0xFA60"}]})");
    ASSERT_TRUE(simulator);
    struct Case {
        std::string device;
        Bytes report;
        int collection;
        std::string error;
    };
    const Case cases[] = {
        {"zz", {1}, -1, R"(unknown device "zz")"},
        {"a", {1}, -1, R"(device "a" is not attached)"},
        {"b", {1}, 2, R"(collection 2 is out of range: device "b" has 2 collections)"},
        {"b", {}, -1, "a report holds 1 to 4096 bytes"},
        {"b", Bytes(4097, 0), -1, "a report holds 1 to 4096 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        std::string error;
        EXPECT_FALSE(simulator->QueueReport(c.device, c.report, c.collection, &error));
        EXPECT_EQ(error, c.error);
    }
}

class AFeatureDevice : public ::testing::Test {
protected:
    void SetUp() override {
        simulator = Load(R"({"devices":[{"name":"m81","vendor_id":"0x1D57","product_id":"0xFA60","device_id":3,
                                          "ack_delay_ms":0}]})");
        ASSERT_TRUE(simulator);
        control = Open(*simulator, Path("m81", 0));
        input = Open(*simulator, Path("m81", 1));
        ASSERT_TRUE(control && input);
    }
    void SetField(const nlohmann::json& fields) {
        std::string error;
        ASSERT_TRUE(simulator->Set("m81", fields, &error)) << error;
    }
    Bytes GetFeature(uint8_t id, size_t length, int* result = nullptr) {
        Bytes buffer(length, 0);
        buffer[0] = id;
        const int n = control->get_feature_report(buffer.data(), buffer.size());
        if (result) *result = n;
        return buffer;
    }
    std::unique_ptr<Simulator> simulator;
    std::shared_ptr<HidDevice> control, input;
};

TEST_F(AFeatureDevice, IsReadyOnlyAfterAQueryRequestAndAnswersTheCodeWithDefaultBytes) {
    int result = 0;
    EXPECT_EQ(GetFeature(0xA0, 8, &result), (Bytes{0xA0, 0x00, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(result, 8);
    const Bytes request = {0xA0, 0x09, 0x83, 0x00, 0x03, 0x00, 0x00, 0x00};
    EXPECT_EQ(Send(*control, request), 8);
    EXPECT_EQ(GetFeature(0xA0, 8), (Bytes{0xA0, 0x01, 0, 0, 0, 0, 0, 0}));

    Bytes expected(131);
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i);
    expected[0] = 0x09;
    EXPECT_EQ(GetFeature(0x09, 131, &result), expected);
    EXPECT_EQ(result, 131);

    const auto log = simulator->Log("m81");
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].kind, "get_feature");
    EXPECT_EQ(log[0].bytes, (Bytes{0xA0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(log[1].kind, "feature");
    EXPECT_EQ(log[1].bytes, request);
    EXPECT_EQ(log[2].kind, "get_feature");
    EXPECT_EQ(log[2].bytes, (Bytes{0xA0, 0x01, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(log[3].kind, "get_feature");
    EXPECT_EQ(log[3].bytes, expected);
    for (const auto& entry : log) {
        EXPECT_EQ(entry.collection, 0);
        EXPECT_FALSE(entry.rejected);
    }
    for (size_t i = 1; i < log.size(); ++i) EXPECT_GE(log[i].t_ms, log[i - 1].t_ms);
}

TEST_F(AFeatureDevice, CutsOrPadsAConfiguredAnswerToTheLengthRead) {
    SetField({{"answers", {{"0x0B", "0b0102030405"}, {"12", "0c"}}}});
    EXPECT_EQ(GetFeature(0x0B, 4), (Bytes{0x0B, 0x01, 0x02, 0x03}));
    EXPECT_EQ(GetFeature(0x0C, 6), (Bytes{0x0C, 0, 0, 0, 0, 0}));
}

TEST_F(AFeatureDevice, AcknowledgesEachFeatureReportButTheOpenAndQueryReportsOnItsInputCollection) {
    EXPECT_EQ(Send(*control, Padded({0x0C, 0x0A, 0x01, 0xFE, 0x01, 0xFE}, 10)), 10);
    EXPECT_EQ(Send(*control, Padded({0xA0, 0x04, 0x38, 0x00, 0x01}, 8)), 8);
    SetField({{"ack_status", 0x11}});
    EXPECT_EQ(Send(*control, {0x05, 0x02, 0x50}), 3);
    // The reports before it asked for nothing: the first acknowledgement is
    // the one with the status set just before this report.
    EXPECT_EQ(ReadReport(*input), (Bytes{0x05, 0x03, 0x50, 0x11, 0x00}));
    uint8_t buffer[16];
    EXPECT_EQ(control->read_timeout(buffer, sizeof(buffer), 0), 0);
}

TEST_F(AFeatureDevice, IgnoresTheFirstAckAfterReportsBeforeAcknowledging) {
    SetField({{"ack_after", 2}});
    for (uint8_t status : {1, 2, 3}) {
        SetField({{"ack_status", status}});
        EXPECT_EQ(Send(*control, {0x05, status}), 2);
    }
    EXPECT_EQ(ReadReport(*input), (Bytes{0x05, 0x03, 0x50, 0x03, 0x00}));
    // Setting ack_after again starts the count again.
    SetField({{"ack_after", 1}, {"ack_status", 4}});
    EXPECT_EQ(Send(*control, {0x05}), 1);
    SetField({{"ack_status", 5}});
    EXPECT_EQ(Send(*control, {0x05}), 1);
    EXPECT_EQ(ReadReport(*input), (Bytes{0x05, 0x03, 0x50, 0x05, 0x00}));
}

TEST_F(AFeatureDevice, SendsNoAcknowledgementWhenAckIsOff) {
    SetField({{"ack", false}, {"ack_status", 1}});
    EXPECT_EQ(Send(*control, {0x05}), 1);
    SetField({{"ack", true}, {"ack_status", 2}});
    EXPECT_EQ(Send(*control, {0x05}), 1);
    EXPECT_EQ(ReadReport(*input), (Bytes{0x05, 0x03, 0x50, 0x02, 0x00}));
}

TEST_F(AFeatureDevice, AcknowledgesNoSoonerThanTheDelay) {
    SetField({{"ack_delay_ms", 300}});
    const auto sent = Clock::now();
    EXPECT_EQ(Send(*control, {0x05}), 1);
    EXPECT_EQ(ReadReport(*input, 20000), (Bytes{0x05, 0x03, 0x50, 0x00, 0x00}));
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(300));
}

TEST_F(AFeatureDevice, DropsAPendingAcknowledgementWhenUnpluggedMeanwhile) {
    SetField({{"ack_delay_ms", 200}});
    EXPECT_EQ(Send(*control, {0x05}), 1);
    ASSERT_TRUE(simulator->Unplug("m81", nullptr));
    ASSERT_TRUE(simulator->Plug("m81", nullptr));
    auto fresh = Open(*simulator, Path("m81", 1));
    ASSERT_TRUE(fresh);
    uint8_t buffer[8];
    EXPECT_EQ(fresh->read_timeout(buffer, sizeof(buffer), 600), 0);
}

TEST_F(AFeatureDevice, RefusesTheFirstRejectFeatureSendsAndRecordsThemAsRejected) {
    SetField({{"reject_feature", 2}, {"ack_status", 1}});
    EXPECT_EQ(Send(*control, {0x05, 0x01}), -1);
    EXPECT_EQ(Send(*control, {0x05, 0x02}), -1);
    SetField({{"ack_status", 2}});
    // reject_feature was not set again, so the count goes on: this one passes.
    EXPECT_EQ(Send(*control, {0x05, 0x03}), 2);
    EXPECT_EQ(ReadReport(*input), (Bytes{0x05, 0x03, 0x50, 0x02, 0x00}));
    const auto log = simulator->Log("m81");
    ASSERT_EQ(log.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i].kind, "feature");
        EXPECT_EQ(log[i].bytes, (Bytes{0x05, static_cast<uint8_t>(i + 1)}));
        EXPECT_EQ(log[i].rejected, i < 2);
    }
    simulator->Clear("m81");
    EXPECT_TRUE(simulator->Log("m81").empty());
}

TEST_F(AFeatureDevice, ThatIsSilentFailsEveryReadAndNeverAcknowledges) {
    SetField({{"silent", true}, {"ack_status", 1}});
    EXPECT_EQ(Send(*control, Padded({0xA0, 0x0B, 0x08}, 8)), 8);
    EXPECT_EQ(Send(*control, {0x05}), 1);
    int result = 0;
    GetFeature(0xA0, 8, &result);
    EXPECT_EQ(result, -1);
    GetFeature(0x0B, 8, &result);
    EXPECT_EQ(result, -1);
    const auto log = simulator->Log("m81");
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2].kind, "get_feature");
    EXPECT_EQ(log[2].bytes, Bytes{0xA0});
    EXPECT_TRUE(log[2].rejected);
    EXPECT_EQ(log[3].bytes, Bytes{0x0B});

    SetField({{"silent", false}, {"ack_status", 2}});
    EXPECT_EQ(Send(*control, {0x05}), 1);
    EXPECT_EQ(ReadReport(*input), (Bytes{0x05, 0x03, 0x50, 0x02, 0x00}));
    // The request heard while silent did not make it ready.
    EXPECT_EQ(GetFeature(0xA0, 8)[1], 0);
}

TEST_F(AFeatureDevice, AnswersFeatureReadsOnlyOnItsControlCollection) {
    Bytes buffer = {0xA0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(input->get_feature_report(buffer.data(), buffer.size()), -1);
    EXPECT_EQ(input->send_feature_report(buffer.data(), buffer.size()), 8);
    EXPECT_EQ(GetFeature(0xA0, 8)[1], 0);
}

class AnOutputDevice : public ::testing::Test {
protected:
    void SetUp() override {
        simulator = Load(R"({"devices":[{"name":"r65","vendor_id":"0x1D57","product_id":"0xFA65","device_id":5}]})");
        ASSERT_TRUE(simulator);
        control = Open(*simulator, Path("r65", 2));
        vendorInput = Open(*simulator, Path("r65", 0));
        ASSERT_TRUE(control && vendorInput);
    }
    std::unique_ptr<Simulator> simulator;
    std::shared_ptr<HidDevice> control, vendorInput;
};

TEST_F(AnOutputDevice, AnswersAQueryWithTheAcknowledgementThenItsDataReports) {
    struct Case {
        uint8_t code;
        size_t reports;
    };
    for (const Case c : {Case{0x04, 1}, Case{0x05, 1}, Case{0x06, 1}, Case{0x08, 1}, Case{0x09, 2}, Case{0x0A, 3},
                         Case{0x0B, 1}, Case{0x0C, 1}}) {
        SCOPED_TRACE(static_cast<int>(c.code));
        const Bytes request = OutputQuery(c.code, 0x80, 0x04, 0x04);
        EXPECT_EQ(Write(*control, request), 12);
        EXPECT_EQ(ReadReport(*control, 10000, 64), Padded({0x04, 0x06, 0xC0, 0x01}, 64));
        for (size_t k = 0; k < c.reports; ++k) {
            Bytes expected = Padded({0x04, 0x40, static_cast<uint8_t>(k)}, 64);
            for (size_t j = 0; j < 59; ++j) expected[3 + j] = static_cast<uint8_t>(59 * k + j);
            if (k == 0) expected[3] = c.code;
            EXPECT_EQ(ReadReport(*control, 10000, 64), expected) << "data report " << k;
        }
        uint8_t buffer[64];
        EXPECT_EQ(control->read_timeout(buffer, sizeof(buffer), 0), 0);
    }
    const auto log = simulator->Log("r65");
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[5].kind, "output");
    EXPECT_EQ(log[5].collection, 2);
    EXPECT_EQ(log[5].bytes, (Bytes{0x04, 0x0C, 0xA0, 0x0A, 0x80, 0x04, 0x04, 0x00, 0x00, 0x00, 0x01, 0x42}));
    uint8_t buffer[64];
    EXPECT_EQ(vendorInput->read_timeout(buffer, sizeof(buffer), 0), 0);
}

TEST_F(AnOutputDevice, SpreadsAConfiguredAnswerOverItsDataReportsFiftyNineBytesEach) {
    std::string answer;
    for (int i = 0; i < 120; ++i) answer += i == 0 ? "ff" : "ab";
    std::string error;
    ASSERT_TRUE(simulator->Set("r65", {{"answers", {{"0x09", answer}}}}, &error)) << error;
    EXPECT_EQ(Write(*control, OutputQuery(0x09, 0x6F, 0x03, 0x00)), 12);
    ReadReport(*control, 10000, 64);
    const Bytes first = ReadReport(*control, 10000, 64);
    const Bytes second = ReadReport(*control, 10000, 64);
    ASSERT_EQ(first.size(), 64u);
    ASSERT_EQ(second.size(), 64u);
    EXPECT_EQ(first[3], 0xFF);  // as configured, even where the code belongs
    EXPECT_EQ(first[61], 0xAB);
    EXPECT_EQ(first[62], 0x00);
    EXPECT_EQ(second[3], 0xAB);
    EXPECT_EQ(second[61], 0xAB);  // answer byte 117
}

TEST_F(AnOutputDevice, IgnoresRequestsWithABadChecksumOnOtherCollectionsOrWhileSilent) {
    Bytes bad = OutputQuery(0x0C, 0x0A, 0, 0);
    bad[11] ^= 1;
    EXPECT_EQ(Write(*control, bad), 12);
    EXPECT_EQ(Write(*vendorInput, OutputQuery(0x0C, 0x0A, 0, 0)), 12);
    std::string error;
    ASSERT_TRUE(simulator->Set("r65", {{"silent", true}}, &error)) << error;
    EXPECT_EQ(Write(*control, OutputQuery(0x0C, 0x0A, 0, 0)), 12);
    uint8_t buffer[64];
    EXPECT_EQ(control->read_timeout(buffer, sizeof(buffer), 200), 0);
    EXPECT_EQ(vendorInput->read_timeout(buffer, sizeof(buffer), 0), 0);
    const auto log = simulator->Log("r65");
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1].collection, 0);
    for (const auto& entry : log) EXPECT_EQ(entry.kind, "output");
}

// One plain device "d" with its input collection open.
class ASimulatedHandle : public ::testing::Test {
protected:
    void SetUp() override {
        simulator = Load(R"({"devices":[{"name":"d","vendor_id":1,"product_id":2}]})");
        ASSERT_TRUE(simulator);
        input = Open(*simulator, Path("d", 1));
        ASSERT_TRUE(input);
    }
    std::unique_ptr<Simulator> simulator;
    std::shared_ptr<HidDevice> input;
};

TEST_F(ASimulatedHandle, CopiesAtMostTheLengthAskedForAndDropsTheRest) {
    ASSERT_TRUE(simulator->QueueReport("d", {1, 2, 3, 4, 5, 6}, -1, nullptr));
    ASSERT_TRUE(simulator->QueueReport("d", {7}, -1, nullptr));
    uint8_t buffer[4] = {0, 0, 0, 0xEE};
    EXPECT_EQ(input->read_timeout(buffer, 3, 0), 3);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 2, 3, 0xEE}));
    ReaderWake wake;
    EXPECT_EQ(input->read_wait(buffer, 3, wake), 1);
    EXPECT_EQ(buffer[0], 7);
}

TEST_F(ASimulatedHandle, WaitsAtLeastTheTimeOutForAReportAndNoLongerOnceOneComes) {
    uint8_t buffer[8];
    auto start = Clock::now();
    EXPECT_EQ(input->read_timeout(buffer, sizeof(buffer), 150), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));

    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        simulator->QueueReport("d", {9}, -1, nullptr);
    });
    start = Clock::now();
    EXPECT_EQ(input->read_timeout(buffer, sizeof(buffer), 60000), 1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    sender.join();
    EXPECT_EQ(input->read_timeout(buffer, sizeof(buffer), 0), 0);
}

TEST(ADetachedSimulatedHandle, FailsEveryCallAndStaysDeadAfterReplug) {
    auto simulator = Load(R"({"devices":[{"name":"d","vendor_id":1,"product_id":"0xFA60"}]})");
    ASSERT_TRUE(simulator);
    auto control = Open(*simulator, Path("d", 0));
    auto input = Open(*simulator, Path("d", 1));
    ASSERT_TRUE(control && input);
    std::atomic<int> blocked{1};
    ReaderWake never;
    std::thread reader([&] {
        uint8_t buffer[8];
        blocked = input->read_wait(buffer, sizeof(buffer), never);
    });
    ASSERT_TRUE(simulator->Unplug("d", nullptr));
    reader.join();
    EXPECT_EQ(blocked.load(), -1);

    auto expectDead = [](HidDevice& handle) {
        uint8_t buffer[8] = {0xA0};
        ReaderWake wake;
        EXPECT_EQ(handle.read_wait(buffer, sizeof(buffer), wake), -1);
        EXPECT_EQ(handle.read_timeout(buffer, sizeof(buffer), 10), -1);
        EXPECT_EQ(handle.write(buffer, sizeof(buffer)), -1);
        EXPECT_EQ(handle.send_feature_report(buffer, sizeof(buffer)), -1);
        EXPECT_EQ(handle.get_feature_report(buffer, sizeof(buffer)), -1);
    };
    expectDead(*control);
    HidOpenError error = HidOpenError::None;
    EXPECT_EQ(Open(*simulator, Path("d", 1), &error), nullptr);
    EXPECT_EQ(error, HidOpenError::NotFound);

    ASSERT_TRUE(simulator->Plug("d", nullptr));
    expectDead(*control);
    expectDead(*input);
    EXPECT_TRUE(simulator->Log("d").empty());
    auto fresh = Open(*simulator, Path("d", 1), &error);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(error, HidOpenError::None);
    ASSERT_TRUE(simulator->QueueReport("d", {1, 2}, -1, nullptr));
    EXPECT_EQ(ReadReport(*fresh), (Bytes{1, 2}));
}

TEST_F(ASimulatedHandle, OutlivingItsSimulatorFailsInsteadOfCrashing) {
    std::atomic<int> result{1};
    std::thread reader([&] {
        uint8_t buffer[8];
        result = input->read_timeout(buffer, sizeof(buffer), -1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    simulator.reset();
    reader.join();
    EXPECT_EQ(result.load(), -1);
    uint8_t buffer[8] = {0x05};
    EXPECT_EQ(input->send_feature_report(buffer, sizeof(buffer)), -1);
}

TEST_F(ASimulatedHandle, KeepsTheNewestReportsWhenNobodyReadsThem) {
    for (int i = 0; i < 1100; ++i)
        ASSERT_TRUE(simulator->QueueReport("d", {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}, -1, nullptr));
    EXPECT_EQ(ReadReport(*input), (Bytes{0x00, 76}));  // 1100 - 1024
    int count = 1;
    uint8_t buffer[8];
    while (input->read_timeout(buffer, sizeof(buffer), 0) > 0) ++count;
    EXPECT_EQ(count, 1024);
}

TEST(ASimulatedOpen, FailsAsTheDeviceIsConfigured) {
    struct Case {
        const char* fields;
        HidOpenError collection0, collection1;
    };
    const Case cases[] = {
        {R"({"open_error":"permission"})", HidOpenError::PermissionDenied, HidOpenError::PermissionDenied},
        {R"({"open_error":"other"})", HidOpenError::Other, HidOpenError::Other},
        {R"({"open_error":"none","fail_open_collections":[1]})", HidOpenError::None, HidOpenError::Other},
        {R"({"fail_open_collections":[]})", HidOpenError::None, HidOpenError::None},
    };
    auto simulator = Load(R"({"devices":[{"name":"d","vendor_id":1,"product_id":2}]})");
    ASSERT_TRUE(simulator);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fields);
        std::string error;
        ASSERT_TRUE(simulator->Set("d", nlohmann::json::parse(c.fields), &error)) << error;
        HidOpenError e0 = HidOpenError::NotFound, e1 = HidOpenError::NotFound;
        auto h0 = Open(*simulator, Path("d", 0), &e0);
        auto h1 = Open(*simulator, Path("d", 1), &e1);
        EXPECT_EQ(e0, c.collection0);
        EXPECT_EQ(e1, c.collection1);
        EXPECT_EQ(h0 != nullptr, c.collection0 == HidOpenError::None);
        EXPECT_EQ(h1 != nullptr, c.collection1 == HidOpenError::None);
    }
    HidOpenError error = HidOpenError::None;
    EXPECT_EQ(Open(*simulator, "/dev/sim/d/9", &error), nullptr);
    EXPECT_EQ(error, HidOpenError::NotFound);
    EXPECT_EQ(Open(*simulator, "/dev/hidraw0"), nullptr);  // a null error pointer is allowed
}

TEST(ABehaviourChange, IsAllOrNothingAndNamesTheBadField) {
    auto simulator = Load(R"({"devices":[{"name":"d","vendor_id":1,"product_id":2,"device_id":9,"ack_delay_ms":0}]})");
    ASSERT_TRUE(simulator);
    struct Case {
        const char* device;
        const char* fields;
        const char* error;
    };
    const Case cases[] = {
        {"d", R"({"ack_status":7,"colour":"red"})", R"(unknown behaviour field "colour")"},
        {"d", R"({"ack_status":7,"ack":"yes"})", "ack: expected true or false, got string"},
        {"d", R"({"ack_status":7,"fail_open_collections":[0,5]})", "fail_open_collections[1]: 5 is out of range 0..1"},
        {"d", R"([1])", "behaviour fields must be an object"},
        {"x", R"({})", R"(unknown device "x")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fields);
        std::string error;
        EXPECT_FALSE(simulator->Set(c.device, nlohmann::json::parse(c.fields), &error));
        EXPECT_EQ(error, c.error);
    }
    auto control = Open(*simulator, Path("d", 0));
    auto input = Open(*simulator, Path("d", 1));
    ASSERT_TRUE(control && input);
    EXPECT_EQ(Send(*control, {0x05}), 1);
    EXPECT_EQ(ReadReport(*input), (Bytes{0x05, 0x09, 0x50, 0x00, 0x00}));
}

TEST(ASimulatedDevice, DeliversReportsFromManyThreadsEachInItsOwnOrder) {
    auto simulator = Load(R"({"devices":[{"name":"d","vendor_id":1,"product_id":2,"ack_delay_ms":0}]})");
    ASSERT_TRUE(simulator);
    auto control = Open(*simulator, Path("d", 0));
    auto input = Open(*simulator, Path("d", 1));
    ASSERT_TRUE(control && input);
    constexpr int kThreads = 4, kReports = 150;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kReports; ++i) {
                simulator->QueueReport("d", {0x01, static_cast<uint8_t>(t), static_cast<uint8_t>(i)}, -1, nullptr);
                if (i % 50 == 0) simulator->Log("d");
            }
        });
    // Feature sends and their acknowledgements interleave with the reports.
    std::thread commands([&] {
        for (int i = 0; i < 50; ++i) Send(*control, {0x07, static_cast<uint8_t>(i)});
    });
    int next[kThreads] = {};
    int acks = 0;
    for (int received = 0; received < kThreads * kReports + 50;) {
        const Bytes report = ReadReport(*input);
        ASSERT_FALSE(report.empty()) << "after " << received << " reports";
        ++received;
        if (report[0] == 0x05) {
            ++acks;
            continue;
        }
        ASSERT_EQ(report.size(), 3u);
        ASSERT_LT(report[1], kThreads);
        EXPECT_EQ(report[2], next[report[1]]++);
    }
    for (auto& sender : senders) sender.join();
    commands.join();
    EXPECT_EQ(acks, 50);
    EXPECT_EQ(simulator->Log("d").size(), 50u);
}

}  // namespace
}  // namespace orvex::sim
