#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/linux/HidrawDescriptor.h"
#include "sim/Devices.h"

namespace orvex {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// clang-format off
// A vendor-page device with four top-level collections: two-byte usage
// pages, a feature-only id, push and pop, a nested collection, a long item
// and a four-byte usage that carries its own page.
const std::vector<uint8_t> kVendorDevice = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,  // 0xFF00 / 0x0001, Application
    0x85, 0x05, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x3F, 0x81, 0x02,
    0x85, 0x0C, 0x09, 0x03, 0x95, 0x09, 0xB1, 0x02,  // feature 0x0C: no input
    0xC0,
    0x05, 0x0A, 0x09, 0x00, 0xA1, 0x01,  // 0x000A / 0x0000
    0x85, 0x06, 0x09, 0x01, 0x95, 0x04, 0x81, 0x02,
    0xC0,
    0x06, 0x01, 0xFF, 0x09, 0x02, 0xA1, 0x01,  // 0xFF01 / 0x0002
    0x85, 0x04,
    0xA4,                                // Push
    0x05, 0x01, 0x85, 0x07, 0x09, 0x30, 0x95, 0x01, 0x81, 0x02,  // page 1, id 7
    0xB4,                                // Pop: page 0xFF01, id 4 again
    0x09, 0x04, 0x95, 0x3F, 0x81, 0x02, 0x09, 0x05, 0x91, 0x02,
    0x09, 0x07, 0xA1, 0x02, 0x09, 0x08, 0x81, 0x02, 0xC0,  // nested Logical 0xFF01 / 0x0007
    0xFE, 0x02, 0xF0, 0xAA, 0xBB,        // long item
    0xC0,
    0x06, 0x00, 0xFF, 0x0B, 0x00, 0x00, 0x0B, 0x00, 0xA1, 0x01,  // usage 0x000B0000
    0x85, 0x08, 0x09, 0x01, 0x95, 0x08, 0x81, 0x02,
    0xC0,
};

// One vendor collection without report ids: byte 0 is data.
const std::vector<uint8_t> kWithoutIds = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
    0x75, 0x08, 0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x09, 0x02, 0x91, 0x02, 0xC0,
};
// clang-format on

// A mouse (report 1, a nested physical collection) and consumer controls
// (report 2) on one interface, as a BLE device presents them.
const std::vector<uint8_t> kMouseAndConsumer = sim::Model("ble").descriptor;

HidDescriptorLayout Parse(const std::vector<uint8_t>& d) {
    return ParseReportDescriptor(d.data(), d.size());
}

// Every device model's descriptor lists exactly the model's collections, and
// each collection's handle passes its own input reports and no other's.
TEST(AReportDescriptor, OfEachDeviceModelGivesItsCollectionsTheirOwnInputReports) {
    const std::map<std::string, std::vector<std::vector<int>>> inputIds = {
        {"vireo", {{}, {0x05}}},       {"sabre", {{0x06}, {0x05}, {0x04}}}, {"wired", {{}, {0x05}}},
        {"wired85", {{0x04}, {0x06}}}, {"ble", {{0x01}, {0x02}}},
    };
    ASSERT_EQ(sim::Models().size(), inputIds.size());
    for (const auto& model : sim::Models()) {
        SCOPED_TRACE(model.name);
        const HidDescriptorLayout layout = Parse(model.descriptor);
        ASSERT_TRUE(layout.valid);
        EXPECT_TRUE(layout.uses_report_ids);
        ASSERT_EQ(layout.collections.size(), model.collections.size());
        const auto& ids = inputIds.at(model.name);
        for (size_t i = 0; i < model.collections.size(); ++i) {
            const sim::UsagePair usage = model.collections[i];
            EXPECT_EQ(layout.collections[i].usage, (HidUsage{usage.usage_page, usage.usage})) << i;
            std::vector<int> declared(layout.collections[i].input_report_ids.begin(),
                                      layout.collections[i].input_report_ids.end());
            EXPECT_EQ(declared, ids[i]) << i;
            const HidReportFilter filter = HidReportFilter::ForCollection(layout, {usage.usage_page, usage.usage});
            for (size_t j = 0; j < ids.size(); ++j)
                for (int id : ids[j]) {
                    const uint8_t report[] = {static_cast<uint8_t>(id), 0x07};
                    EXPECT_EQ(filter.Accepts(report, sizeof report), i == j) << "collection " << i << " id " << id;
                }
        }
    }
}

