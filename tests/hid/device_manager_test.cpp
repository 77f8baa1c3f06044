// The open step and the readers against simulated devices, without a server:
// broadcasts are observed through the tap, the tables under their lock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/HidDeviceManager.h"
#include "sim/Simulator.h"
#include "support/Capture.h"
#include "support/Pages.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr auto kWait = 5s;  // for things that happen at once

// Short pauses sleep for real; the open step's long pauses are recorded and
// skipped, with a hook that runs at each of them.
class PacedClock final : public Clock {
public:
    void sleep_for(std::chrono::milliseconds d) override {
        if (d < 100ms) {
            std::this_thread::sleep_for(d);
            return;
        }
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_long.push_back(d.count());
            hook = m_hook;
        }
        if (hook) hook();
    }
    std::vector<long> LongSleeps() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_long;
    }
    void OnLongSleep(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hook = std::move(hook);
    }

private:
    std::mutex m_mutex;
    std::vector<long> m_long;
    std::function<void()> m_hook;
};

std::string Device(const std::string& name, const std::string& product, int deviceId, const std::string& extra = "") {
    return R"({"name":")" + name + R"(","vendor_id":"0x1D57","product_id":")" + product + R"(","device_id":)" +
           std::to_string(deviceId) + extra + "}";
}

// A copy of one family's table taken under its lock.
struct FamilyView {
    int controlCount = 0;
    int inputCount = 0;
    HidCollectionRecord control[kSlotCount], input[kSlotCount], active[kSlotCount];
    int paired[kSlotCount] = {};
    bool reader[kSlotCount] = {};
};

class AHidFamily : public ::testing::Test {
protected:
    void Load(const std::vector<std::string>& devices) {
        std::string json = R"({"devices":[)";
        for (size_t i = 0; i < devices.size(); ++i) json += (i ? "," : "") + devices[i];
        json += "]}";
        std::string error;
        sim = sim::Simulator::LoadScenarioText(json, &error);
        ASSERT_TRUE(sim) << error;
        manager = std::make_unique<HidDeviceManager>(sim->hid(), clock, broadcasts);
    }
    void TearDown() override {
        manager.reset();
        sim.reset();
    }

    // Tables are read on this thread, which plays the main loop's part.
    FamilyView View(uint8_t family) {
        FamilyView v;
        HidFamilyState* state = manager->Family(family);
        std::lock_guard<std::mutex> lock(state->m_mutex);
        v.controlCount = state->m_nControlCount;
        v.inputCount = state->m_nInputCount;
        for (int s = 0; s < kSlotCount; ++s) {
            v.control[s] = state->m_control[s];
            v.input[s] = state->m_input[s];
            v.active[s] = state->m_active[s];
            v.paired[s] = state->m_bPaired[s];
            v.reader[s] = state->m_hThread[s].joinable() && state->m_dwThreadId[s] != std::thread::id();
        }
        return v;
    }
    std::string Path(const std::string& device, int collection) { return sim->CollectionPaths(device).at(collection); }
    void Report(const std::string& device, int collection, const std::vector<uint8_t>& bytes) {
        std::string error;
        ASSERT_TRUE(sim->QueueReport(device, bytes, collection, &error)) << error;
    }
    std::vector<std::string> FeatureReportsOf(const std::string& device) {
        std::vector<std::string> hex;
        for (const auto& r : sim->Log(device)) {
            if (r.kind != "feature") continue;
            std::string h;
            char b[3];
            for (uint8_t byte : r.bytes) {
                std::snprintf(b, sizeof b, "%02x", byte);
                h += b;
            }
            hex.push_back(std::to_string(r.collection) + ":" + h);
        }
        return hex;
    }

    PacedClock clock;
    test::FakePages broadcasts;
    test::LogCapture log;
    std::unique_ptr<sim::Simulator> sim;
    std::unique_ptr<HidDeviceManager> manager;
};

// ---------------------------------------------------------------------------
// Matching

