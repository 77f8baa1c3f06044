// Hot-plug on the main loop: arrivals arm the family timers, the timers run
// the open steps, removals announce the device, clear its records and end its
// reader. Devices are fakes behind the HID seam, laid out as hidraw lists
// them: one entry per collection, collections of one interface on one node.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/COrvexDlg.h"
#include "support/Capture.h"
#include "support/Fakes.h"
#include "support/Pages.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using test::Arrival;
using test::Concat;
using test::Removal;
using test::Texts;

constexpr uint16_t kWiredProduct = 0xAD03;

// The three kinds of device, as hidraw shows them: the Sabre receiver's mouse
// collection on an interface of its own, and a wired device with a node for
// each of its two families.
struct Devices {
    std::vector<std::shared_ptr<test::FakeHidDevice>> vireo, sabre, wired, wired85;
};
Devices PlugAll(test::FakeHidApi& hid) {
    sim::DeviceModel sabre = sim::Model("sabre");
    std::swap(sabre.collections[0], sabre.collections[1]);
    sim::DeviceModel wired = sim::Model("wired"), wired85 = sim::Model("wired85");
    wired.product_id = wired85.product_id = kWiredProduct;
    Devices d;
    d.vireo = hid.Add(sim::Model("vireo"), "/dev/hidraw3", "usb1/1-3");
    d.sabre = hid.Add(sabre, {"/dev/hidraw4", "/dev/hidraw5", "/dev/hidraw5"}, "usb1/1-4");
    d.wired = hid.Add(wired, "/dev/hidraw6", "usb1/1-5");
    d.wired85 = hid.Add(wired85, "/dev/hidraw7", "usb1/1-5");
    return d;
}

const Texts kOpen81 = {"enumerate 1d57:fa60", "open /dev/hidraw3 000b:0000", "open /dev/hidraw3 000a:0000"};
const Texts kOpen82 = {"enumerate 1d57:fa65", "open /dev/hidraw4 000a:0000", "open /dev/hidraw5 ff00:0001"};
const Texts kOpen83 = {"enumerate 1d57:fa65", "open /dev/hidraw5 ff00:0001", "open /dev/hidraw5 ff01:0002"};
const Texts kOpen80 = {"enumerate 1d57:0000", "open /dev/hidraw6 000b:0000", "open /dev/hidraw6 000a:0000"};
const Texts kOpen85 = {"enumerate 1d57:0000", "open /dev/hidraw7 ff01:0002", "open /dev/hidraw7 ff00:0001"};

// The arrival delay is long beside the gaps between announcements in a
// burst, so that a slow machine cannot split the burst.
Timings HotplugTimings() {
    Timings timings = test::ShortTimings();
    timings.arrivalDelay = 400ms;
    return timings;
}

class AHotplugBridge : public ::testing::Test {
protected:
    AHotplugBridge() : m_dialog(m_loop, Backends{m_hid, nullptr, nullptr, m_clock, HotplugTimings()}, m_texts) {}
    ~AHotplugBridge() override { m_dialog.OnDestroy(); }

