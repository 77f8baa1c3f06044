// The open step and the readers, seen from their seams: what enumeration and
// opening are asked, what each collection is sent and whether a handle still
// holds it, the pauses, the texts the pages get, and which collection a
// command for a device id reaches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hid/HidDeviceManager.h"
#include "protocol/CommandProtocol.h"
#include "support/Capture.h"
#include "support/Fakes.h"
#include "support/Pages.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::Concat;
using test::FakeHidDevice;
using test::Texts;
using ::testing::HasSubstr;

constexpr auto kWait = 10s;
const std::string kInitialReport = "0c0a01fe01fe00000000";

// A model with another product id or other collections.
sim::DeviceModel Variant(const std::string& base, uint16_t product, std::vector<sim::UsagePair> collections = {}) {
    sim::DeviceModel model = sim::Model(base);
    if (product != 0) model.product_id = product;
    if (!collections.empty()) model.collections = std::move(collections);
    return model;
}

// What the open step of family 0x80 or 0x81 does with a device whose control
// and input collections are its first two.
Texts OpensOf(const std::string& name) {
    return {"open /dev/" + name + " 000b:0000", name + "/0 send " + kInitialReport, "sleep 200",
            "open /dev/" + name + " 000a:0000"};
}

class AHidFamily : public ::testing::Test {
protected:
    AHidFamily() {
        m_openClock.SetHook(
            [this](std::chrono::milliseconds d, size_t) { m_calls.Add("sleep " + std::to_string(d.count())); });
    }

    // A device on node "/dev/<name>" (with split, one node per collection,
    // "/dev/<name>.<collection>"), paired by its name. Every report sent to
    // it shows in the call log as "<name>/<collection> send|write <hex>";
    // collections in m_refusing refuse feature reports.
    void Plug(const std::string& name, const sim::DeviceModel& model = sim::Model("vireo"), bool split = false) {
        Texts nodes;
        for (size_t c = 0; c < model.collections.size(); ++c)
            nodes.push_back("/dev/" + name + (split ? "." + std::to_string(c) : ""));
        auto collections = m_hid.Add(model, nodes, name);
        for (size_t c = 0; c < collections.size(); ++c) {
            const std::string tag = name + "/" + std::to_string(c);
            collections[c]->onSendFeature = [this, tag](const Bytes& b) {
                m_calls.Add(tag + " send " + test::ToHex(b));
                return m_refusing.count(tag) ? -1 : static_cast<int>(b.size());
            };
            collections[c]->onWrite = [this, tag](const Bytes& b) {
                m_calls.Add(tag + " write " + test::ToHex(b));
                return static_cast<int>(b.size());
            };
        }
        m_devices.emplace_back(name, std::move(collections));
    }
    // "<name>/<collection>"
    std::shared_ptr<FakeHidDevice> Collection(const std::string& ref) {
        const size_t slash = ref.find('/');
        for (auto& [name, collections] : m_devices)
            if (name == ref.substr(0, slash)) return collections.at(std::stoul(ref.substr(slash + 1)));
        ADD_FAILURE() << "no collection " << ref;
        return std::make_shared<FakeHidDevice>(HidDeviceInfo());
    }
    // "<name>/<collection> <count>" for every collection a handle holds open.
    Texts Handles() {
        Texts open;
        for (auto& [name, collections] : m_devices)
            for (size_t c = 0; c < collections.size(); ++c)
                if (const long n = collections[c]->OpenHandles())
                    open.push_back(name + "/" + std::to_string(c) + " " + std::to_string(n));
        return open;
    }
    bool Waiting(const std::string& input) {
        return test::WaitUntil([&] { return Collection(input)->WaitingReads() == 1; }, kWait);
    }
    // The collection sends an input report; true once the pages have its text.
    bool Forwards(const std::string& input, const std::string& report, const std::string& text) {
        const long before = test::Count(m_pages.Texts(), text);
        Collection(input)->QueueInput(test::FromHex(report));
        return test::WaitUntil([&] { return test::Count(m_pages.Texts(), text) > before; }, kWait);
    }
    void Command(uint8_t family, uint8_t deviceId) {
        uint8_t frame[COMMAND_BUFFER_SIZE] = {family, deviceId, 0x01, 0x03, 0x44};
        m_commands.HandleDeviceCommand(frame);
    }
    // The collections that a command for the device id reaches, in order.
    Texts Addressed(uint8_t family, uint8_t deviceId) {
        m_calls.Clear();
        Command(family, deviceId);
        Texts reached;
        for (const auto& line : m_calls.Lines()) {
            const std::string tag = line.substr(0, line.find(' '));
            if (std::find(reached.begin(), reached.end(), tag) == reached.end()) reached.push_back(tag);
        }
        return reached;
    }