TEST_F(AHidFamily, OpenStepTakesExactlyTheCollectionsItsTableNames) {
    Load({
        Device("vireo", "0xFA60", 1),
        // A nested collection that hidapi lists too, and a stray pair.
        Device("vireo2", "0xFA60", 2, R"(,"collections":[[1,2],[11,0],[1,1],[10,0],[10,1]])"),
        Device("sabre", "0xFA65", 3),
        Device("wired", "0x1234", 4),
        Device("wiredv", "0x1235", 5, R"(,"collections":[[65281,2],[65280,1]])"),
        // Wired collection pairs on the two model product ids: never wired.
        Device("vireov", "0xFA60", 6, R"(,"collections":[[65281,2],[65280,1]])"),
        R"({"name":"other","vendor_id":"0x046D","product_id":"0xFA60"})",
    });
    for (uint8_t f : {0x81, 0x82, 0x83, 0x85, 0x80}) manager->OpenHidFamily(f);

    const struct {
        uint8_t family;
        std::vector<std::string> control, input;  // "device/collection"
    } expected[] = {
        {0x81, {"vireo/0", "vireo2/1"}, {"vireo/1", "vireo2/3"}},
        {0x82, {"sabre/0"}, {"sabre/1"}},
        {0x83, {"sabre/2"}, {"sabre/0"}},  // sabre/0 serves as 0x82 control and 0x83 input
        {0x80, {"wired/0"}, {"wired/1"}},
        {0x85, {"wiredv/0"}, {"wiredv/1"}},
    };
    auto path = [&](const std::string& ref) {
        const size_t slash = ref.find('/');
        return Path(ref.substr(0, slash), std::stoi(ref.substr(slash + 1)));
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(testing::Message() << "family " << std::hex << int(e.family));
        const FamilyView v = View(e.family);
        const bool wired = e.family == 0x80 || e.family == 0x85;
        ASSERT_EQ(v.controlCount, static_cast<int>(e.control.size()));
        ASSERT_EQ(v.inputCount, static_cast<int>(e.input.size()));
        for (int k = 0; k < kSlotCount; ++k) {
            if (k < v.controlCount) {
                const std::string name = e.control[k].substr(0, e.control[k].find('/'));
                EXPECT_EQ(v.control[k].szPath, path(e.control[k]));
                EXPECT_EQ(v.control[k].szToken, "sim:" + name);
                EXPECT_EQ(v.control[k].nIndex, k);
                EXPECT_NE(v.control[k].hControl, nullptr);
                EXPECT_EQ(v.control[k].hInput, nullptr);
                EXPECT_EQ(v.control[k].nDeviceId, 0);
                EXPECT_EQ(v.control[k].wProductId, wired ? (name == "wired" ? 0x1234 : 0x1235) : 0);
            } else {
                EXPECT_TRUE(v.control[k].szPath.empty());
                EXPECT_EQ(v.control[k].hControl, nullptr);
            }
            if (k < v.inputCount) {
                EXPECT_EQ(v.input[k].szPath, path(e.input[k]));
                EXPECT_EQ(v.input[k].nIndex, k);
                EXPECT_NE(v.input[k].hInput, nullptr);
                EXPECT_EQ(v.input[k].hControl, nullptr);
                EXPECT_TRUE(v.reader[k]) << "slot " << k;
            } else {
                EXPECT_TRUE(v.input[k].szPath.empty());
                EXPECT_FALSE(v.reader[k]) << "slot " << k;
            }
            EXPECT_EQ(v.paired[k], 0);
            EXPECT_TRUE(v.active[k].szPath.empty());
        }
    }
    // The open step itself tells the pages nothing.
    EXPECT_THAT(broadcasts.Texts(), IsEmpty());
}

TEST_F(AHidFamily, OpenStepOfAnEmptyFamilyLeavesItEmptyAndStopsItsOldReaders) {
    Load({Device("vireo", "0xFA60", 1)});
    manager->OpenHidFamily(0x81);
    ASSERT_TRUE(View(0x81).reader[0]);
    std::string error;
    ASSERT_TRUE(sim->Unplug("vireo", &error)) << error;
    manager->OpenHidFamily(0x81);
    const FamilyView v = View(0x81);
    EXPECT_EQ(v.controlCount, 0);
    EXPECT_EQ(v.inputCount, 0);
    EXPECT_FALSE(v.reader[0]);
    EXPECT_EQ(v.control[0].hControl, nullptr);
    EXPECT_EQ(v.input[0].hInput, nullptr);
}