TEST(AReportDescriptor, OfAMouseAndConsumerControlsMapsEachReportIdToItsCollection) {
    const HidDescriptorLayout layout = Parse(kMouseAndConsumer);
    ASSERT_TRUE(layout.valid);
    EXPECT_TRUE(layout.uses_report_ids);
    ASSERT_EQ(layout.collections.size(), 2u);
    EXPECT_EQ(layout.collections[0].usage, (HidUsage{0x0001, 0x0002}));
    EXPECT_THAT(layout.collections[0].nested, ElementsAre(HidUsage{0x0001, 0x0001}));
    EXPECT_THAT(layout.collections[0].input_report_ids, ElementsAre(1));
    EXPECT_EQ(layout.collections[1].usage, (HidUsage{0x000C, 0x0001}));
    EXPECT_THAT(layout.collections[1].nested, IsEmpty());
    EXPECT_THAT(layout.collections[1].input_report_ids, ElementsAre(2));
}

TEST(AReportDescriptor, OfAVendorDeviceHonoursPushPopLongItemsAndExtendedUsages) {
    const HidDescriptorLayout layout = Parse(kVendorDevice);
    ASSERT_TRUE(layout.valid);
    EXPECT_TRUE(layout.uses_report_ids);
    ASSERT_EQ(layout.collections.size(), 4u);
    EXPECT_EQ(layout.collections[0].usage, (HidUsage{0xFF00, 0x0001}));
    EXPECT_THAT(layout.collections[0].input_report_ids, ElementsAre(5));  // 0x0C is a feature
    EXPECT_EQ(layout.collections[1].usage, (HidUsage{0x000A, 0x0000}));
    EXPECT_THAT(layout.collections[1].input_report_ids, ElementsAre(6));
    EXPECT_EQ(layout.collections[2].usage, (HidUsage{0xFF01, 0x0002}));
    EXPECT_THAT(layout.collections[2].nested, ElementsAre(HidUsage{0xFF01, 0x0007}));
    EXPECT_THAT(layout.collections[2].input_report_ids, ElementsAre(7, 4));
    EXPECT_EQ(layout.collections[3].usage, (HidUsage{0x000B, 0x0000}));
    EXPECT_THAT(layout.collections[3].input_report_ids, ElementsAre(8));
}

TEST(AReportDescriptor, WithoutReportIdsSaysSo) {
    const HidDescriptorLayout layout = Parse(kWithoutIds);
    ASSERT_TRUE(layout.valid);
    EXPECT_FALSE(layout.uses_report_ids);
    ASSERT_EQ(layout.collections.size(), 1u);
    EXPECT_THAT(layout.collections[0].input_report_ids, IsEmpty());
}

TEST(AReportDescriptor, ThatIsMalformedIsNotValid) {
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"item cut short", {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x26, 0xFF}},
        {"long item cut short", {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0xFE, 0x05, 0xF0, 0x01, 0xC0}},
        {"long item header cut short", {0xFE, 0x01}},
        {"collection never ended", {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x01, 0x81, 0x02}},
        {"end without collection", {0x05, 0x01, 0xC0, 0x09, 0x02, 0xA1, 0x01, 0xC0}},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(Parse(c.bytes).valid) << c.what;
        // Whatever was parsed, a handle on such a node must see everything.
        const HidReportFilter filter = HidReportFilter::ForCollection(Parse(c.bytes), HidUsage{0x0001, 0x0002});
        EXPECT_FALSE(filter.filters()) << c.what;
    }
    EXPECT_TRUE(Parse({}).valid);
    EXPECT_TRUE(ParseReportDescriptor(nullptr, 0).collections.empty());
}