    test::LogCapture m_log;
    test::FakePages m_pages;
    test::CallLog m_calls;  // enumeration, opening, the open step's pauses and what the devices are sent
    test::FakeHidApi m_hid{&m_calls};
    test::FakeClock m_openClock;
    test::FakeClock m_commandClock;
    std::set<std::string> m_refusing;
    std::vector<std::pair<std::string, std::vector<std::shared_ptr<FakeHidDevice>>>> m_devices;
    HidDeviceManager m_manager{m_hid, m_openClock, m_pages};
    CommandProtocol m_commands{m_manager, m_commandClock, m_pages};
};

// ---------------------------------------------------------------------------
// The open step

TEST_F(AHidFamily, OpenStepTakesExactlyTheCollectionsOfItsFamilyAndPairsEachInputWithItsOwnControl) {
    Plug("vireo");
    // A nested collection that enumeration lists too, and stray pairs.
    Plug("vireo2", Variant("vireo", 0, {{0x0001, 0x0002}, {0x000B, 0}, {0x0001, 0x0001}, {0x000A, 0}, {0x000A, 1}}));
    Plug("sabre", sim::Model("sabre"));
    Plug("wired", sim::Model("wired"));
    Plug("wiredv", sim::Model("wired85"));
    // Wired collection pairs on a family 0x81 product id: never wired.
    Plug("vireov", Variant("wired85", kProductVireo));
    sim::DeviceModel other = sim::Model("vireo");
    other.vendor_id = 0x046D;
    Plug("other", other);

    const struct {
        uint8_t family;
        Texts opened;
        // Input collection, its report, the text and the control collection
        // that a command for the report's device id then reaches.
        std::vector<std::array<std::string, 4>> reports;
    } families[] = {
        {0x81,
         Concat({{"enumerate 1d57:fa60"},
                 OpensOf("vireo"),
                 {"open /dev/vireo2 000b:0000", "vireo2/1 send " + kInitialReport, "sleep 200",
                  "open /dev/vireo2 000a:0000"}}),
         {{"vireo/1", "0501", "81010501000000", "vireo/0"}, {"vireo2/3", "0502", "81010502000000", "vireo2/1"}}},
        // sabre/0 is family 0x82's control collection and family 0x83's input.
        {0x82,
         {"enumerate 1d57:fa65", "open /dev/sabre ff00:0001", "open /dev/sabre 000a:0000"},
         {{"sabre/1", "0503", "82010503000000", "sabre/0"}}},
        {0x83,
         {"enumerate 1d57:fa65", "open /dev/sabre ff00:0001", "open /dev/sabre ff01:0002"},
         {{"sabre/0", "0604", "83010604000000", "sabre/2"}}},
        {0x85,
         {"enumerate 1d57:0000", "open /dev/wiredv ff01:0002", "open /dev/wiredv ff00:0001"},
         {{"wiredv/1", "0605", "85010605000000", "wiredv/0"}}},
        {0x80, Concat({{"enumerate 1d57:0000"}, OpensOf("wired")}), {{"wired/1", "0506", "80010506000000", "wired/0"}}},
    };
    for (const auto& f : families) {
        m_calls.Clear();
        m_manager.OpenHidFamily(f.family);
        EXPECT_EQ(m_calls.Lines(), f.opened) << "family " << std::hex << int(f.family);
    }
    EXPECT_EQ(Handles(), (Texts{"vireo/0 1", "vireo/1 1", "vireo2/1 1", "vireo2/3 1", "sabre/0 2", "sabre/1 1",
                                "sabre/2 1", "wired/0 1", "wired/1 1", "wiredv/0 1", "wiredv/1 1"}));
    // The open step tells the pages nothing, and no device has an id yet.
    EXPECT_TRUE(m_pages.Texts().empty());
    for (const auto& f : families) {
        SCOPED_TRACE(testing::Message() << "family " << std::hex << int(f.family));
        EXPECT_TRUE(Addressed(f.family, 0).empty());
        for (const auto& [input, report, text, control] : f.reports) {
            ASSERT_TRUE(Forwards(input, report, text));
            EXPECT_EQ(Addressed(f.family, test::FromHex(report)[1]), Texts{control});
        }
    }
}

