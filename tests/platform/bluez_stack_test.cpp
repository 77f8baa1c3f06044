// The BlueZ backend against the fake BlueZ on a private D-Bus bus
// (tests/support/FakeBluez.h).
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "ble/BleSlots.h"
#include "platform/linux/BluezStack.h"
#include "support/Capture.h"
#include "support/FakeBluez.h"
#include "support/Fakes.h"
#include "support/Http.h"
#include "support/Pages.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

namespace orvex::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 30s;
const std::string kPad = kFakePad;

class TheBluezStack : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string missing = FakeBluez::Unavailable();
        if (!missing.empty()) GTEST_SKIP() << missing;
        std::string error;
        ASSERT_TRUE(m_bluez.Start(&error)) << error;
        m_address = m_bluez.address();
    }

    std::vector<std::string> Events() { return m_bluez.Events(); }
    std::vector<FakeBluez::Write> Writes() { return m_bluez.Writes(); }
    void Notify(const std::string& path, const std::vector<uint8_t>& value) { m_bluez.Notify(path, value); }

    FakeBluez m_bluez;
    std::string m_address;
};

const std::string kPadInterface = kFakePadInterface;

struct Opened {
    std::unique_ptr<BleServiceHandle> service;
    std::vector<BleGattCharacteristic> characteristics;
};

Opened Open(BluezStack& stack, const std::string& interfaceName) {
    Opened opened;
    opened.service = stack.OpenService(interfaceName);
    std::vector<BleGattService> services;
    if (opened.service && opened.service->GetServices(&services) == 0 && !services.empty())
        opened.service->GetCharacteristics(services[0], &opened.characteristics);
    return opened;
}

// A callback's context: counts its calls, holds one until released when
// asked to, and notes whether a call saw the test's flag set.
struct Callbacks {
    std::mutex mutex;
    std::condition_variable cv;
    int calls = 0;
    bool hold = false, holding = false;
    std::atomic<bool> flag{false};
    bool sawFlag = false;

    static void Record(const uint8_t*, size_t, void* context) {
        auto* self = static_cast<Callbacks*>(context);
        std::unique_lock<std::mutex> lock(self->mutex);
        ++self->calls;
        self->sawFlag = self->sawFlag || self->flag;
        self->holding = self->hold;
        self->cv.notify_all();
        self->cv.wait_for(lock, kWait, [self] { return !self->hold; });
        self->holding = false;
        self->sawFlag = self->sawFlag || self->flag;
    }
    template <typename Condition>
    bool WaitFor(Condition condition, std::chrono::milliseconds timeout = kWait) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, timeout, condition);
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex);
        hold = false;
        cv.notify_all();
    }
};

TEST_F(TheBluezStack, ListsDevicesAndNamesServicesByVendorProductAndAddress) {
    BluezStack stack(m_address);
    const auto nodes = stack.DeviceNodes();
    // In object path order, which is stable.
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_TRUE(nodes[0].disconnected);
    EXPECT_EQ(nodes[0].hardware_ids, std::vector<std::string>{"BTHLE\\Dev_112233445566"});
    EXPECT_FALSE(nodes[1].disconnected);
    EXPECT_TRUE(nodes[1].has_friendly_name);
    EXPECT_EQ(nodes[1].friendly_name, "Pad");
    EXPECT_EQ(nodes[1].hardware_ids, std::vector<std::string>{"BTHLE\\Dev_C0FFEE000001"});
    EXPECT_EQ(stack.ServiceInterfaces(),
              (std::vector<std::string>{"BTHLEDEVICE\\{0000180F-0000-1000-8000-00805F9B34FB}_DEV_VID&000000_PID&"
                                        "0000_REV&0000_112233445566\\/org/bluez/hci0/dev_11_22_33_44_55_66/"
                                        "service0010",
                                        kPadInterface}));

    auto service = stack.OpenService(kPadInterface);
    ASSERT_TRUE(service);
    std::vector<BleGattService> services;
    ASSERT_EQ(service->GetServices(&services), 0);
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(services[0].uuid.value, 0xFEE0u);
    EXPECT_EQ(services[0].attribute_handle, 0x0C);
    std::vector<BleGattCharacteristic> characteristics;
    ASSERT_EQ(service->GetCharacteristics(services[0], &characteristics), 0);
    ASSERT_EQ(characteristics.size(), 2u);
    EXPECT_EQ(characteristics[0].uuid.value, 0xFEE3u);
    EXPECT_EQ(characteristics[0].attribute_handle, 0x0D);
    EXPECT_TRUE(characteristics[0].is_writable);
    EXPECT_FALSE(characteristics[0].is_notifiable);
    EXPECT_EQ(characteristics[1].uuid.value, 0xFEE4u);
    EXPECT_TRUE(characteristics[1].is_notifiable);
    std::vector<BleGattDescriptor> descriptors;
    ASSERT_EQ(service->GetDescriptors(characteristics[1], &descriptors), 0);
    ASSERT_EQ(descriptors.size(), 1u);
    EXPECT_EQ(descriptors[0].attribute_handle, 0x11);
    EXPECT_EQ(descriptors[0].type, BleDescriptorType::CharacteristicUserDescription);
    std::vector<uint8_t> value;
    EXPECT_EQ(service->GetDescriptorValue(descriptors[0], &value), 0);
    EXPECT_EQ(value, (std::vector<uint8_t>{'p', 'a', 'd'}));
    // Only the client configuration takes a subscription, and BlueZ writes it.
    EXPECT_NE(service->SubscribeToNotifications(descriptors[0]), 0);
    EXPECT_FALSE(stack.OpenService("BTHLEDEVICE\\{nothing}"));
}