    // Runs the loop on this thread for about the given time.
    void RunLoopFor(std::chrono::milliseconds duration) {
        m_loop.restart();
        m_loop.run_for(duration);
    }
    // Runs the loop until pred holds or a generous time is up.
    template <typename Pred>
    bool RunLoopUntil(Pred pred, std::chrono::milliseconds timeout = 10s) {
        const auto deadline = Steady::now() + timeout;
        while (!pred()) {
            if (Steady::now() >= deadline) return false;
            RunLoopFor(20ms);
        }
        return true;
    }
    bool LogHas(size_t n) { return m_hid.Log().size() >= n; }
    // Each device sends a report on its input collection; true once the
    // pages have every text.
    bool ReportsReachThePages(const std::vector<std::pair<std::shared_ptr<test::FakeHidDevice>, Texts>>& reports) {
        m_texts.Clear();
        Texts expected;
        for (const auto& [input, text] : reports) {
            input->QueueInput(test::FromHex(text[0]));
            expected.push_back(text[1]);
        }
        if (!m_texts.WaitForCount(expected.size(), 10s)) return false;
        Texts got = m_texts.Texts();
        std::sort(got.begin(), got.end());
        std::sort(expected.begin(), expected.end());
        return got == expected;
    }
    // A report of a removed collection reaches no page. Asked once the report
    // has met its fate: nothing holds the collection open, or no reader waits
    // for it (its reader has ended), or a reader took it and waits again, so
    // it has dropped it (a text would have come first). A reader that takes
    // it and then ends leaves no sign: checked as soon as it is taken.
    bool StaysUnforwarded(const std::shared_ptr<test::FakeHidDevice>& input) {
        const size_t texts = m_texts.Texts().size();
        input->QueueInput({0x05, 0x03, 0x77});
        const bool settled = test::WaitUntil(
            [&] { return input->OpenHandles() == 0 || input->PendingInput() == 0 || input->WaitingReads() == 0; });
        // A reader still alive goes back to waiting once it has handled it.
        test::WaitUntil([&] { return input->WaitingReads() > 0 || input->OpenHandles() == 0; }, 100ms);
        return settled && m_texts.Texts().size() == texts;
    }
    Texts Traces() { return m_logs.Traces(); }

    test::FakeHidApi m_hid;
    test::FakeClock m_clock{10ms};  // reader polls really wait; the protocol's long pauses are cut short
    test::LogCapture m_logs;
    test::FakePages m_texts;
    boost::asio::io_context m_loop;
    COrvexDlg m_dialog;
};

// ---- arrivals and timers ---------------------------------------------------------

using AnArrival = AHotplugBridge;

TEST_F(AnArrival, BurstOfFourAnnouncementsLeadsToOneOpenStepTheArrivalDelayAfterTheLast) {
    PlugAll(m_hid);
    // Four announcements, an eighth of the delay apart, each delivered by the
    // monitor on the loop.
    test::FakeMonitor monitor;
    ASSERT_TRUE(monitor.start(m_loop, [&](const DeviceChange& change) { m_dialog.OnDeviceChange(change); }));
    std::vector<Steady::time_point> announced;
    boost::asio::steady_timer pacer(m_loop);
    std::function<void()> announce = [&] {
        announced.push_back(Steady::now());
        ASSERT_TRUE(monitor.Deliver(Arrival("/dev/hidraw3", kProductVireo)));
        if (announced.size() < 4) {
            pacer.expires_after(HotplugTimings().arrivalDelay / 8);
            pacer.async_wait([&](const boost::system::error_code& ec) {
                if (!ec) announce();
            });
        }
    };
    boost::asio::post(m_loop, announce);

    Steady::time_point opened{};
    ASSERT_TRUE(RunLoopUntil([&] {
        if (opened == Steady::time_point{} && LogHas(1)) opened = Steady::now();
        return LogHas(3);
    }));
    ASSERT_EQ(announced.size(), 4u);
    // The step ran after the last announcement's full delay, never earlier.
    EXPECT_GE(opened - announced.back(), HotplugTimings().arrivalDelay);
    RunLoopFor(HotplugTimings().arrivalDelay / 2);
    EXPECT_EQ(m_hid.Log(), kOpen81);
    EXPECT_EQ(Traces(), Texts(4, "DBT_DEVICEARRIVAL.\n"));
}

TEST_F(AnArrival, OfASabreDeviceRebuildsFamily82ThenFamily83) {
    const Devices d = PlugAll(m_hid);
    m_dialog.OnDeviceChange(Arrival("/dev/hidraw5", kProductSabre));
    ASSERT_TRUE(RunLoopUntil([&] { return LogHas(6); }));
    EXPECT_EQ(m_hid.Log(), Concat({kOpen82, kOpen83}));
    // One reader for each family's input collection.
    EXPECT_TRUE(
        ReportsReachThePages({{d.sabre[0], {"0501", "82010501000000"}}, {d.sabre[1], {"0602", "83010602000000"}}}));
}

