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
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/COrvexDlg.h"
#include "support/Capture.h"
#include "support/Pages.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// The protocol's long pauses are cut short.
class ShortPauseClock final : public Clock {
public:
    void sleep_for(std::chrono::milliseconds d) override { std::this_thread::sleep_for(std::min(d, 10ms)); }
};

std::string Hex4(uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", v);
    return text;
}

struct FakeCollection {
    HidDeviceInfo info;
    bool present = true;
};

class FakeHid;

class FakeHandle final : public HidDevice {
public:
    FakeHandle(FakeHid& hid, size_t collection) : m_hid(hid), m_collection(collection) {}
    int read_wait(uint8_t* data, size_t length, ReaderWake& wake) override;
    int read_timeout(uint8_t*, size_t, int) override { return 0; }
    int write(const uint8_t*, size_t length) override { return static_cast<int>(length); }
    int send_feature_report(const uint8_t*, size_t length) override { return static_cast<int>(length); }
    int get_feature_report(uint8_t*, size_t) override { return -1; }

    size_t collection() const { return m_collection; }
    std::deque<std::vector<uint8_t>> reports;  // guarded by FakeHid's mutex

private:
    FakeHid& m_hid;
    size_t m_collection;
};

// Every call the bridge makes is written to one log, in order, as text:
// "enumerate 1d57:fa60", "open /dev/hidraw3 000b:0000".
class FakeHid final : public HidApi {
public:
    int init() override { return 0; }

    std::vector<HidDeviceInfo> enumerate(uint16_t vendor, uint16_t product) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_log.push_back("enumerate " + Hex4(vendor) + ":" + Hex4(product));
        std::vector<HidDeviceInfo> entries;
        for (const auto& c : m_collections)
            if (c.present && c.info.vendor_id == vendor && (product == 0 || c.info.product_id == product))
                entries.push_back(c.info);
        return entries;
    }

    std::shared_ptr<HidDevice> open(const HidDeviceInfo& entry, HidOpenError* error) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = 0; i < m_collections.size(); ++i) {
            const auto& c = m_collections[i];
            if (!c.present || c.info.path != entry.path || c.info.usage_page != entry.usage_page ||
                c.info.usage != entry.usage)
                continue;
            m_log.push_back("open " + entry.path + " " + Hex4(entry.usage_page) + ":" + Hex4(entry.usage));
            auto handle = std::make_shared<FakeHandle>(*this, i);
            m_handles.push_back(handle);
            return handle;
        }
        if (error) *error = HidOpenError::NotFound;
        return nullptr;
    }

    // Adds the collections of one device; returns their indices.
    void Plug(uint16_t product, const std::string& key,
              const std::vector<std::pair<std::string, UsagePair>>& collections) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [path, usage] : collections) {
            FakeCollection c;
            c.info.path = path;
            c.info.vendor_id = kOrvexVendorId;
            c.info.product_id = product;
            c.info.usage_page = usage.usage_page;
            c.info.usage = usage.usage;
            c.info.bus_type = kBusUsb;
            c.info.pairing_key = key;
            m_collections.push_back(c);
        }
    }
    void Unplug(const std::string& key) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& c : m_collections)
            if (c.info.pairing_key == key) c.present = false;
        m_arrived.notify_all();
    }
    // Queues one input report on every open handle of the collection.
    void Report(const std::string& path, UsagePair usage, std::vector<uint8_t> report) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& weak : m_handles) {
            auto handle = weak.lock();
            if (!handle) continue;
            const auto& c = m_collections[handle->collection()];
            if (c.present && c.info.path == path && c.info.usage_page == usage.usage_page &&
                c.info.usage == usage.usage)
                handle->reports.push_back(report);
        }
        m_arrived.notify_all();
    }

    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_log;
    }

    int ReadWait(FakeHandle& handle, uint8_t* data, size_t length, ReaderWake& wake) {
        ReaderWake::Listener listener(wake, m_mutex, m_arrived);
        std::unique_lock<std::mutex> lock(m_mutex);
        // By index: a plug may grow the list meanwhile.
        auto present = [&] { return m_collections[handle.collection()].present; };
        m_arrived.wait(lock, [&] { return wake.IsSet() || !present() || !handle.reports.empty(); });
        if (!present()) return -1;
        if (wake.IsSet()) return 0;
        const auto report = handle.reports.front();
        handle.reports.pop_front();
        const size_t n = std::min(length, report.size());
        std::copy(report.begin(), report.begin() + static_cast<long>(n), data);
        return static_cast<int>(n);
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<FakeCollection> m_collections;
    std::vector<std::weak_ptr<FakeHandle>> m_handles;
    std::vector<std::string> m_log;
};