TEST(AReportDescriptor, CutInsideACollectionIsNotValid) {
    const auto& d = kMouseAndConsumer;
    const std::vector<uint8_t> collection = {0xA1, 0x01}, endOfMouse = {0xC0, 0xC0};
    const size_t mouseStart =
        static_cast<size_t>(std::search(d.begin(), d.end(), collection.begin(), collection.end()) - d.begin());
    const size_t mouseEnd =
        static_cast<size_t>(std::search(d.begin(), d.end(), endOfMouse.begin(), endOfMouse.end()) - d.begin()) + 2;
    const size_t consumerStart = static_cast<size_t>(
        std::search(d.begin() + static_cast<long>(mouseEnd), d.end(), collection.begin(), collection.end()) -
        d.begin());
    for (size_t n = 0; n <= d.size(); ++n) {
        // An exact-size copy, so that a read past the end is a sanitizer error.
        const std::vector<uint8_t> cut(d.begin(), d.begin() + static_cast<long>(n));
        const bool valid = ParseReportDescriptor(cut.data(), cut.size()).valid;
        const bool inside = (n > mouseStart && n < mouseEnd) || (n > consumerStart && n < d.size());
        if (inside) {
            EXPECT_FALSE(valid) << n << " bytes";
        }
        if (n == mouseEnd || n == d.size()) {
            EXPECT_TRUE(valid) << n << " bytes";
        }
    }
}

TEST(AReportFilter, PassesOnlyTheReportsOfItsOwnCollection) {
    const HidDescriptorLayout layout = Parse(kVendorDevice);
    const struct {
        HidUsage opened;
        std::vector<uint8_t> accepted;
        std::vector<uint8_t> rejected;
    } cases[] = {
        {{0xFF00, 0x0001}, {5}, {4, 6, 7, 8}},
        {{0x000A, 0x0000}, {6}, {4, 5, 7, 8}},
        {{0xFF01, 0x0002}, {4, 7}, {5, 6, 8}},
        {{0xFF01, 0x0007}, {4, 7}, {5, 6, 8}},  // a nested pair means its top-level collection
        {{0x000B, 0x0000}, {8}, {4, 5, 6, 7}},
    };
    for (const auto& c : cases) {
        const HidReportFilter filter = HidReportFilter::ForCollection(layout, c.opened);
        EXPECT_TRUE(filter.filters());
        for (uint8_t id : c.accepted) {
            const uint8_t report[] = {id, 0x02, 0x03};
            EXPECT_TRUE(filter.Accepts(report, sizeof report)) << std::hex << c.opened.usage_page << " id " << int(id);
        }
        for (uint8_t id : c.rejected) {
            const uint8_t report[] = {id, 0x02, 0x03};
            EXPECT_FALSE(filter.Accepts(report, sizeof report)) << std::hex << c.opened.usage_page << " id " << int(id);
        }
        // Ids that no collection declares (0x0C is a feature only) are nobody's
        // but would be lost if dropped everywhere.
        const uint8_t undeclared[] = {0x0C, 0x01};
        EXPECT_TRUE(filter.Accepts(undeclared, sizeof undeclared));
    }
}

TEST(AReportFilter, LetsEverythingThroughWithoutIdsOrForAnUnknownCollection) {
    const uint8_t report[] = {0x05, 0x02, 0x50};
    EXPECT_FALSE(HidReportFilter::ForCollection(Parse(kWithoutIds), HidUsage{0xFF00, 0x0001}).filters());
    const HidReportFilter unknown = HidReportFilter::ForCollection(Parse(kMouseAndConsumer), HidUsage{0xFF00, 0x0001});
    EXPECT_FALSE(unknown.filters());
    EXPECT_TRUE(unknown.Accepts(report, sizeof report));
    EXPECT_TRUE(HidReportFilter().Accepts(report, sizeof report));
}

// A raw read that hands out queued reports and records the time-outs asked.
struct ScriptedRaw {
    std::deque<std::vector<uint8_t>> reports;
    std::vector<int> timeouts;
    int result_when_empty = 0;
    bool endless_foreign = false;