TEST_F(AnArrival, OfAWiredDeviceRebuildsFamily80ThenFamily85) {
    PlugAll(m_hid);
    m_dialog.OnDeviceChange(Arrival("/dev/hidraw7", kWiredProduct));
    ASSERT_TRUE(RunLoopUntil([&] { return LogHas(6); }));
    EXPECT_EQ(m_hid.Log(), Concat({kOpen80, kOpen85}));
}

TEST_F(AnArrival, OfAnythingElseOnlyWritesItsTrace) {
    PlugAll(m_hid);
    m_dialog.OnDeviceChange(Arrival("/dev/hidraw9", 0xFA60, 0x1D58));
    m_dialog.OnDeviceChange(Arrival("", kProductVireo));
    // The BLE vendor on the USB bus is not a BLE device.
    m_dialog.OnDeviceChange(Arrival("/dev/hidraw10", 0x0B13, 0x045E));
    // A BLE device arms BLE discovery, which opens no HID family.
    m_dialog.OnDeviceChange(Arrival("/dev/hidraw11", 0x0B13, 0x045E, kBusBluetooth));
    RunLoopFor(HotplugTimings().arrivalDelay * 3 / 2);
    // Only the BLE open step's listing of the BLE vendor.
    EXPECT_EQ(m_hid.Log(), Texts{"enumerate 045e:0000"});
    EXPECT_EQ(Traces(), Texts(4, "DBT_DEVICEARRIVAL.\n"));
}

struct TimerCase {
    int id;
    std::vector<Texts> opens;
};

class ATimer : public AHotplugBridge, public ::testing::WithParamInterface<TimerCase> {};

TEST_P(ATimer, RunsTheOpenStepsOfItsFamiliesInOrder) {
    PlugAll(m_hid);
    m_dialog.OnTimer(GetParam().id);
    Texts expected;
    for (const auto& step : GetParam().opens) expected.insert(expected.end(), step.begin(), step.end());
    EXPECT_EQ(m_hid.Log(), expected);
    EXPECT_TRUE(Traces().empty());
}

INSTANTIATE_TEST_SUITE_P(EveryId, ATimer,
                         ::testing::Values(TimerCase{IDT_OPEN_81, {kOpen81}}, TimerCase{IDT_OPEN_82, {kOpen82}},
                                           TimerCase{IDT_OPEN_WIRED, {kOpen80, kOpen85}},
                                           TimerCase{IDT_OPEN_83, {kOpen83}},
                                           TimerCase{IDT_OPEN_BLE, {{"enumerate 045e:0000"}}},
                                           TimerCase{IDT_CONNECT_BLE, {}}, TimerCase{99, {}}));

// An expiry queued before the shutdown opens nothing after it.
TEST_F(AHotplugBridge, RunsNoOpenStepOnceDestroyed) {
    PlugAll(m_hid);
    m_dialog.OnDestroy();
    m_dialog.OnTimer(IDT_OPEN_81);
    EXPECT_EQ(m_hid.Log(), Texts{});
}

// ---- removals ----------------------------------------------------------------------

using ARemoval = AHotplugBridge;

TEST_F(ARemoval, OfAPairedVireoDeviceSendsItsIdClearsItsRecordsAndEndsItsReader) {
    const Devices d = PlugAll(m_hid);
    m_dialog.OnTimer(IDT_OPEN_81);
    ASSERT_TRUE(ReportsReachThePages({{d.vireo[1], {"0503100000", "81010503100000"}}}));

    m_texts.Clear();
    m_hid.Unplug("usb1/1-3");
    m_dialog.OnDeviceChange(Removal("/dev/hidraw3", kProductVireo));

    EXPECT_EQ(Traces(), Texts{"DBT_DEVICEREMOVECOMPLETE.\n"});
    EXPECT_EQ(m_texts.Texts(), Texts{"810003"});
    // The control collection's record stays until the next open step, but the
    // device can no longer be addressed...
    d.vireo[0]->ClearCalls();
    test::FakeClock noWait;
    CommandProtocol commands(m_dialog.hid(), noWait, m_texts);
    uint8_t frame[COMMAND_BUFFER_SIZE] = {0x81, 0x03, 0x01, 0x03, 0x44};
    commands.HandleDeviceCommand(frame);
    EXPECT_EQ(d.vireo[0]->CallCount(), 0u);
    // ...and once that step has run, nothing holds its collections any more.
    m_dialog.OnTimer(IDT_OPEN_81);
    EXPECT_EQ(d.vireo[0]->OpenHandles() + d.vireo[1]->OpenHandles(), 0);
}

