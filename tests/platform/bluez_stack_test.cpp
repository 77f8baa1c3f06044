// The BlueZ backend against a fake BlueZ on a private D-Bus bus: a
// dbus-daemon of its own and a small python3-dbus service that owns
// org.bluez, lists devices and GATT objects, records writes and notifies on
// request.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "ble/BleSlots.h"
#include "platform/linux/BluezStack.h"
#include "support/Capture.h"
#include "support/Pages.h"
#include "support/Process.h"

namespace orvex::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 30s;
const char* kPython = "/usr/bin/python3";
const char* kDaemon = "/usr/bin/dbus-daemon";

const char* kBusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=@DIR@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// Two devices: "pad" (the BLE family's vendor, connected, with the vendor
// service) and "other" (no Modalias, not connected).
const char* kFakeBluez = R"PY(
import sys
import dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
PROPS = 'org.freedesktop.DBus.Properties'
CHAR = 'org.bluez.GattCharacteristic1'
objects = {}
writes = []
events = []

class Obj(dbus.service.Object):
    def __init__(self, path, interfaces):
        dbus.service.Object.__init__(self, bus, path)
        self.path = path
        self.interfaces = interfaces
        objects[path] = self
    @dbus.service.method(PROPS, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        return self.interfaces[interface][name]
    @dbus.service.method(PROPS, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        return self.interfaces[interface]
    @dbus.service.signal(PROPS, signature='sa{sv}as')
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

class Char(Obj):
    fail_writes = False
    @dbus.service.method(CHAR, in_signature='aya{sv}')
    def WriteValue(self, value, options):
        writes.append((self.path, bytes(value), str(options.get('type', ''))))
        if Char.fail_writes:
            raise dbus.exceptions.DBusException('org.bluez.Error.Failed', 'not connected')
    @dbus.service.method(CHAR)
    def StartNotify(self):
        events.append('StartNotify ' + self.path)
    @dbus.service.method(CHAR)
    def StopNotify(self):
        events.append('StopNotify ' + self.path)

class Desc(Obj):
    @dbus.service.method('org.bluez.GattDescriptor1', in_signature='a{sv}', out_signature='ay')
    def ReadValue(self, options):
        return dbus.ByteArray(b'pad')

class Root(dbus.service.Object):
    @dbus.service.method('org.freedesktop.DBus.ObjectManager', out_signature='a{oa{sa{sv}}}')
    def GetManagedObjects(self):
        return {dbus.ObjectPath(p): o.interfaces for p, o in objects.items()}
    @dbus.service.method('org.orvex.FakeBluez', in_signature='oay')
    def Notify(self, path, value):
        objects[path].PropertiesChanged(CHAR, {'Value': dbus.Array(value, signature='y')}, [])
    @dbus.service.method('org.orvex.FakeBluez', in_signature='b')
    def FailWrites(self, fail):
        Char.fail_writes = bool(fail)
    @dbus.service.method('org.orvex.FakeBluez', out_signature='a(oays)')
    def Writes(self):
        return [(dbus.ObjectPath(p), dbus.ByteArray(v), t) for p, v, t in writes]
    @dbus.service.method('org.orvex.FakeBluez', out_signature='as')
    def Events(self):
        return events

def uuid(short):
    return '0000%04x-0000-1000-8000-00805f9b34fb' % short

root = Root(bus, '/')
Obj('/org/bluez/hci0', {'org.bluez.Adapter1': {'Address': 'AA:AA:AA:AA:AA:AA', 'Powered': True}})
pad = '/org/bluez/hci0/dev_C0_FF_EE_00_00_01'
Obj(pad, {'org.bluez.Device1': {'Address': 'C0:FF:EE:00:00:01', 'Alias': 'Pad', 'Connected': True,
                                'Modalias': 'usb:v045Ep0B13d0001'}})
Obj(pad + '/service000c', {'org.bluez.GattService1': {'UUID': uuid(0xfee0), 'Device': dbus.ObjectPath(pad),
                                                      'Primary': True}})
Char(pad + '/service000c/char000d', {CHAR: {'UUID': uuid(0xfee3), 'Service': dbus.ObjectPath(pad + '/service000c'),
                                            'Flags': dbus.Array(['read', 'write'], signature='s'),
                                            'Value': dbus.Array([], signature='y')}})
Char(pad + '/service000c/char000f', {CHAR: {'UUID': uuid(0xfee4), 'Service': dbus.ObjectPath(pad + '/service000c'),
                                            'Flags': dbus.Array(['notify'], signature='s'),
                                            'Value': dbus.Array([], signature='y')}})
Desc(pad + '/service000c/char000f/desc0011',
     {'org.bluez.GattDescriptor1': {'UUID': uuid(0x2901),
                                    'Characteristic': dbus.ObjectPath(pad + '/service000c/char000f')}})
other = '/org/bluez/hci0/dev_11_22_33_44_55_66'
Obj(other, {'org.bluez.Device1': {'Address': '11:22:33:44:55:66', 'Name': 'Other', 'Connected': False}})
Obj(other + '/service0010', {'org.bluez.GattService1': {'UUID': uuid(0x180f), 'Device': dbus.ObjectPath(other),
                                                        'Primary': True}})
name = dbus.service.BusName('org.bluez', bus)
print('ready', flush=True)
GLib.MainLoop().run()
)PY";

const std::string kPad = "/org/bluez/hci0/dev_C0_FF_EE_00_00_01";

bool Has(const std::string& program) {
    return access(program.c_str(), X_OK) == 0;
}

bool WaitForOutput(ChildProcess& process, const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (process.Stdout().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

class TheBluezStack : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Has(kDaemon)) GTEST_SKIP() << kDaemon << " is missing: no private bus for a fake BlueZ";
        if (RunToEnd({kPython, "-c", "import dbus, dbus.mainloop.glib; from gi.repository import GLib"}, 30s).status !=
            0)
            GTEST_SKIP() << kPython << " lacks python3-dbus or GLib bindings: no fake BlueZ";
        std::string config = kBusConfig;
        config.replace(config.find("@DIR@"), 5, m_dir.path());
        std::ofstream(m_dir.path() + "/bus.conf") << config;
        std::ofstream(m_dir.path() + "/fake_bluez.py") << kFakeBluez;
        m_daemon = std::make_unique<ChildProcess>(std::vector<std::string>{
            kDaemon, "--config-file=" + m_dir.path() + "/bus.conf", "--nofork", "--print-address=1"});
        ASSERT_TRUE(m_daemon->Started());
        ASSERT_TRUE(WaitForOutput(*m_daemon, "\n", kWait)) << m_daemon->Stderr();
        m_address = m_daemon->Stdout();
        m_address.erase(m_address.find('\n'));
        m_fake = std::make_unique<ChildProcess>(
            std::vector<std::string>{kPython, m_dir.path() + "/fake_bluez.py", m_address});
        ASSERT_TRUE(WaitForOutput(*m_fake, "ready", kWait)) << m_fake->Stderr();
        m_control = sdbus::createSessionBusConnectionWithAddress(m_address);
        m_proxy = sdbus::createProxy(*m_control, "org.bluez", "/");
    }
    void TearDown() override {
        m_proxy.reset();
        m_control.reset();
        m_fake.reset();
        m_daemon.reset();
    }

    std::vector<std::string> Events() {
        std::vector<std::string> events;
        m_proxy->callMethod("Events").onInterface("org.orvex.FakeBluez").storeResultsTo(events);
        return events;
    }
    std::vector<sdbus::Struct<sdbus::ObjectPath, std::vector<uint8_t>, std::string>> Writes() {
        std::vector<sdbus::Struct<sdbus::ObjectPath, std::vector<uint8_t>, std::string>> writes;
        m_proxy->callMethod("Writes").onInterface("org.orvex.FakeBluez").storeResultsTo(writes);
        return writes;
    }
    void Notify(const std::string& path, const std::vector<uint8_t>& value) {
        m_proxy->callMethod("Notify").onInterface("org.orvex.FakeBluez").withArguments(sdbus::ObjectPath(path), value);
    }

    TempDir m_dir;
    std::unique_ptr<ChildProcess> m_daemon, m_fake;
    std::string m_address;
    std::unique_ptr<sdbus::IConnection> m_control;
    std::unique_ptr<sdbus::IProxy> m_proxy;
};

const std::string kPadInterface =
    "BTHLEDEVICE\\{0000FEE0-0000-1000-8000-00805F9B34FB}_DEV_VID&02045E_PID&0B13_REV&0001_C0FFEE000001\\" + kPad +
    "/service000c";

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
        slots.WaitForConnect();
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
        EXPECT_EQ(std::string(writes[0].get<0>()), kPad + "/service000c/char000d");
        EXPECT_EQ(writes[0].get<1>(), bytes);
        EXPECT_EQ(writes[0].get<2>(), "request");
        EXPECT_EQ(logs.CountLine("Write Success!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\r\n"), 1u);

        m_proxy->callMethod("FailWrites").onInterface("org.orvex.FakeBluez").withArguments(true);
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