TEST_F(AHidFamily, OpenStepSendsTheInitialFeatureReportOnlyToFamilies80And81AndPausesAfterEach) {
    Load({Device("vireo", "0xFA60", 1), Device("sabre", "0xFA65", 2), Device("wired", "0x1234", 3),
          Device("wiredv", "0x1235", 4, R"(,"collections":[[65281,2],[65280,1]])")});
    // At each pause, how many initial reports have gone out so far.
    std::vector<size_t> sentAtPause;
    clock.OnLongSleep(
        [&] { sentAtPause.push_back(FeatureReportsOf("vireo").size() + FeatureReportsOf("wired").size()); });
    for (uint8_t f : {0x81, 0x82, 0x83, 0x85, 0x80}) manager->OpenHidFamily(f);

    EXPECT_THAT(FeatureReportsOf("vireo"), ElementsAre("0:0c0a01fe01fe00000000"));
    EXPECT_THAT(FeatureReportsOf("wired"), ElementsAre("0:0c0a01fe01fe00000000"));
    EXPECT_THAT(FeatureReportsOf("sabre"), IsEmpty());
    EXPECT_THAT(FeatureReportsOf("wiredv"), IsEmpty());
    EXPECT_THAT(clock.LongSleeps(), ElementsAre(200, 200));
    EXPECT_THAT(sentAtPause, ElementsAre(1u, 2u));  // each pause follows its own report
}

TEST_F(AHidFamily, OpenStepPausesEvenWhenTheInitialReportIsRejected) {
    Load({Device("vireo", "0xFA60", 1, R"(,"reject_feature":5)")});
    manager->OpenHidFamily(0x81);
    EXPECT_THAT(clock.LongSleeps(), ElementsAre(200));
    EXPECT_EQ(View(0x81).controlCount, 1);
    ASSERT_EQ(sim->Log("vireo").size(), 1u);  // sent once, not retried
}

TEST_F(AHidFamily, OpenStepSkipsCollectionsThatFailToOpenAndPacksTheRest) {
    Load({Device("a", "0xFA60", 1, R"(,"fail_open_collections":[1])"),
          Device("b", "0xFA60", 2, R"(,"fail_open_collections":[0])"), Device("c", "0xFA60", 3)});
    manager->OpenHidFamily(0x81);
    const FamilyView v = View(0x81);
    ASSERT_EQ(v.controlCount, 2);
    ASSERT_EQ(v.inputCount, 2);
    EXPECT_EQ(v.control[0].szPath, Path("a", 0));
    EXPECT_EQ(v.control[1].szPath, Path("c", 0));
    EXPECT_EQ(v.control[1].nIndex, 1);
    EXPECT_EQ(v.input[0].szPath, Path("b", 1));
    EXPECT_EQ(v.input[1].szPath, Path("c", 1));
    EXPECT_THAT(FeatureReportsOf("b"), IsEmpty());  // nothing sent to a collection never opened
    EXPECT_THAT(clock.LongSleeps(), ElementsAre(200, 200));
}

TEST_F(AHidFamily, OpenStepKeepsTheFirstTenOfEachKindAndLeavesTheRestClosed) {
    std::vector<std::string> devices;
    for (int i = 0; i < 12; ++i) devices.push_back(Device("v" + std::to_string(i), "0xFA60", i + 1));
    Load(devices);
    manager->OpenHidFamily(0x81);
    const FamilyView v = View(0x81);
    EXPECT_EQ(v.controlCount, 10);
    EXPECT_EQ(v.inputCount, 10);
    for (int s = 0; s < kSlotCount; ++s) {
        EXPECT_EQ(v.input[s].szPath, Path("v" + std::to_string(s), 1));
        EXPECT_TRUE(v.reader[s]);
    }
    EXPECT_THAT(FeatureReportsOf("v9"), ElementsAre("0:0c0a01fe01fe00000000"));
    EXPECT_THAT(FeatureReportsOf("v10"), IsEmpty());
    EXPECT_THAT(FeatureReportsOf("v11"), IsEmpty());
    EXPECT_EQ(clock.LongSleeps().size(), 10u);
    // The eleventh device's input is not read by anybody.
    Report("v10", 1, {0x05, 0x0B, 0x01});
    Report("v9", 1, {0x05, 0x0A, 0x01});
    ASSERT_TRUE(broadcasts.WaitForText("8101050a010000", kWait));
    std::this_thread::sleep_for(50ms);
    EXPECT_THAT(broadcasts.Texts(), ElementsAre("8101050a010000"));
}