int FakeHandle::read_wait(uint8_t* data, size_t length, ReaderWake& wake) {
    return m_hid.ReadWait(*this, data, length, wake);
}

constexpr UsagePair kKeyboardPage{0x000B, 0x0000};
constexpr UsagePair kMousePage{0x000A, 0x0000};
constexpr UsagePair kVendor1{0xFF00, 0x0001};
constexpr UsagePair kVendor2{0xFF01, 0x0002};

// The three kinds of device, as hidraw shows them.
void PlugVireo(FakeHid& hid) {
    hid.Plug(kProductVireo, "usb1/1-3", {{"/dev/hidraw3", kKeyboardPage}, {"/dev/hidraw3", kMousePage}});
}
void PlugSabre(FakeHid& hid) {
    hid.Plug(kProductSabre, "usb1/1-4",
             {{"/dev/hidraw4", kMousePage}, {"/dev/hidraw5", kVendor1}, {"/dev/hidraw5", kVendor2}});
}
constexpr uint16_t kWiredProduct = 0xAD03;
void PlugWired(FakeHid& hid) {
    hid.Plug(kWiredProduct, "usb1/1-5",
             {{"/dev/hidraw6", kKeyboardPage},
              {"/dev/hidraw6", kMousePage},
              {"/dev/hidraw7", kVendor1},
              {"/dev/hidraw7", kVendor2}});
}

DeviceChange Change(DeviceChange::Kind kind, const std::string& path, uint16_t vendor, uint16_t product,
                    uint16_t bus = kBusUsb) {
    DeviceChange c;
    c.kind = kind;
    c.path = path;
    c.bus = bus;
    c.vendor_id = vendor;
    c.product_id = product;
    return c;
}
DeviceChange Arrival(const std::string& path, uint16_t product, uint16_t vendor = kOrvexVendorId) {
    return Change(DeviceChange::Kind::Arrival, path, vendor, product);
}
DeviceChange Removal(const std::string& path, uint16_t product, uint16_t vendor = kOrvexVendorId) {
    return Change(DeviceChange::Kind::Removal, path, vendor, product);
}

const std::vector<std::string> kOpen81 = {"enumerate 1d57:fa60", "open /dev/hidraw3 000b:0000",
                                          "open /dev/hidraw3 000a:0000"};
const std::vector<std::string> kOpen82 = {"enumerate 1d57:fa65", "open /dev/hidraw4 000a:0000",
                                          "open /dev/hidraw5 ff00:0001"};
const std::vector<std::string> kOpen83 = {"enumerate 1d57:fa65", "open /dev/hidraw5 ff00:0001",
                                          "open /dev/hidraw5 ff01:0002"};
const std::vector<std::string> kOpen80 = {"enumerate 1d57:0000", "open /dev/hidraw6 000b:0000",
                                          "open /dev/hidraw6 000a:0000"};
const std::vector<std::string> kOpen85 = {"enumerate 1d57:0000", "open /dev/hidraw7 ff00:0001",
                                          "open /dev/hidraw7 ff01:0002"};

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

class AHotplugBridge : public ::testing::Test {
protected:
    AHotplugBridge() : m_dialog(m_loop, Backends{m_hid, nullptr, nullptr, m_clock}, m_texts) {}
    ~AHotplugBridge() override { m_dialog.OnDestroy(); }

    HidDeviceManager& Hid() { return m_dialog.hid(); }

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