TEST_F(AHidFamily, OpenStepPausesAfterAnInitialReportThatIsRefusedAndKeepsTheCollection) {
    Plug("vireo");
    m_refusing = {"vireo/0"};
    m_manager.OpenHidFamily(0x81);
    EXPECT_EQ(m_calls.Lines(), Concat({{"enumerate 1d57:fa60"}, OpensOf("vireo")}));  // sent once, not retried
    ASSERT_TRUE(Forwards("vireo/1", "0503", "81010503000000"));
    EXPECT_EQ(Addressed(0x81, 3), Texts{"vireo/0"});
}

TEST_F(AHidFamily, OpenStepSkipsCollectionsThatFailToOpenAndPacksTheRest) {
    for (const char* name : {"a", "b", "c"}) Plug(name);
    Collection("a/1")->openError = HidOpenError::Other;
    Collection("b/0")->openError = HidOpenError::Other;
    m_manager.OpenHidFamily(0x81);
    // Nothing is sent to a collection that did not open, and there is no pause.
    EXPECT_EQ(
        m_calls.Lines(),
        Concat(
            {{"enumerate 1d57:fa60"}, OpensOf("a"), {"open /dev/b 000b:0000", "open /dev/b 000a:0000"}, OpensOf("c")}));
    EXPECT_EQ(Handles(), (Texts{"a/0 1", "b/1 1", "c/0 1", "c/1 1"}));
    ASSERT_TRUE(Forwards("b/1", "0502", "81010502000000"));
    ASSERT_TRUE(Forwards("c/1", "0503", "81010503000000"));
    // c's control collection is the second, within the count of two; its
    // input takes slot 1 after b's. b has no control collection to reach.
    EXPECT_TRUE(Addressed(0x81, 2).empty());
    EXPECT_EQ(Addressed(0x81, 3), Texts{"c/0"});
    const auto targets = m_manager.SelectSlots(0x81, 3);
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0].slot, 1);
}

TEST_F(AHidFamily, OpenStepOpensTheFirstTenOfEachKindAndLeavesTheRestClosed) {
    Texts expected = {"enumerate 1d57:fa60"}, handles;
    for (int i = 0; i < 12; ++i) {
        const std::string name = "v" + std::to_string(i);
        Plug(name);
        if (i >= kSlotCount) continue;
        expected = Concat({expected, OpensOf(name)});
        handles = Concat({handles, {name + "/0 1", name + "/1 1"}});
    }
    m_manager.OpenHidFamily(0x81);
    EXPECT_EQ(m_calls.Lines(), expected);
    EXPECT_EQ(Handles(), handles);  // nobody reads the eleventh device's input
    EXPECT_TRUE(Forwards("v9/1", "050a01", "8101050a010000"));
}

TEST_F(AHidFamily, OpenStepNamesEachNodeAndTheFixWhenPermissionIsDenied) {
    Plug("vireo", sim::Model("vireo"), true);
    Plug("fine");
    Plug("broken");
    for (const char* ref : {"vireo/0", "vireo/1"}) Collection(ref)->openError = HidOpenError::PermissionDenied;
    for (const char* ref : {"broken/0", "broken/1"}) Collection(ref)->openError = HidOpenError::Other;
    m_manager.OpenHidFamily(0x81);
    const Texts diags = m_log.Diags();
    ASSERT_EQ(diags.size(), 2u);  // one per node; other failures are silent
    EXPECT_THAT(diags[0], HasSubstr("/dev/vireo.0"));
    EXPECT_THAT(diags[1], HasSubstr("/dev/vireo.1"));
    for (const auto& d : diags) {
        EXPECT_THAT(d, HasSubstr("permission denied"));
        EXPECT_THAT(d, HasSubstr("70-orvex-bridge.rules"));
    }
    EXPECT_EQ(Handles(), (Texts{"fine/0 1", "fine/1 1"}));
}

// ---------------------------------------------------------------------------
// Readers

TEST_F(AHidFamily, ReaderKeepsOneSlotsReportsInTheDevicesOrder) {
    Plug("vireo");
    m_manager.OpenHidFamily(0x81);
    Texts expected;
    for (uint8_t i = 0; i < 20; ++i) {
        Collection("vireo/1")->QueueInput({0x05, 0x02, i});
        expected.push_back("81010502" + test::ToHex({i}) + "0000");
    }
    ASSERT_TRUE(m_pages.WaitForCount(expected.size(), kWait));
    EXPECT_EQ(m_pages.Texts(), expected);
}