TEST_F(AHidFamily, OpenStepNamesTheNodeAndTheFixWhenPermissionIsDenied) {
    Load({Device("vireo", "0xFA60", 1, R"(,"open_error":"permission")"), Device("fine", "0xFA60", 2),
          Device("broken", "0xFA60", 3, R"(,"open_error":"other")")});
    manager->OpenHidFamily(0x81);
    const auto diags = log.Diags();
    ASSERT_EQ(diags.size(), 2u);  // one per node; other failures are silent
    EXPECT_THAT(diags[0], HasSubstr(Path("vireo", 0)));
    EXPECT_THAT(diags[1], HasSubstr(Path("vireo", 1)));
    for (const auto& d : diags) {
        EXPECT_THAT(d, HasSubstr("permission denied"));
        EXPECT_THAT(d, HasSubstr("70-orvex-bridge.rules"));
    }
    EXPECT_EQ(View(0x81).controlCount, 1);
}

// ---------------------------------------------------------------------------
// Readers

TEST_F(AHidFamily, ReaderKeepsOneSlotsReportsInTheDevicesOrder) {
    Load({Device("vireo", "0xFA60", 2)});
    manager->OpenHidFamily(0x81);
    std::vector<std::string> expected;
    for (uint8_t i = 0; i < 20; ++i) {
        Report("vireo", 1, {0x05, 0x02, i});
        char text[16];
        std::snprintf(text, sizeof text, "81010502%02x0000", i);
        expected.push_back(text);
    }
    ASSERT_TRUE(broadcasts.WaitForCount(20, kWait));
    EXPECT_THAT(broadcasts.Texts(), ElementsAreArray(expected));
}

TEST_F(AHidFamily, FirstReportPairsTheSlotAndSnapshotsItsControlRecordOnce) {
    Load({Device("vireo", "0xFA60", 3)});
    manager->OpenHidFamily(0x81);
    FamilyView before = View(0x81);
    EXPECT_EQ(before.paired[0], 0);
    EXPECT_EQ(before.active[0].hControl, nullptr);
    EXPECT_EQ(before.input[0].nDeviceId, 0);
    EXPECT_EQ(manager->SelectSlots(0x81, 3).size(), 0u);

    Report("vireo", 1, {0x05, 0x03, 0x01});
    ASSERT_TRUE(broadcasts.WaitForText("81010503010000", kWait));
    FamilyView v = View(0x81);
    EXPECT_EQ(v.paired[0], 1);
    EXPECT_EQ(v.input[0].nDeviceId, 3);
    EXPECT_EQ(v.control[0].nDeviceId, 3);
    EXPECT_EQ(v.control[0].hInput, v.input[0].hInput);
    EXPECT_EQ(v.active[0].szPath, Path("vireo", 0));
    EXPECT_EQ(v.active[0].hControl, v.control[0].hControl);
    EXPECT_EQ(v.active[0].hInput, v.input[0].hInput);
    EXPECT_EQ(v.active[0].nDeviceId, 3);
    const auto targets = manager->SelectSlots(0x81, 3);
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0].slot, 0);
    EXPECT_EQ(targets[0].control, v.control[0].hControl);

    // A new id follows the device; the snapshot keeps the first one.
    Report("vireo", 1, {0x05, 0x07, 0x01});
    ASSERT_TRUE(broadcasts.WaitForText("81010507010000", kWait));
    v = View(0x81);
    EXPECT_EQ(v.input[0].nDeviceId, 7);
    EXPECT_EQ(v.control[0].nDeviceId, 7);
    EXPECT_EQ(v.active[0].nDeviceId, 3);
    EXPECT_EQ(manager->SelectSlots(0x81, 3).size(), 0u);
    ASSERT_EQ(manager->SelectSlots(0x81, 7).size(), 1u);
    EXPECT_EQ(manager->SelectSlots(0x81, 7)[0].control, v.control[0].hControl);
}

TEST_F(AHidFamily, EachInputPairsWithTheControlOfItsOwnDevice) {
    Load({Device("first", "0xFA60", 1), Device("second", "0xFA60", 2)});
    manager->OpenHidFamily(0x81);
    Report("second", 1, {0x05, 0x02});
    ASSERT_TRUE(broadcasts.WaitForText("81010502000000", kWait));
    const FamilyView v = View(0x81);
    EXPECT_EQ(v.paired[0], 0);
    EXPECT_EQ(v.paired[1], 1);
    EXPECT_EQ(v.active[1].szPath, Path("second", 0));
    EXPECT_EQ(v.control[1].nDeviceId, 2);
    EXPECT_EQ(v.control[0].nDeviceId, 0);
    EXPECT_EQ(v.control[0].hInput, nullptr);
}