// The whole way through a BLE slot: connect, notification in, write out.
TEST_F(TheBluezStack, CarriesASlotsSubscriptionNotificationsAndWritesWithResponse) {
    BluezStack stack(m_address);
    FakePages broadcasts;
    LogCapture logs;
    {
        BleSlots slots(&stack, broadcasts);
        class OneEntry final : public HidApi {
        public:
            int init() override { return 0; }
            std::vector<HidDeviceInfo> enumerate(uint16_t, uint16_t) override {
                HidDeviceInfo info;
                info.path = "/dev/hidraw7";
                info.vendor_id = 0x045E;
                info.product_id = 0x0B13;
                info.bus_type = kBusBluetooth;
                return {info};
            }
            std::shared_ptr<HidDevice> open(const HidDeviceInfo&, HidOpenError*) override { return nullptr; }
        } hid;
        ASSERT_TRUE(slots.OpenBleFamily(hid));
        slots.ConnectBleSlots();
        EXPECT_TRUE(slots.WaitForConnect(kWait));
        ASSERT_TRUE(slots.Device(0).HasEventHandle()) << "no registration was made";
        EXPECT_EQ(Events(), std::vector<std::string>{"StartNotify " + kPad + "/service000c/char000f"});

        Notify(kPad + "/service000c/char000f", {0x07, 0x11, 0x22, 0x33});
        ASSERT_TRUE(broadcasts.WaitForText("840107112233", kWait));
        // Stored right after the text is sent, on the dispatcher.
        EXPECT_TRUE(WaitUntil([&] { return slots.DeviceId(0) == 7; }, kWait)) << slots.DeviceId(0);
        Notify(kPad + "/service000c/char000f", {});
        ASSERT_TRUE(logs.WaitForLine("datasize 0\n", kWait));

        const std::vector<uint8_t> bytes = {0x05, 0x03, 0xAA};
        EXPECT_EQ(slots.WriteBle(0, bytes.data(), 3), 1);
        auto writes = Writes();
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0].path, kPad + "/service000c/char000d");
        EXPECT_EQ(writes[0].value, bytes);
        EXPECT_EQ(writes[0].type, "request");
        EXPECT_EQ(logs.CountLine("Write Success!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\r\n"), 1u);

        m_bluez.FailWrites(true);
        EXPECT_EQ(slots.WriteBle(0, bytes.data(), 3), 0);
        EXPECT_EQ(logs.CountLine("Write fail!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\r\n"), 1u);
    }
    // The slots released their registration on the way out.
    ASSERT_TRUE(WaitUntil([&] { return Events().size() >= 2; }, kWait));
    const auto events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], "StopNotify " + kPad + "/service000c/char000f");
    broadcasts.Clear();
    Notify(kPad + "/service000c/char000f", {0x01, 0x02, 0x03, 0x04});
    // Delivered in order: once a later registration has had the next
    // notification, the one before it has been dealt with.
    Opened pad = Open(stack, kPadInterface);
    ASSERT_EQ(pad.characteristics.size(), 2u);
    Callbacks marker;
    BleEventHandle handle = 0;
    ASSERT_EQ(pad.service->RegisterValueChanged(pad.characteristics[1], Callbacks::Record, &marker, &handle), 0);
    Notify(kPad + "/service000c/char000f", {0x05});
    // The first value may reach the later registration too, when the bus
    // thread reads it after the registration was made.
    EXPECT_TRUE(marker.WaitFor([&] { return marker.calls >= 1; }));
    EXPECT_TRUE(broadcasts.Texts().empty());
    stack.UnregisterEvent(handle);
}