    RawRead Fn() {
        return [this](uint8_t* data, size_t length, int timeout) {
            timeouts.push_back(timeout);
            if (endless_foreign) {
                data[0] = 2;
                return 1;
            }
            if (reports.empty()) return result_when_empty;
            const std::vector<uint8_t> r = reports.front();
            reports.pop_front();
            const size_t n = std::min(length, r.size());
            std::copy(r.begin(), r.begin() + static_cast<long>(n), data);
            return static_cast<int>(n);
        };
    }
};

class AFilteredRead : public ::testing::Test {
protected:
    HidReportFilter mouse = HidReportFilter::ForCollection(Parse(kMouseAndConsumer), HidUsage{0x0001, 0x0002});
    ScriptedRaw raw;
    uint8_t buffer[100] = {};
};

TEST_F(AFilteredRead, SkipsForeignReportsAndLeavesNoTraceOfThemInTheBuffer) {
    raw.reports.push_back(std::vector<uint8_t>(20, 0x02));  // consumer report, 20 bytes of 0x02
    raw.reports.push_back({0x01, 0x07, 0x09});              // a short mouse report
    ASSERT_EQ(ReadFiltered(mouse, raw.Fn(), buffer, sizeof buffer, 0), 3);
    EXPECT_EQ(buffer[0], 0x01);
    EXPECT_EQ(buffer[1], 0x07);
    EXPECT_EQ(buffer[2], 0x09);
    for (size_t i = 3; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0) << "byte " << i;
}

TEST_F(AFilteredRead, PollingAnswersNothingWaitingWhenOnlyForeignReportsWere) {
    raw.reports.push_back({0x02, 0x01});
    raw.reports.push_back({0x02, 0x02});
    EXPECT_EQ(ReadFiltered(mouse, raw.Fn(), buffer, sizeof buffer, 0), 0);
    EXPECT_TRUE(raw.reports.empty());
    EXPECT_THAT(raw.timeouts, ElementsAre(0, 0, 0));
}

TEST_F(AFilteredRead, PollingGivesUpAfterItsDropLimitUnderAFloodOfForeignReports) {
    raw.endless_foreign = true;
    EXPECT_EQ(ReadFiltered(mouse, raw.Fn(), buffer, sizeof buffer, 0, 8), 0);
    EXPECT_EQ(raw.timeouts.size(), 8u);
}

TEST_F(AFilteredRead, KeepsWaitingWithinItsTimeOutAfterDroppingAForeignReport) {
    raw.reports.push_back({0x02, 0x01});
    raw.reports.push_back({0x01, 0x05});
    EXPECT_EQ(ReadFiltered(mouse, raw.Fn(), buffer, sizeof buffer, 1000), 2);
    ASSERT_EQ(raw.timeouts.size(), 2u);
    EXPECT_EQ(raw.timeouts[0], 1000);
    EXPECT_GE(raw.timeouts[1], 0);
    EXPECT_LE(raw.timeouts[1], 1000);
}

TEST_F(AFilteredRead, BlockingKeepsBlockingAfterAForeignReport) {
    raw.reports.push_back({0x02, 0x01});
    raw.reports.push_back({0x01, 0x05});
    EXPECT_EQ(ReadFiltered(mouse, raw.Fn(), buffer, sizeof buffer, -1), 2);
    EXPECT_THAT(raw.timeouts, ElementsAre(-1, -1));
}

TEST_F(AFilteredRead, PassesErrorsAndTimeOutsThrough) {
    raw.result_when_empty = -1;
    EXPECT_EQ(ReadFiltered(mouse, raw.Fn(), buffer, sizeof buffer, 0), -1);
    raw.result_when_empty = 0;
    raw.reports.push_back({0x02, 0x01});
    EXPECT_EQ(ReadFiltered(mouse, raw.Fn(), buffer, sizeof buffer, 50), 0);
}

}  // namespace
}  // namespace orvex
