// The copy of BlueZ's objects, filled from recorded properties without a bus,
// and the diagnostics' look at BlueZ that reads it from the fake BlueZ.
#include <gtest/gtest.h>

#include "platform/linux/BluezObjects.h"
#include "platform/linux/BluezProbe.h"
#include "support/FakeBluez.h"

namespace orvex::bluez {
namespace {

const std::string kDev = "/org/bluez/hci0/dev_C0_FF_EE_00_00_01";
const std::string kSvc = kDev + "/service000c";
const std::string kUuid = "0000fee0-0000-1000-8000-00805f9b34fb";

Objects WithDevice(const char* modalias) {
    Properties device{{"Address", sdbus::Variant(std::string("c0:ff:ee:00:00:01"))}};
    if (modalias) device["Modalias"] = sdbus::Variant(std::string(modalias));
    Objects objects;
    objects.Add(kDev, {{kDevice, device}});
    objects.Add(kSvc,
                {{kService, {{"UUID", sdbus::Variant(kUuid)}, {"Device", sdbus::Variant(sdbus::ObjectPath(kDev))}}}});
    return objects;
}

std::string NameOf(const Objects& objects) {
    return objects.InterfaceName(kSvc, objects.services.at(kSvc));
}

TEST(BluezObjects, NameServicesByTheDevicesModaliasAndAddressAsTheyChange) {
    const std::string uuid = "BTHLEDEVICE\\{0000FEE0-0000-1000-8000-00805F9B34FB}";
    const struct {
        const char* modalias;
        std::vector<std::string> invalidated;
        const char* ids;
        bool hasIds;
    } cases[] = {
        {"usb:v045Ep0B13d0001", {}, "_DEV_VID&02045E_PID&0B13_REV&0001_", true},
        {"bluetooth:v00E0p1a2bd0110", {}, "_DEV_VID&0100E0_PID&1A2B_REV&0110_", true},
        {"usb:v045E", {}, "_DEV_VID&02045E_PID&0000_REV&0000_", false},
        {nullptr, {}, "_DEV_VID&000000_PID&0000_REV&0000_", false},
        {"usb:v045Ep0B13d0001", {"Modalias"}, "_DEV_VID&000000_PID&0000_REV&0000_", false},
    };
    for (const auto& c : cases) {
        Objects objects = WithDevice(c.modalias);
        Objects::Invalidate(&objects.devices.at(kDev), c.invalidated);
        EXPECT_EQ(NameOf(objects), uuid + c.ids + "C0FFEE000001\\" + kSvc) << (c.modalias ? c.modalias : "none");
        EXPECT_EQ(objects.devices.at(kDev).has_ids, c.hasIds);
        // A service whose device went is still named, without address.
        objects.Remove(kDev, {kDevice});
        EXPECT_EQ(NameOf(objects), uuid + "_DEV_VID&000000_PID&0000_REV&0000_\\" + kSvc);
    }
}

TEST(ProbeBluez, ListsAdaptersDevicesTheirIdsAndTheVendorCharacteristics) {
    const std::string missing = test::FakeBluez::Unavailable();
    if (!missing.empty()) GTEST_SKIP() << missing;
    test::FakeBluez bluez;
    std::string error;
    ASSERT_TRUE(bluez.Start(&error)) << error;
    const BleSnapshot snapshot = ProbeBluez(bluez.address(), std::chrono::seconds(10));
    ASSERT_TRUE(snapshot.answered) << snapshot.error;
    ASSERT_EQ(snapshot.adapters.size(), 1u);
    EXPECT_EQ(snapshot.adapters[0].address, "AA:AA:AA:AA:AA:AA");
    EXPECT_TRUE(snapshot.adapters[0].powered);
    ASSERT_EQ(snapshot.devices.size(), 2u);
    const BleDeviceInfo &other = snapshot.devices[0], &pad = snapshot.devices[1];
    EXPECT_EQ(other.name, "Other");
    EXPECT_FALSE(other.has_ids || other.connected || other.write_characteristic || other.notify_characteristic);
    EXPECT_EQ(pad.path, test::kFakePad);
    EXPECT_EQ(pad.name, "Pad");
    EXPECT_TRUE(pad.has_ids && pad.connected && pad.write_characteristic && pad.notify_characteristic);
    EXPECT_EQ(pad.vendor_id, 0x045E);
    EXPECT_EQ(pad.product_id, 0x0B13);
}

}  // namespace
}  // namespace orvex::bluez