// Each input pairs with the control of its own device, not with the first
// slot's: "first" has not reported.
TEST_F(AHidFamily, FirstReportMakesTheDeviceAddressableAndEachReportRenewsItsId) {
    Plug("first");
    Plug("second");
    m_manager.OpenHidFamily(0x81);
    EXPECT_TRUE(Addressed(0x81, 3).empty());
    EXPECT_TRUE(Addressed(0x81, 0).empty());
    ASSERT_TRUE(Forwards("second/1", "050301", "81010503010000"));
    EXPECT_EQ(Addressed(0x81, 3), Texts{"second/0"});
    EXPECT_TRUE(Addressed(0x81, 0).empty());
    const auto targets = m_manager.SelectSlots(0x81, 3);
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0].slot, 1);
    // A new id follows the device.
    ASSERT_TRUE(Forwards("second/1", "050701", "81010507010000"));
    EXPECT_TRUE(Addressed(0x81, 3).empty());
    EXPECT_EQ(Addressed(0x81, 7), Texts{"second/0"});
}

TEST_F(AHidFamily, InputWithoutAControlOfItsDeviceForwardsButIsNeverAddressable) {
    Plug("inputonly", Variant("vireo", 0, {{0x000A, 0}}));
    Plug("controlonly", Variant("vireo", 0, {{0x000B, 0}}));
    m_manager.OpenHidFamily(0x81);
    ASSERT_TRUE(Forwards("inputonly/0", "050409", "81010504090000"));
    EXPECT_TRUE(Addressed(0x81, 4).empty());
    EXPECT_TRUE(Addressed(0x81, 0).empty());
}