TEST_F(ARemoval, OfADeviceThatNeverReportedSendsId00AndLetsItsInputGo) {
    const Devices d = PlugAll(m_hid);
    m_dialog.OnTimer(IDT_OPEN_WIRED);
    m_dialog.OnDeviceChange(Removal("/dev/hidraw6", kWiredProduct));
    m_dialog.OnDeviceChange(Removal("/dev/hidraw7", kWiredProduct));
    EXPECT_EQ(Traces(), Texts(2, "Wired ------------DBT_DEVICEREMOVECOMPLETE.\n"));
    EXPECT_EQ(m_texts.Texts(), (Texts{"800000", "850000"}));
    // Without an active record nothing names the reader to stop; the cleared
    // slot forwards nothing until the family is opened again.
    EXPECT_TRUE(StaysUnforwarded(d.wired[1]));
    EXPECT_TRUE(StaysUnforwarded(d.wired85[1]));
    // The next open step's reader forwards the collection's reports again.
    m_dialog.OnTimer(IDT_OPEN_WIRED);
    d.wired[1]->QueueInput({0x05, 0x03, 0x78});
    EXPECT_TRUE(m_texts.WaitForText("80010503780000", 10s));
}

TEST_F(ARemoval, OfASabreDeviceAnnouncesBothFamiliesOfItsSharedCollection) {
    const Devices d = PlugAll(m_hid);
    m_dialog.OnTimer(IDT_OPEN_82);
    m_dialog.OnTimer(IDT_OPEN_83);
    ASSERT_TRUE(
        ReportsReachThePages({{d.sabre[0], {"0207", "82010207000000"}}, {d.sabre[1], {"0609", "83010609000000"}}}));
    m_texts.Clear();

    const Texts bothHandlers = {"Vireo ----------------- DBT_DEVICEREMOVECOMPLETE.\n",
                                "Sabre ----------------- DBT_DEVICEREMOVECOMPLETE.\n"};
    // The mouse node holds only family 0x82's input collection.
    m_dialog.OnDeviceChange(Removal("/dev/hidraw4", kProductSabre));
    EXPECT_EQ(Traces(), bothHandlers);
    EXPECT_EQ(m_texts.Texts(), Texts{"820007"});
    EXPECT_TRUE(StaysUnforwarded(d.sabre[0]));

    // The vendor node holds 0x82's control collection, and 0x83's input and
    // control collections.
    m_dialog.OnDeviceChange(Removal("/dev/hidraw5", kProductSabre));
    EXPECT_EQ(Traces(), Concat({bothHandlers, bothHandlers}));
    EXPECT_EQ(m_texts.Texts(), (Texts{"820007", "830009"}));
    EXPECT_TRUE(StaysUnforwarded(d.sabre[1]));
}

struct UnmatchedCase {
    const char* what;
    DeviceChange change;
    Texts traces;
};
void PrintTo(const UnmatchedCase& c, std::ostream* os) {
    *os << c.what;
}

class ARemovalOfAnUnknownNode : public AHotplugBridge, public ::testing::WithParamInterface<UnmatchedCase> {};