// BlueZ hangs while the connect step waits for its first listing, and an
// open step comes meanwhile: the console and a new page are answered before
// the hang is over.
TEST_F(TheBluezStack, LeavesTheConsoleAndPagesAnsweredWhileBluezHangs) {
    m_bluez.Hang(10);
    BluezStack stack(m_address);
    std::string whyNot;
    auto bridge =
        SimBridge::StartOrExplain(R"({"devices": [{"name": "pad", "model": "ble", "address": "C0:FF:EE:00:00:01"}]})",
                                  nullptr, &whyNot, ShortTimings(), &stack);
    if (!bridge) GTEST_SKIP() << whyNot;
    ASSERT_TRUE(WaitUntil([&] { return m_bluez.Hung() == 1; })) << "the connect step did not ask for the listing";
    boost::asio::post(bridge->loop(), [&] { bridge->dialog().OnTimer(IDT_OPEN_BLE); });
    const uint16_t port = bridge->port();
    EXPECT_EQ(HttpRequestOnce(port, "GET", "/status", "127.0.0.1:" + std::to_string(port)).status, 200);
    WsClient page(port);
    ASSERT_TRUE(page.Connect());
    ASSERT_TRUE(WaitUntil([&] { return !page.Messages().empty(); }));
    EXPECT_EQ(page.Messages().front(), "0304");
    EXPECT_EQ(m_bluez.Hung(), 1u) << "answered only once BlueZ was";
}

// bluetoothd stops answering while BLE devices are registered and a connect
// step waits inside a call: the bridge stops, or steps aside for another
// session, without waiting for BlueZ. The stack would wait for an answer
// longer than the fake stays silent, so a stop that waited for one could not
// end while the fake still owes answers.
TEST(ABridgeOverAHungBluez, StopsAndStepsAsideWithoutWaitingForIt) {
    const std::string missing = FakeBluez::Unavailable();
    if (!missing.empty()) GTEST_SKIP() << missing;
    struct Case {
        int devices;
        bool stepAside;
    };
    for (const Case c : {Case{1, false}, Case{3, false}, Case{3, true}}) {
        SCOPED_TRACE(std::to_string(c.devices) + (c.stepAside ? " devices, session switch" : " devices, stop"));
        FakeBluez bluez;
        std::string error;
        ASSERT_TRUE(bluez.Start(&error)) << error;
        std::string scenario = R"({"devices": [{"name": "d1", "model": "ble", "address": "C0:FF:EE:00:00:01"})";
        for (int k = 2; k <= c.devices; ++k) {
            const std::string address = "C0:FF:EE:00:00:0" + std::to_string(k);
            bluez.SetConnected(bluez.AddDevice(address), true);
            scenario += R"(, {"name": "d)" + std::to_string(k) + R"(", "model": "ble", "product_id": "0x0B14", )" +
                        R"("address": ")" + address + R"("})";
        }
        scenario += "]}";
        auto count = [&](const std::string& method) {
            unsigned n = 0;
            for (const std::string& event : bluez.Events()) n += event.rfind(method + " ", 0) == 0;
            return n;
        };
        Timings timings = ShortTimings();
        timings.busCallTimeout = 60s;
        BluezStack stack(bluez.address(), timings);
        std::string whyNot;
        auto bridge = SimBridge::StartOrExplain(scenario, nullptr, &whyNot, timings, &stack);
        if (!bridge) GTEST_SKIP() << whyNot;
        ASSERT_TRUE(WaitUntil([&] { return count("StartNotify") == unsigned(c.devices); }, kWait));
        WsClient page(bridge->port());
        ASSERT_TRUE(page.Connect());

        bluez.Hang(20);
        // An open step: its releases go out unanswered, and the connect step
        // after it waits inside a call.
        bridge->RunOnLoop([&] { bridge->dialog().OnTimer(IDT_OPEN_BLE); });
        ASSERT_TRUE(WaitUntil([&] { return bluez.Hung() > unsigned(c.devices); }, kWait))
            << "the releases waited for BlueZ";
        EXPECT_EQ(count("StopNotify"), unsigned(c.devices));

        const auto start = std::chrono::steady_clock::now();
        if (c.stepAside) {
            bridge->RunOnLoop([&] { bridge->dialog().Suspend(); });
            EXPECT_TRUE(page.WaitClosed(kWait));
            EXPECT_EQ(page.CloseCode(), 1001);
            EXPECT_GT(bluez.Hung(), 0u) << "the session switch waited for BlueZ";
        }
        const auto stepped = std::chrono::steady_clock::now();
        bridge.reset();
        EXPECT_GT(bluez.Hung(), 0u) << "the stop waited for BlueZ";
        // Measured, not asserted: the machine may be slow.
        const auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
        std::cerr << c.devices << " devices, BlueZ hung: "
                  << (c.stepAside ? "stepped aside in " + std::to_string(ms(stepped - start)) + " ms, " : "")
                  << "stopped in " << ms(std::chrono::steady_clock::now() - stepped) << " ms\n";
    }
}

