// The BlueZ backend against the fake BlueZ on a private D-Bus bus
// (tests/support/FakeBluez.h).
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "ble/BleSlots.h"
#include "platform/linux/BluezStack.h"
#include "support/Capture.h"
#include "support/FakeBluez.h"

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
    BroadcastCapture broadcasts;
    LogCapture logs;
    {
        BleSlots slots(&stack);
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
        ASSERT_TRUE(slots.Device(0).HasEventHandle()) << "no registration was made";
        EXPECT_EQ(Events(), std::vector<std::string>{"StartNotify " + kPad + "/service000c/char000f"});

        Notify(kPad + "/service000c/char000f", {0x07, 0x11, 0x22, 0x33});
        ASSERT_TRUE(broadcasts.WaitForText("840107112233", kWait));
        // Stored right after the text is sent, on the dispatcher.
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (slots.DeviceId(0) != 7 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        EXPECT_EQ(slots.DeviceId(0), 7);
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
    const auto events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], "StopNotify " + kPad + "/service000c/char000f");
    broadcasts.Clear();
    Notify(kPad + "/service000c/char000f", {0x01, 0x02, 0x03, 0x04});
    // Round trip through the fake: the notification has been sent by now.
    (void)Events();
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(broadcasts.Texts().empty());
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