TEST_P(ARemovalOfAnUnknownNode, WritesOnlyTheTracesOfTheHandlersItConcerns) {
    const Devices d = PlugAll(m_hid);
    for (int id : {IDT_OPEN_81, IDT_OPEN_82, IDT_OPEN_83, IDT_OPEN_WIRED}) m_dialog.OnTimer(id);
    m_dialog.OnDeviceChange(GetParam().change);
    EXPECT_EQ(Traces(), GetParam().traces);
    EXPECT_TRUE(m_texts.Texts().empty());
    // Every family's device still reports.
    EXPECT_TRUE(ReportsReachThePages({{d.vireo[1], {"0501", "81010501000000"}},
                                      {d.sabre[0], {"0502", "82010502000000"}},
                                      {d.sabre[1], {"0603", "83010603000000"}},
                                      {d.wired[1], {"0504", "80010504000000"}},
                                      {d.wired85[1], {"0605", "85010605000000"}}}));
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, ARemovalOfAnUnknownNode,
    ::testing::Values(
        UnmatchedCase{"vireo", Removal("/dev/hidraw99", kProductVireo), {"DBT_DEVICEREMOVECOMPLETE.\n"}},
        UnmatchedCase{"sabre",
                      Removal("/dev/hidraw99", kProductSabre),
                      {"Vireo ----------------- DBT_DEVICEREMOVECOMPLETE.\n",
                       "Sabre ----------------- DBT_DEVICEREMOVECOMPLETE.\n"}},
        UnmatchedCase{"wired", Removal("/dev/hidraw99", 0x1234), {"Wired ------------DBT_DEVICEREMOVECOMPLETE.\n"}},
        // Node names are case-sensitive: this is another node.
        UnmatchedCase{"other case", Removal("/dev/HIDRAW3", kProductVireo), {"DBT_DEVICEREMOVECOMPLETE.\n"}},
        // Another vendor's node is nobody's, even on a known node name.
        UnmatchedCase{"other vendor", Removal("/dev/hidraw3", kProductVireo, 0x1D58), {}},
        UnmatchedCase{"ble",
                      Removal("/dev/hidraw3", 0x0B13, 0x045E, kBusBluetooth),
                      {"BLE ------------DBT_DEVICEREMOVECOMPLETE.\n"}},
        UnmatchedCase{"empty path", Removal("", kProductVireo), {"DBT_DEVICEREMOVECOMPLETE.\n"}}));

TEST_F(ARemoval, LetsNoReportTextFollowTheRemovalTextOfABusyDevice) {
    const Devices d = PlugAll(m_hid);
    for (int round = 0; round < 5; ++round) {
        m_dialog.OnTimer(IDT_OPEN_81);
        m_texts.Clear();
        std::atomic<bool> feeding{true};
        std::thread feeder([&] {
            while (feeding) {
                d.vireo[1]->QueueInput({0x05, 0x03, 0x01});
                std::this_thread::sleep_for(1ms);
            }
        });
        ASSERT_TRUE(m_texts.WaitForCount(3, 10s));
        m_dialog.OnDeviceChange(Removal("/dev/hidraw3", kProductVireo));
        feeding = false;
        feeder.join();
        EXPECT_TRUE(StaysUnforwarded(d.vireo[1])) << "round " << round;

        const auto texts = m_texts.Texts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), "810003") << "round " << round;
        EXPECT_EQ(std::count(texts.begin(), texts.end(), "810003"), 1);
    }
}

// ---- through the whole bridge ------------------------------------------------------