TEST_F(TheBluezStack, FindsTheBusThroughDbusSystemBusAddressWithoutAParameter) {
    const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string saved = previous ? previous : "";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.c_str(), 1);
    {
        BluezStack stack;
        EXPECT_EQ(stack.DeviceNodes().size(), 2u);
    }
    if (previous)
        setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
    else
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST_F(TheBluezStack, FollowsDevicesThatComeConnectAndGoFromOneListingPerBluez) {
    BluezStack stack(m_address);
    ASSERT_EQ(stack.DeviceNodes().size(), 2u);
    const std::string late = m_bluez.AddDevice("C0:FF:EE:00:00:02");
    const std::string lateInterface =
        "BTHLEDEVICE\\{0000FEE0-0000-1000-8000-00805F9B34FB}_DEV_VID&02045E_PID&0B14_REV&0002_C0FFEE000002\\" + late +
        "/service000c";
    // Third in path order; connected only after it appeared.
    ASSERT_TRUE(WaitUntil([&] { return stack.DeviceNodes().size() == 3; }));
    EXPECT_TRUE(stack.DeviceNodes()[2].disconnected);
    m_bluez.SetConnected(late, true);
    ASSERT_TRUE(WaitUntil([&] { return !stack.DeviceNodes()[2].disconnected; }));
    const BleDeviceNode node = stack.DeviceNodes()[2];
    EXPECT_EQ(node.friendly_name, "Late");
    EXPECT_EQ(node.hardware_ids, std::vector<std::string>{"BTHLE\\Dev_C0FFEE000002"});
    EXPECT_EQ(stack.ServiceInterfaces().back(), lateInterface);

    Opened opened = Open(stack, lateInterface);
    ASSERT_EQ(opened.characteristics.size(), 2u);
    std::vector<BleGattDescriptor> descriptors;
    EXPECT_EQ(opened.service->GetDescriptors(opened.characteristics[1], &descriptors), 0);
    EXPECT_EQ(descriptors.size(), 1u);
    const uint8_t value[] = {0x42};
    EXPECT_EQ(opened.service->WriteCharacteristic(opened.characteristics[0], value, 1), 0);
    EXPECT_EQ(Writes().back().path, late + "/service000c/char000d");

    m_bluez.RemoveDevice(late);
    ASSERT_TRUE(WaitUntil([&] { return stack.DeviceNodes().size() == 2; }));
    EXPECT_EQ(stack.ServiceInterfaces().size(), 2u);
    EXPECT_FALSE(stack.OpenService(lateInterface));
    std::vector<BleGattService> services;
    EXPECT_EQ(opened.service->GetServices(&services), -ENOENT);
    EXPECT_EQ(m_bluez.Calls("GetManagedObjects"), 1u);

    // BlueZ leaves the bus and comes back: listed anew, once.
    std::string error;
    ASSERT_TRUE(m_bluez.Restart(&error)) << error;
    ASSERT_TRUE(WaitUntil([&] { return m_bluez.Calls("GetManagedObjects") == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return stack.DeviceNodes().size() == 2; }));
    EXPECT_EQ(stack.ServiceInterfaces().back(), kPadInterface);
    EXPECT_EQ(m_bluez.Calls("GetManagedObjects"), 1u);
}