TEST_F(AHidFamily, InputWithoutAControlOfItsDeviceForwardsButIsNeverAddressable) {
    Load({Device("inputonly", "0xFA60", 4, R"(,"collections":[[10,0]])"),
          Device("controlonly", "0xFA60", 5, R"(,"collections":[[11,0]])")});
    manager->OpenHidFamily(0x81);
    Report("inputonly", 0, {0x05, 0x04, 0x09});
    ASSERT_TRUE(broadcasts.WaitForText("81010504090000", kWait));
    const FamilyView v = View(0x81);
    EXPECT_EQ(v.input[0].nDeviceId, 4);
    EXPECT_EQ(v.paired[0], 0);
    EXPECT_EQ(v.active[0].hControl, nullptr);
    EXPECT_EQ(v.control[0].hInput, nullptr);
    EXPECT_TRUE(manager->SelectSlots(0x81, 4).empty());  // nothing to send to
}

TEST_F(AHidFamily, Family81ReaderSetsTheAcknowledgementFlagFromByteTwoAndThree) {
    Load({Device("vireo", "0xFA60", 2)});
    manager->OpenHidFamily(0x81);
    const struct {
        std::vector<uint8_t> report;
        std::string text;
        int flag;
    } steps[] = {
        {{0x05, 0x02, 0x50, 0x00, 0x07}, "81010502500007", 1},
        {{0x05, 0x02, 0x51, 0x01, 0x07}, "81010502510107", 1},  // not an acknowledgement: unchanged
        {{0x05, 0x02, 0x50, 0x01, 0x07}, "81010502500107", 0},
        {{0x05, 0x02, 0x40, 0x00, 0x07}, "81010502400007", 0},
        {{0x05, 0x02, 0x50, 0x00}, "81010502500000", 1},
    };
    for (const auto& step : steps) {
        Report("vireo", 1, step.report);
        ASSERT_TRUE(broadcasts.WaitForText(step.text, kWait));
        EXPECT_EQ(manager->m_bAcked81[0].load(), step.flag) << step.text;
    }
}

TEST_F(AHidFamily, ReopeningForgetsIdsAndPairingAndClosesTheOldHandles) {
    Load({Device("vireo", "0xFA60", 3)});
    manager->OpenHidFamily(0x81);
    manager->m_bAcked81[0] = 1;
    Report("vireo", 1, {0x05, 0x03});
    ASSERT_TRUE(broadcasts.WaitForText("81010503000000", kWait));
    std::weak_ptr<HidDevice> oldInput, oldControl;
    {
        const FamilyView v = View(0x81);
        oldInput = v.input[0].hInput;
        oldControl = v.control[0].hControl;
    }
    manager->OpenHidFamily(0x81);
    const FamilyView v = View(0x81);
    EXPECT_EQ(v.controlCount, 1);
    EXPECT_EQ(v.inputCount, 1);
    EXPECT_EQ(v.paired[0], 0);
    EXPECT_EQ(v.input[0].nDeviceId, 0);
    EXPECT_EQ(v.control[0].nDeviceId, 0);
    EXPECT_EQ(v.active[0].hControl, nullptr);
    EXPECT_TRUE(v.reader[0]);
    EXPECT_EQ(manager->m_bAcked81[0].load(), 1);  // left as it was
    EXPECT_TRUE(oldInput.expired());
    EXPECT_TRUE(oldControl.expired());
    // ...and the new reader works.
    Report("vireo", 1, {0x05, 0x03, 0x02});
    ASSERT_TRUE(broadcasts.WaitForText("81010503020000", kWait));
    EXPECT_EQ(View(0x81).paired[0], 1);
}