// The simulator's plug and unplug raise one change per collection path, in
// collection order, as a real device announces its nodes; a page watches.
class APluggedSimulatedDevice : public ::testing::Test {
protected:
    void SetUp() override {
        m_bridge = std::make_unique<test::SimBridge>(R"({"devices":[
            {"name":"vireo","model":"vireo","device_id":3},
            {"name":"sabre","model":"sabre","device_id":4,"attached":false}]})",
                                                     nullptr, test::ShortTimings());
        m_page = std::make_unique<test::WsClient>(m_bridge->port());
        ASSERT_EQ(m_page->Greeting(), "0304");
    }
    void TearDown() override {
        m_page.reset();
        m_bridge.reset();
    }
    void Report(const std::string& device, int collection, const std::vector<uint8_t>& bytes) {
        std::string error;
        ASSERT_TRUE(m_bridge->sim().QueueReport(device, bytes, collection, &error)) << error;
    }
    // Once the open step after the arrival has opened the collection: a
    // report queued earlier would be lost, as on a real node.
    void ReportOnceOpen(const std::string& device, int collection, const std::string& hex) {
        const std::string request = R"({"op":"report","device":")" + device + R"(","collection":)" +
                                    std::to_string(collection) + R"(,"hex":")" + hex + R"("})";
        ASSERT_TRUE(test::WaitUntil([&] {
            return m_bridge->sim().HandleControlRequest(request) != R"({"ok":true,"delivered":0})";
        })) << "the collection was not opened";
    }
    void Plug(const std::string& device, bool attach) {
        std::string error;
        ASSERT_TRUE(attach ? m_bridge->sim().Plug(device, &error) : m_bridge->sim().Unplug(device, &error)) << error;
    }
    // The feature reports the device received, in hex.
    Texts Features(const std::string& device) {
        Texts hex;
        for (const auto& r : m_bridge->sim().Log(device))
            if (r.kind == "feature") hex.push_back(test::ToHex(r.bytes));
        return hex;
    }
    // What the page got after the greeting, up to a marker that the loop
    // sends after everything the changes queued so far have sent.
    Texts MessagesAfterGreeting() {
        m_bridge->RunOnLoop([&] { m_bridge->pages().broadcast("marker"); });
        EXPECT_TRUE(test::WaitUntil([&] { return m_page->Messages().back() == "marker"; }));
        auto all = m_page->Messages();
        return Texts(all.begin() + 1, all.end() - 1);
    }

    std::unique_ptr<test::SimBridge> m_bridge;
    std::unique_ptr<test::WsClient> m_page;
};

TEST_F(APluggedSimulatedDevice, ThatIsUnpluggedTellsThePageItsIdAndThenFallsSilent) {
    Report("vireo", 1, {0x05, 0x03, 0x11});
    ASSERT_TRUE(m_page->WaitForMessages(2));
    Plug("vireo", false);
    ASSERT_TRUE(m_page->WaitForMessages(3));
    EXPECT_EQ(MessagesAfterGreeting(), (Texts{"81010503110000", "810003"}));
}

TEST_F(APluggedSimulatedDevice, ThatIsPluggedAgainIsAddressableAfterItsFirstReport) {
    Report("vireo", 1, {0x05, 0x03});
    ASSERT_TRUE(m_page->WaitForMessages(2));
    Plug("vireo", false);
    ASSERT_TRUE(m_page->WaitForMessages(3));
    m_bridge->sim().Clear("vireo");
    Plug("vireo", true);
    // Before its first report nothing reaches it, not even as device id 0;
    // commands are handled in order, so the second one shows the first is done.
    ReportOnceOpen("vireo", 0, "00");  // its control collection is open: the open step ran
    m_page->SendText("8100010311");
    ReportOnceOpen("vireo", 1, "050321");
    ASSERT_TRUE(m_page->WaitForMessages(4));
    EXPECT_EQ(m_page->Messages().back(), "81010503210000");
    m_page->SendText("8103010322");
    test::WaitUntil([&] { return Features("vireo").size() >= 2; });
    // The open step's report, then the command.
    EXPECT_EQ(Features("vireo"), (Texts{"0c0a01fe01fe00000000", "010322"}));
}

TEST_F(APluggedSimulatedDevice, OfTheSabreKindOpensBothItsFamiliesAndTellsBothOfItsRemoval) {
    Plug("sabre", true);
    // Collection 1 is family 0x82's input; collection 0 family 0x83's.
    ReportOnceOpen("sabre", 1, "0104aa");
    ASSERT_TRUE(m_page->WaitForMessages(2));
    ReportOnceOpen("sabre", 0, "0204bb");
    ASSERT_TRUE(m_page->WaitForMessages(3));
    Plug("sabre", false);
    ASSERT_TRUE(m_page->WaitForMessages(5));
    // Collection 0 goes first: the node that is 0x83's input.
    EXPECT_EQ(MessagesAfterGreeting(), (Texts{"82010104aa0000", "83010204bb0000", "830004", "820004"}));
}

}  // namespace
}  // namespace orvex