// The command route of family 0x81 ends its attempts once the reader has
// recorded a successful acknowledgement: bytes 2 and 3 of the device's reports.
TEST_F(AHidFamily, Family81ReaderRecordsTheAcknowledgementFromBytesTwoAndThree) {
    Plug("vireo");
    m_manager.OpenHidFamily(0x81);
    ASSERT_TRUE(Forwards("vireo/1", "0502", "81010502000000"));
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> reports;  // sent during the first attempt, and their texts
        bool acknowledged;
    } cases[] = {
        {"success", {{"0502500007", "81010502500007"}}, true},
        {"then another report", {{"0502500007", "81010502500007"}, {"0502510107", "81010502510107"}}, true},
        {"then a failure", {{"0502500007", "81010502500007"}, {"0502500107", "81010502500107"}}, false},
        {"status 0 without 0x50", {{"0502400007", "81010502400007"}}, false},
        {"short", {{"05025000", "81010502500000"}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_commandClock.Clear();
        m_commandClock.SetHook([&](std::chrono::milliseconds, size_t index) {
            if (index != 0) return;
            for (const auto& [report, text] : c.reports) EXPECT_TRUE(Forwards("vireo/1", report, text));
        });
        m_pages.Clear();
        Collection("vireo/0")->ClearCalls();
        Command(0x81, 0x02);
        EXPECT_EQ(Collection("vireo/0")->Calls(FakeHidDevice::Op::SendFeature).size(),
                  c.acknowledged ? 1u : static_cast<size_t>(kMaxAttempts));
        EXPECT_EQ(test::Count(m_pages.Texts(), "02810101"), c.acknowledged ? 1 : 0);
    }
    m_commandClock.SetHook(nullptr);
}

TEST_F(AHidFamily, ReopeningForgetsIdsAndLetsTheOldHandlesGoAndAllOfThemOnceTheFamilyIsEmpty) {
    Plug("vireo");
    m_manager.OpenHidFamily(0x81);
    ASSERT_TRUE(Forwards("vireo/1", "0503", "81010503000000"));
    ASSERT_EQ(Addressed(0x81, 3), Texts{"vireo/0"});
    m_calls.Clear();
    m_manager.OpenHidFamily(0x81);
    EXPECT_EQ(m_calls.Lines(), Concat({{"enumerate 1d57:fa60"}, OpensOf("vireo")}));
    EXPECT_EQ(Handles(), (Texts{"vireo/0 1", "vireo/1 1"}));  // the new handles only
    EXPECT_TRUE(Addressed(0x81, 3).empty());
    // ...and the new reader works.
    ASSERT_TRUE(Forwards("vireo/1", "050302", "81010503020000"));
    EXPECT_EQ(Addressed(0x81, 3), Texts{"vireo/0"});
    // The open step of a family left empty lets every handle of its last device go.
    ASSERT_TRUE(Waiting("vireo/1"));
    m_hid.Unplug("vireo");
    m_calls.Clear();
    m_manager.OpenHidFamily(0x81);
    EXPECT_EQ(m_calls.Lines(), Texts{"enumerate 1d57:fa60"});
    EXPECT_TRUE(Handles().empty());
}

TEST_F(AHidFamily, StopFamilyReadersEndsEveryReaderAndUnpairsItsSlots) {
    Plug("a");
    Plug("b");
    m_manager.OpenHidFamily(0x81);
    ASSERT_TRUE(Waiting("a/1") && Waiting("b/1"));
    ASSERT_TRUE(Forwards("a/1", "0501", "81010501000000"));
    m_manager.StopFamilyReaders(0x81);
    EXPECT_EQ(Collection("a/1")->WaitingReads() + Collection("b/1")->WaitingReads(), 0);
    // As the status page shows the slots.
    for (const auto& slot : m_manager.Snapshot()) EXPECT_FALSE(slot.paired) << slot.node;
    // The records stay until the next open step rebuilds them.
    EXPECT_EQ(Handles(), (Texts{"a/0 1", "a/1 1", "b/0 1", "b/1 1"}));
}

TEST_F(AHidFamily, StopSlotReaderEndsOneReaderUntilTheNextOpenStep) {
    Plug("a");
    Plug("b");
    m_manager.OpenHidFamily(0x81);
    ASSERT_TRUE(Waiting("a/1") && Waiting("b/1"));
    m_manager.StopSlotReader(0x81, 0);
    EXPECT_EQ(Collection("a/1")->WaitingReads(), 0);
    Collection("a/1")->QueueInput({0x05, 0x01});
    ASSERT_TRUE(Forwards("b/1", "0502", "81010502000000"));
    EXPECT_EQ(Collection("a/1")->PendingInput(), 1u);
    // The next open step reads slot 0 again, the waiting report first.
    m_manager.OpenHidFamily(0x81);
    ASSERT_TRUE(Forwards("a/1", "050101", "81010501010000"));
    EXPECT_EQ(m_pages.Texts(), (Texts{"81010502000000", "81010501000000", "81010501010000"}));
}

TEST_F(AHidFamily, ReaderOfAClearedSlotForwardsNothingAndLeavesItWithoutAnId) {
    Plug("vireo");
    m_manager.OpenHidFamily(0x81);
    ASSERT_TRUE(Waiting("vireo/1"));
    // Never reported: the removal clears the slot but names no reader to stop.
    m_manager.HandleHidRemoval(test::Removal("/dev/vireo", kProductVireo));
    Collection("vireo/1")->QueueInput({0x05, 0x03});
    // Its reader takes the report, drops it and lets the input go.
    ASSERT_TRUE(test::WaitUntil([&] { return Collection("vireo/1")->OpenHandles() == 0; }, kWait));
    EXPECT_EQ(Collection("vireo/1")->PendingInput(), 0u);
    EXPECT_EQ(m_pages.Texts(), Texts{"810000"});
    EXPECT_TRUE(Addressed(0x81, 3).empty());
}

TEST_F(AHidFamily, CommandsReadersAndOpenStepsShareTheFamilySafely) {
    const std::string names[] = {"a", "b", "c"};
    for (const auto& name : names) Plug(name);
    m_manager.OpenHidFamily(0x81);
    std::atomic<bool> done{false};
    std::thread commands([&] {
        while (!done) {
            for (uint8_t id = 1; id <= 3; ++id) Command(0x81, id);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread devices([&] {
        for (uint8_t n = 0; !done; ++n) {
            for (uint8_t id = 1; id <= 3; ++id) Collection(names[id - 1] + "/1")->QueueInput({0x05, id, n});
            std::this_thread::sleep_for(1ms);
        }
    });
    bool flowed = true;
    for (int i = 0; i < 5 && flowed; ++i) {
        flowed = m_pages.WaitForCount(m_pages.Texts().size() + 6, kWait);
        m_manager.OpenHidFamily(0x81);
    }
    done = true;
    commands.join();
    devices.join();
    EXPECT_TRUE(flowed) << "the readers stopped forwarding";
    // Once the dust has settled every device is paired with its own control.
    for (uint8_t id = 1; id <= 3; ++id) {
        const std::string& name = names[id - 1];
        const std::string report = test::ToHex({0x05, id, 0xEE, 0x01});
        ASSERT_TRUE(Forwards(name + "/1", report, "8101" + report + "00"));
        EXPECT_EQ(Addressed(0x81, id), Texts{name + "/0"});
    }
}

}  // namespace
}  // namespace orvex