    // Waits (off the loop) until the slot's device has been paired by its
    // first report.
    bool WaitPaired(uint8_t family, int slot) {
        const auto deadline = Steady::now() + 10s;
        while (Steady::now() < deadline) {
            HidFamilyState* state = Hid().Family(family);
            {
                std::lock_guard<std::mutex> lock(state->m_mutex);
                if (state->m_active[slot].hControl) return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    std::vector<std::string> Traces() { return m_logs.Traces(); }

    FakeHid m_hid;
    ShortPauseClock m_clock;
    test::LogCapture m_logs;
    test::FakePages m_texts;
    boost::asio::io_context m_loop;
    COrvexDlg m_dialog;
};

// ---- arrivals and timers ---------------------------------------------------------

using AnArrival = AHotplugBridge;

TEST_F(AnArrival, BurstOfFourAnnouncementsLeadsToOneOpenStepOneSecondAfterTheLast) {
    PlugVireo(m_hid);
    // Four announcements, 150 ms apart, each delivered by the loop.
    std::vector<Steady::time_point> announced;
    boost::asio::steady_timer pacer(m_loop);
    std::function<void()> announce = [&] {
        announced.push_back(Steady::now());
        m_dialog.OnDeviceChange(Arrival("/dev/hidraw3", kProductVireo));
        if (announced.size() < 4) {
            pacer.expires_after(150ms);
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
    // The step ran after the last announcement's full second, never earlier.
    EXPECT_GE(opened - announced.back(), 1000ms);
    RunLoopFor(300ms);
    EXPECT_EQ(m_hid.Log(), kOpen81);
    EXPECT_EQ(Traces(), std::vector<std::string>(4, "DBT_DEVICEARRIVAL.\n"));
}

TEST_F(AnArrival, OfASabreDeviceRebuildsFamily82ThenFamily83) {
    PlugSabre(m_hid);
    m_dialog.OnDeviceChange(Arrival("/dev/hidraw5", kProductSabre));
    ASSERT_TRUE(RunLoopUntil([&] { return LogHas(6); }));
    EXPECT_EQ(m_hid.Log(), Concat({kOpen82, kOpen83}));
    EXPECT_EQ(Hid().m_hid82.m_nInputCount, 1);
    EXPECT_EQ(Hid().m_hid83.m_nInputCount, 1);
}

TEST_F(AnArrival, OfAWiredDeviceRebuildsFamily80ThenFamily85) {
    PlugWired(m_hid);
    m_dialog.OnDeviceChange(Arrival("/dev/hidraw7", kWiredProduct));
    ASSERT_TRUE(RunLoopUntil([&] { return LogHas(6); }));
    EXPECT_EQ(m_hid.Log(), Concat({kOpen80, kOpen85}));
}

TEST_F(AnArrival, OfAnythingElseOnlyWritesItsTrace) {
    PlugVireo(m_hid);
    PlugSabre(m_hid);
    PlugWired(m_hid);
    m_dialog.OnDeviceChange(Arrival("/dev/hidraw9", 0xFA60, 0x1D58));
    m_dialog.OnDeviceChange(Arrival("", kProductVireo));
    // The BLE vendor on the USB bus is not a BLE device.
    m_dialog.OnDeviceChange(Arrival("/dev/hidraw10", 0x0B13, 0x045E));
    // A BLE device arms BLE discovery, which opens no HID family.
    m_dialog.OnDeviceChange(Change(DeviceChange::Kind::Arrival, "/dev/hidraw11", 0x045E, 0x0B13, kBusBluetooth));
    RunLoopFor(1300ms);
    // Only the BLE open step's listing of the BLE vendor.
    EXPECT_EQ(m_hid.Log(), std::vector<std::string>{"enumerate 045e:0000"});
    EXPECT_EQ(Traces(), std::vector<std::string>(4, "DBT_DEVICEARRIVAL.\n"));
}

struct TimerCase {
    int id;
    std::vector<std::vector<std::string>> opens;
};

class ATimer : public AHotplugBridge, public ::testing::WithParamInterface<TimerCase> {};

TEST_P(ATimer, RunsTheOpenStepsOfItsFamiliesInOrder) {
    PlugVireo(m_hid);
    PlugSabre(m_hid);
    PlugWired(m_hid);
    m_dialog.OnTimer(GetParam().id);
    std::vector<std::string> expected;
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

// ---- removals ----------------------------------------------------------------------

using ARemoval = AHotplugBridge;

TEST_F(ARemoval, OfAPairedVireoDeviceSendsItsIdClearsItsRecordsAndEndsItsReader) {
    PlugVireo(m_hid);
    m_dialog.OnTimer(IDT_OPEN_81);
    m_hid.Report("/dev/hidraw3", kMousePage, {0x05, 0x03, 0x10, 0x00, 0x00});
    ASSERT_TRUE(
        m_texts.WaitForText("8101050310"
                            "0000",
                            10s));
    ASSERT_TRUE(WaitPaired(0x81, 0));

    m_texts.Clear();
    m_hid.Unplug("usb1/1-3");
    m_dialog.OnDeviceChange(Removal("/dev/hidraw3", kProductVireo));

    EXPECT_EQ(Traces(), std::vector<std::string>{"DBT_DEVICEREMOVECOMPLETE.\n"});
    EXPECT_EQ(m_texts.Texts(), std::vector<std::string>{"810003"});
    HidFamilyState& f = Hid().m_hid81;
    {
        std::lock_guard<std::mutex> lock(f.m_mutex);
        EXPECT_TRUE(f.m_input[0].szPath.empty());
        EXPECT_FALSE(f.m_input[0].hInput);
        EXPECT_TRUE(f.m_active[0].szPath.empty());
        EXPECT_FALSE(f.m_active[0].hControl);
        EXPECT_EQ(f.m_control[0].szPath, "/dev/hidraw3");
        EXPECT_EQ(f.m_nControlCount, 1);
        EXPECT_EQ(f.m_nInputCount, 1);
    }
    EXPECT_FALSE(f.m_hThread[0].joinable());
    EXPECT_EQ(f.m_dwThreadId[0], std::thread::id());
    EXPECT_TRUE(f.m_bStopRequest[0].IsSet());
    EXPECT_TRUE(Hid().SelectSlots(0x81, 0x03).empty() || !Hid().SelectSlots(0x81, 0x03)[0].control);
}

TEST_F(ARemoval, OfADeviceThatNeverReportedSendsId00AndLeavesItsReaderWaiting) {
    PlugWired(m_hid);
    m_dialog.OnTimer(IDT_OPEN_WIRED);
    m_dialog.OnDeviceChange(Removal("/dev/hidraw6", kWiredProduct));
    m_dialog.OnDeviceChange(Removal("/dev/hidraw7", kWiredProduct));
    EXPECT_EQ(Traces(), std::vector<std::string>(2, "Wired ------------DBT_DEVICEREMOVECOMPLETE.\n"));
    EXPECT_EQ(m_texts.Texts(), (std::vector<std::string>{"800000", "850000"}));
    // Without an active record nothing names the reader to stop; it waits on
    // the cleared slot until the family is opened again.
    EXPECT_TRUE(Hid().m_hid80.m_hThread[0].joinable());
    EXPECT_TRUE(Hid().m_hid85.m_hThread[0].joinable());
}

TEST_F(ARemoval, OfASabreDeviceAnnouncesBothFamiliesOfItsSharedCollection) {
    PlugSabre(m_hid);
    m_dialog.OnTimer(IDT_OPEN_82);
    m_dialog.OnTimer(IDT_OPEN_83);
    m_hid.Report("/dev/hidraw4", kMousePage, {0x02, 0x07});
    m_hid.Report("/dev/hidraw5", kVendor1, {0x06, 0x09});
    ASSERT_TRUE(m_texts.WaitForText("82010207000000", 10s));
    ASSERT_TRUE(m_texts.WaitForText("83010609000000", 10s));
    ASSERT_TRUE(WaitPaired(0x82, 0));
    ASSERT_TRUE(WaitPaired(0x83, 0));
    m_texts.Clear();

    const std::vector<std::string> bothHandlers = {"Vireo ----------------- DBT_DEVICEREMOVECOMPLETE.\n",
                                                   "Sabre ----------------- DBT_DEVICEREMOVECOMPLETE.\n"};
    // The mouse node holds only family 0x82's input collection.
    m_dialog.OnDeviceChange(Removal("/dev/hidraw4", kProductSabre));
    EXPECT_EQ(Traces(), bothHandlers);
    EXPECT_EQ(m_texts.Texts(), std::vector<std::string>{"820007"});
    EXPECT_TRUE(Hid().m_hid82.m_hThread[0].joinable());

    // The vendor node holds 0x82's control collection, and 0x83's input and
    // control collections.
    m_dialog.OnDeviceChange(Removal("/dev/hidraw5", kProductSabre));
    EXPECT_EQ(Traces(), Concat({bothHandlers, bothHandlers}));
    EXPECT_EQ(m_texts.Texts(), (std::vector<std::string>{"820007", "830009"}));
    EXPECT_FALSE(Hid().m_hid82.m_hThread[0].joinable());
    EXPECT_FALSE(Hid().m_hid83.m_hThread[0].joinable());
    std::lock_guard<std::mutex> lock(Hid().m_hid83.m_mutex);
    EXPECT_FALSE(Hid().m_hid83.m_input[0].hInput);
    EXPECT_FALSE(Hid().m_hid83.m_active[0].hControl);
}

struct UnmatchedCase {
    const char* what;
    DeviceChange change;
    std::vector<std::string> traces;
};
void PrintTo(const UnmatchedCase& c, std::ostream* os) {
    *os << c.what;
}

class ARemovalOfAnUnknownNode : public AHotplugBridge, public ::testing::WithParamInterface<UnmatchedCase> {};

TEST_P(ARemovalOfAnUnknownNode, WritesOnlyTheTracesOfTheHandlersItConcerns) {
    PlugVireo(m_hid);
    PlugSabre(m_hid);
    PlugWired(m_hid);
    for (int id : {IDT_OPEN_81, IDT_OPEN_82, IDT_OPEN_83, IDT_OPEN_WIRED}) m_dialog.OnTimer(id);
    m_dialog.OnDeviceChange(GetParam().change);
    EXPECT_EQ(Traces(), GetParam().traces);
    EXPECT_TRUE(m_texts.Texts().empty());
    for (uint8_t family : {0x80, 0x81, 0x82, 0x83, 0x85}) {
        HidFamilyState* f = Hid().Family(family);
        std::lock_guard<std::mutex> lock(f->m_mutex);
        EXPECT_TRUE(f->m_input[0].hInput) << std::hex << int(family);
    }
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
                      Change(DeviceChange::Kind::Removal, "/dev/hidraw3", 0x045E, 0x0B13, kBusBluetooth),
                      {"BLE ------------DBT_DEVICEREMOVECOMPLETE.\n"}},
        UnmatchedCase{"empty path", Removal("", kProductVireo), {"DBT_DEVICEREMOVECOMPLETE.\n"}}));

TEST_F(ARemoval, LetsNoReportTextFollowTheRemovalTextOfABusyDevice) {
    PlugVireo(m_hid);
    for (int round = 0; round < 5; ++round) {
        m_dialog.OnTimer(IDT_OPEN_81);
        m_texts.Clear();
        std::atomic<bool> feeding{true};
        std::thread feeder([&] {
            while (feeding) {
                m_hid.Report("/dev/hidraw3", kMousePage, {0x05, 0x03, 0x01});
                std::this_thread::sleep_for(1ms);
            }
        });
        ASSERT_TRUE(WaitPaired(0x81, 0));
        ASSERT_TRUE(m_texts.WaitForCount(3, 10s));
        m_dialog.OnDeviceChange(Removal("/dev/hidraw3", kProductVireo));
        std::this_thread::sleep_for(50ms);  // several reader polls, had it lived on
        feeding = false;
        feeder.join();

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
            {"name":"vireo","vendor_id":"0x1D57","product_id":"0xFA60","device_id":3},
            {"name":"sabre","vendor_id":"0x1D57","product_id":"0xFA65","device_id":4,"attached":false}]})");
        m_page = std::make_unique<test::WsClient>(m_bridge->port());
        ASSERT_TRUE(m_page->Connect());
        ASSERT_TRUE(m_page->WaitForMessages(1));  // the greeting
    }
    void TearDown() override {
        m_page.reset();
        m_bridge.reset();
    }
    void Report(const std::string& device, int collection, const std::vector<uint8_t>& bytes) {
        std::string error;
        ASSERT_TRUE(m_bridge->sim().QueueReport(device, bytes, collection, &error)) << error;
    }
    void Plug(const std::string& device, bool attach) {
        std::string error;
        ASSERT_TRUE(attach ? m_bridge->sim().Plug(device, &error) : m_bridge->sim().Unplug(device, &error)) << error;
    }
    // A look at the tables from the loop thread, which owns the readers.
    struct SlotView {
        int inputs = 0;
        bool reader = false;
        bool addressable = false;
    };
    SlotView View(uint8_t family, uint8_t deviceId) {
        SlotView view;
        m_bridge->RunOnLoop([&] {
            HidDeviceManager& hid = m_bridge->dialog().hid();
            HidFamilyState* state = hid.Family(family);
            view.reader = state->m_hThread[0].joinable();
            {
                std::lock_guard<std::mutex> lock(state->m_mutex);
                view.inputs = state->m_nInputCount;
            }
            const auto slots = hid.SelectSlots(family, deviceId);
            view.addressable = !slots.empty() && slots[0].control != nullptr;
        });
        return view;
    }
    bool WaitForOpened(uint8_t family) {
        const auto deadline = Steady::now() + 10s;
        while (Steady::now() < deadline) {
            const SlotView v = View(family, 0);
            if (v.inputs == 1 && v.reader) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    std::vector<std::string> MessagesAfterGreeting() {
        auto all = m_page->Messages();
        all.erase(all.begin());
        return all;
    }

    std::unique_ptr<test::SimBridge> m_bridge;
    std::unique_ptr<test::WsClient> m_page;
};

TEST_F(APluggedSimulatedDevice, ThatIsUnpluggedTellsThePageItsIdAndThenFallsSilent) {
    Report("vireo", 1, {0x05, 0x03, 0x11});
    ASSERT_TRUE(m_page->WaitForMessages(2));
    Plug("vireo", false);
    ASSERT_TRUE(m_page->WaitForMessages(3));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(MessagesAfterGreeting(), (std::vector<std::string>{"81010503110000", "810003"}));
    const SlotView v = View(0x81, 0x03);
    EXPECT_FALSE(v.reader);
    EXPECT_FALSE(v.addressable);
    EXPECT_EQ(v.inputs, 1);
}

TEST_F(APluggedSimulatedDevice, ThatIsPluggedAgainIsAddressableAfterItsFirstReport) {
    Report("vireo", 1, {0x05, 0x03});
    ASSERT_TRUE(m_page->WaitForMessages(2));
    Plug("vireo", false);
    ASSERT_TRUE(m_page->WaitForMessages(3));
    Plug("vireo", true);
    ASSERT_TRUE(WaitForOpened(0x81));
    EXPECT_FALSE(View(0x81, 0x00).addressable);

    Report("vireo", 1, {0x05, 0x03, 0x21});
    ASSERT_TRUE(m_page->WaitForMessages(4));
    EXPECT_EQ(m_page->Messages().back(), "81010503210000");
    EXPECT_TRUE(View(0x81, 0x03).addressable);
}

TEST_F(APluggedSimulatedDevice, OfTheSabreKindOpensBothItsFamiliesAndTellsBothOfItsRemoval) {
    Plug("sabre", true);
    ASSERT_TRUE(WaitForOpened(0x82));
    ASSERT_TRUE(WaitForOpened(0x83));
    // Collection 1 is family 0x82's input; collection 0 family 0x83's.
    Report("sabre", 1, {0x01, 0x04, 0xAA});
    ASSERT_TRUE(m_page->WaitForMessages(2));
    Report("sabre", 0, {0x02, 0x04, 0xBB});
    ASSERT_TRUE(m_page->WaitForMessages(3));
    Plug("sabre", false);
    ASSERT_TRUE(m_page->WaitForMessages(5));
    std::this_thread::sleep_for(100ms);
    // Collection 0 goes first: the node that is 0x83's input.
    EXPECT_EQ(MessagesAfterGreeting(),
              (std::vector<std::string>{"82010104aa0000", "83010204bb0000", "830004", "820004"}));
    EXPECT_FALSE(View(0x82, 0x04).reader);
    EXPECT_FALSE(View(0x83, 0x04).reader);
}

}  // namespace
}  // namespace orvex