TEST_F(AHidFamily, StopFamilyReadersEndsEveryReaderAndClearsItsFlags) {
    Load({Device("a", "0xFA60", 1), Device("b", "0xFA60", 2)});
    manager->OpenHidFamily(0x81);
    Report("a", 1, {0x05, 0x01});
    ASSERT_TRUE(broadcasts.WaitForText("81010501000000", kWait));
    manager->StopFamilyReaders(0x81);
    const FamilyView v = View(0x81);
    HidFamilyState* state = manager->Family(0x81);
    for (int s = 0; s < kSlotCount; ++s) {
        EXPECT_FALSE(v.reader[s]);
        EXPECT_EQ(v.paired[s], 0);
        EXPECT_FALSE(state->m_bStopRequest[s].IsSet());
    }
    // Records stay until the next open step rebuilds them.
    EXPECT_EQ(v.inputCount, 2);
    Report("a", 1, {0x05, 0x01, 0x01});
    std::this_thread::sleep_for(50ms);
    EXPECT_THAT(broadcasts.Texts(), ElementsAre("81010501000000"));
}

TEST_F(AHidFamily, StopSlotReaderEndsOneReaderAndLeavesItsRequestSet) {
    Load({Device("a", "0xFA60", 1), Device("b", "0xFA60", 2)});
    manager->OpenHidFamily(0x81);
    manager->StopSlotReader(0x81, 0);
    const FamilyView v = View(0x81);
    EXPECT_FALSE(v.reader[0]);
    EXPECT_TRUE(v.reader[1]);
    EXPECT_TRUE(manager->Family(0x81)->m_bStopRequest[0].IsSet());
    Report("a", 1, {0x05, 0x01});
    Report("b", 1, {0x05, 0x02});
    ASSERT_TRUE(broadcasts.WaitForText("81010502000000", kWait));
    std::this_thread::sleep_for(50ms);
    EXPECT_THAT(broadcasts.Texts(), ElementsAre("81010502000000"));
    // The next open step clears the request and reads slot 0 again.
    manager->OpenHidFamily(0x81);
    EXPECT_FALSE(manager->Family(0x81)->m_bStopRequest[0].IsSet());
    Report("a", 1, {0x05, 0x01, 0x01});
    EXPECT_TRUE(broadcasts.WaitForText("81010501010000", kWait));
}

TEST_F(AHidFamily, ReaderOfAClearedSlotReadsNothingAndLeavesItCleared) {
    Load({Device("vireo", "0xFA60", 3)});
    manager->OpenHidFamily(0x81);
    {
        HidFamilyState* state = manager->Family(0x81);
        std::lock_guard<std::mutex> lock(state->m_mutex);
        state->m_input[0] = HidCollectionRecord();
    }
    Report("vireo", 1, {0x05, 0x03});
    std::this_thread::sleep_for(60ms);
    EXPECT_THAT(broadcasts.Texts(), IsEmpty());
    const FamilyView v = View(0x81);
    EXPECT_EQ(v.input[0].nDeviceId, 0);
    EXPECT_TRUE(v.reader[0]);  // lives on until stopped
}

TEST_F(AHidFamily, CommandsReadersAndOpenStepsShareTheTablesSafely) {
    Load({Device("a", "0xFA60", 1), Device("b", "0xFA60", 2), Device("c", "0xFA60", 3)});
    manager->OpenHidFamily(0x81);
    std::atomic<bool> done{false};
    std::thread commands([&] {
        while (!done) {
            for (uint8_t id = 1; id <= 3; ++id)
                for (const auto& t : manager->SelectSlots(0x81, id))
                    if (t.control) {
                        uint8_t feature[8] = {0xA0};
                        t.control->get_feature_report(feature, sizeof feature);
                    }
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread devices([&] {
        uint8_t n = 0;
        while (!done) {
            for (const char* d : {"a", "b", "c"}) {
                std::string error;
                sim->QueueReport(d, {0x05, static_cast<uint8_t>(d[0] - 'a' + 1), n++}, 1, &error);
            }
            std::this_thread::sleep_for(2ms);
        }
    });
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(30ms);
        manager->OpenHidFamily(0x81);
    }
    // After the dust settles every device is paired with its own control.
    ASSERT_TRUE(broadcasts.WaitForCount(broadcasts.Texts().size() + 6, kWait));
    done = true;
    commands.join();
    devices.join();
    std::this_thread::sleep_for(50ms);
    const FamilyView v = View(0x81);
    for (int s = 0; s < 3; ++s) {
        EXPECT_EQ(v.input[s].nDeviceId, s + 1);
        EXPECT_EQ(v.paired[s], 1);
        EXPECT_EQ(v.active[s].szPath, v.control[s].szPath);
        EXPECT_EQ(v.active[s].nDeviceId, s + 1);
    }
}

}  // namespace
}  // namespace orvex