// bluetoothd restarted while the device stays paired: its objects come back
// listed or announced, and BlueZ has forgotten the subscription.
TEST_F(TheBluezStack, SubscribesAgainOnceWhenBluezShowsTheCharacteristicAgain) {
    BluezStack stack(m_address);
    Opened pad = Open(stack, kPadInterface);
    ASSERT_EQ(pad.characteristics.size(), 2u);
    Callbacks notified;
    BleEventHandle handle = 0;
    ASSERT_EQ(pad.service->RegisterValueChanged(pad.characteristics[1], Callbacks::Record, &notified, &handle), 0);
    for (const bool announced : {false, true}) {
        SCOPED_TRACE(announced ? "announced after the listing" : "in the listing");
        std::string error;
        ASSERT_TRUE(m_bluez.Restart(&error, announced)) << error;
        ASSERT_TRUE(WaitUntil([&] { return !Events().empty(); })) << "no StartNotify after the restart";
        ASSERT_EQ(Events(), std::vector<std::string>{"StartNotify " + kFakePadNotify});
        const int before = notified.calls;
        Notify(kFakePadNotify, {0x07, 0x02});
        EXPECT_TRUE(notified.WaitFor([&] { return notified.calls == before + 1; }));
        EXPECT_EQ(Events().size(), 1u);
    }
    stack.UnregisterEvent(handle);
    EXPECT_TRUE(WaitUntil([&] { return Events().back() == "StopNotify " + kFakePadNotify; }, kWait));
}

TEST_F(TheBluezStack, DeliversNotificationsAndListsWhileAWriteWaitsForTheDevice) {
    BluezStack stack(m_address);
    Opened pad = Open(stack, kPadInterface);
    ASSERT_EQ(pad.characteristics.size(), 2u);
    Callbacks notified;
    BleEventHandle handle = 0;
    ASSERT_EQ(pad.service->RegisterValueChanged(pad.characteristics[1], Callbacks::Record, &notified, &handle), 0);
    // Answered at ReleaseWrites, or after 8 s (within the stack's call
    // time-out): a stack that makes the others wait for the write sees the
    // fake answer it first.
    m_bluez.HoldWrites(8);
    int written = -1;
    std::thread writer([&] {
        const uint8_t bytes[] = {0x05, 0x03, 0xAA};
        written = pad.service->WriteCharacteristic(pad.characteristics[0], bytes, 3);
    });
    ASSERT_TRUE(WaitUntil([&] { return m_bluez.HeldWrites() == 1; })) << "the write did not reach the device";
    Notify(kFakePadNotify, {0x07, 0x01});
    std::vector<std::string> names;
    std::thread lister([&] { names = stack.ServiceInterfaces(); });
    lister.join();
    EXPECT_EQ(m_bluez.HeldWrites(), 1u) << "the listing waited for the write";
    EXPECT_EQ(names.size(), 2u);
    EXPECT_TRUE(notified.WaitFor([&] { return notified.calls == 1; }));
    EXPECT_EQ(m_bluez.HeldWrites(), 1u) << "the notification waited for the write";
    m_bluez.ReleaseWrites();
    writer.join();
    EXPECT_EQ(written, 0);
    stack.UnregisterEvent(handle);
}

TEST_F(TheBluezStack, RunsNoCallbackAfterUnregisterEventReturnsAndWaitsOnlyForItsOwn) {
    BluezStack stack(m_address);
    Opened pad = Open(stack, kPadInterface);
    Opened other = Open(stack, kFakeOtherInterface);
    ASSERT_EQ(pad.characteristics.size(), 2u);
    ASSERT_EQ(other.characteristics.size(), 1u);
    Callbacks slow, quick, marker;
    BleEventHandle slowHandle = 0, quickHandle = 0, markerHandle = 0;
    ASSERT_EQ(pad.service->RegisterValueChanged(pad.characteristics[1], Callbacks::Record, &slow, &slowHandle), 0);
    ASSERT_EQ(other.service->RegisterValueChanged(other.characteristics[0], Callbacks::Record, &quick, &quickHandle),
              0);
    slow.hold = true;
    Notify(kFakePadNotify, {0x01});
    ASSERT_TRUE(slow.WaitFor([&] { return slow.holding; }));
    // Queued behind the running callback, then unregistered: it never runs,
    // and its unregistration does not wait for the other one's callback.
    Notify(kFakeOtherNotify, {0x02});
    stack.UnregisterEvent(quickHandle);
    EXPECT_TRUE(slow.WaitFor([&] { return slow.holding; }, 0ms)) << "waited for another registration's callback";
    EXPECT_TRUE(WaitUntil([&] { return Events().back() == "StopNotify " + kFakeOtherNotify; }, kWait));

    std::thread unregister([&] {
        stack.UnregisterEvent(slowHandle);
        slow.flag = true;
    });
    // Time for an UnregisterEvent that does not wait to return; ends early when one did.
    WaitUntil([&] { return slow.flag.load(); }, 300ms);
    slow.Release();
    unregister.join();
    EXPECT_FALSE(slow.sawFlag) << "UnregisterEvent returned while its callback ran";

    // Delivered in order: once the marker's callback ran, the notifications
    // before it have been dealt with.
    ASSERT_EQ(other.service->RegisterValueChanged(other.characteristics[0], Callbacks::Record, &marker, &markerHandle),
              0);
    Notify(kFakePadNotify, {0x03});
    Notify(kFakeOtherNotify, {0x04});
    // The first value may reach the later registration too, when the bus
    // thread reads it after the registration was made.
    EXPECT_TRUE(marker.WaitFor([&] { return marker.calls >= 1; }));
    EXPECT_EQ(slow.calls, 1);
    EXPECT_EQ(quick.calls, 0);
    stack.UnregisterEvent(markerHandle);
}

TEST_F(TheBluezStack, EndsARegistrationFromItsOwnCallbackWithoutWaitingAndSaysSo) {
    BluezStack stack(m_address);
    LogCapture logs;
    Opened pad = Open(stack, kPadInterface);
    ASSERT_EQ(pad.characteristics.size(), 2u);
    struct Context {
        BluezStack* stack;
        BleEventHandle handle;
        std::atomic<int> calls{0};
    } context{&stack, 0};
    auto unregisterSelf = [](const uint8_t*, size_t, void* c) {
        auto* self = static_cast<Context*>(c);
        self->stack->UnregisterEvent(self->handle);
        ++self->calls;
    };
    ASSERT_EQ(pad.service->RegisterValueChanged(pad.characteristics[1], unregisterSelf, &context, &context.handle), 0);
    Notify(kFakePadNotify, {0x01});
    ASSERT_TRUE(WaitUntil([&] { return Events().back() == "StopNotify " + kFakePadNotify; }));
    EXPECT_EQ(context.calls, 1);
    ASSERT_EQ(logs.Diags().size(), 1u);
    EXPECT_EQ(logs.Diags()[0].rfind("UnregisterEvent called from a BLE notification callback", 0), 0u);
}

TEST_F(TheBluezStack, SaysWhenTheBusGoesAndConnectsAgainWhenItComesBack) {
    LogCapture logs;
    Timings timings;
    timings.busRetryInterval = 200ms;
    BluezStack stack(m_address, timings);
    ASSERT_EQ(stack.DeviceNodes().size(), 2u);
    std::string error;
    ASSERT_TRUE(m_bluez.RestartBus(&error)) << error;
    // Asked again no sooner than the retry interval after the first connection.
    ASSERT_TRUE(WaitUntil([&] { return stack.DeviceNodes().size() == 2; }));
    EXPECT_EQ(m_bluez.Calls("GetManagedObjects"), 1u);
    const auto diags = logs.Diags();
    ASSERT_EQ(diags.size(), 1u);
    EXPECT_EQ(diags[0], "BLE unavailable: the bus connection closed");
}

TEST(ABluezStackWithoutBluez, ListsNothingAndSaysSoOnce) {
    LogCapture logs;
    BluezStack stack("unix:path=/nonexistent/orvex-no-bus");
    EXPECT_TRUE(stack.DeviceNodes().empty());
    EXPECT_TRUE(stack.ServiceInterfaces().empty());
    EXPECT_FALSE(stack.OpenService("anything"));
    stack.UnregisterEvent(1);
    const auto diags = logs.Diags();
    ASSERT_EQ(diags.size(), 1u);
    EXPECT_EQ(diags[0].rfind("BLE unavailable: ", 0), 0u) << diags[0];
}

}  // namespace
}  // namespace orvex::test
