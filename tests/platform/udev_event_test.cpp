// DEVPATH parsing and event filtering from recorded uevent property sets of
// USB and Bluetooth hidraw nodes.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/HidApi.h"
#include "platform/linux/UdevEvent.h"
#include "support/Fakes.h"

namespace orvex {
namespace {

std::string DataFile(const std::string& name) {
    std::string dir = __FILE__;
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../data/udev/" + name;
}

std::map<std::string, std::string> LoadRecorded(const std::string& name) {
    std::ifstream in(DataFile(name));
    std::stringstream text;
    text << in.rdbuf();
    return ParseUeventProperties(text.str());
}

struct RecordedCase {
    const char* file;
    const char* change;  // as test::Describe gives it; "" for none
};

void PrintTo(const RecordedCase& c, std::ostream* os) {
    *os << c.file;
}

class ARecordedHidrawEvent : public ::testing::TestWithParam<RecordedCase> {};

TEST_P(ARecordedHidrawEvent, BecomesTheExpectedDeviceChange) {
    const RecordedCase& c = GetParam();
    const auto properties = LoadRecorded(c.file);
    ASSERT_FALSE(properties.empty()) << "missing test data " << DataFile(c.file);
    const auto change = DeviceChangeFromProperties(properties);
    EXPECT_EQ(change ? test::Describe(*change) : "", c.change);
}

INSTANTIATE_TEST_SUITE_P(
    UsbAndBluetoothNodes, ARecordedHidrawEvent,
    ::testing::Values(RecordedCase{"usb_fa60_add.uevent", "arrival /dev/hidraw3 bus 0003 1d57:fa60"},
                      // sysfs is gone when a removal arrives; DEVPATH still names the ids.
                      RecordedCase{"usb_fa65_remove.uevent", "removal /dev/hidraw5 bus 0003 1d57:fa65"},
                      RecordedCase{"usb_wired_add.uevent", "arrival /dev/hidraw4 bus 0003 1d57:ad03"},
                      RecordedCase{"bt_classic_add.uevent", "arrival /dev/hidraw6 bus 0005 045e:0b13"},
                      RecordedCase{"ble_uhid_remove.uevent", "removal /dev/hidraw7 bus 0005 045e:0b13"},
                      // A receiver's paired device is a HID child of the receiver's HID device.
                      RecordedCase{"receiver_child_add.uevent", "arrival /dev/hidraw2 bus 0003 1d57:fa71"},
                      // The kernel's own form names the node relative to /dev.
                      RecordedCase{"kernel_fa60_add.uevent", "arrival /dev/hidraw3 bus 0003 1d57:fa60"},
                      RecordedCase{"usb_fa60_change.uevent", ""}, RecordedCase{"input_event_add.uevent", ""},
                      RecordedCase{"uhid_no_hid_parent_add.uevent", ""}));

struct DevpathCase {
    const char* devpath;
    bool found;
    uint16_t bus, vendor, product;
};

class ADevpath : public ::testing::TestWithParam<DevpathCase> {};

TEST_P(ADevpath, YieldsTheIdsOfItsNearestHidComponentOnly) {
    const DevpathCase& c = GetParam();
    const auto ids = ParseHidDevpath(c.devpath);
    ASSERT_EQ(ids.has_value(), c.found) << c.devpath;
    if (!c.found) return;
    EXPECT_EQ(ids->bus, c.bus);
    EXPECT_EQ(ids->vendor_id, c.vendor);
    EXPECT_EQ(ids->product_id, c.product);
}

INSTANTIATE_TEST_SUITE_P(
    WellAndBadlyFormed, ADevpath,
    ::testing::Values(DevpathCase{"/devices/x/0003:1d57:fa60.0001/hidraw/hidraw0", true, 3, 0x1D57, 0xFA60},
                      DevpathCase{"/devices/x/0018:1D57:0102.00AF1/hidraw/hidraw0", true, 0x18, 0x1D57, 0x0102},
                      DevpathCase{"0003:1D57:FA60.0001", true, 3, 0x1D57, 0xFA60},
                      DevpathCase{"/devices/x/0003:1D57:FA60.0001/", true, 3, 0x1D57, 0xFA60},
                      DevpathCase{"", false, 0, 0, 0},
                      DevpathCase{"/devices/x/0003:1D57:FA6.0001/hidraw/hidraw0", false, 0, 0, 0},
                      DevpathCase{"/devices/x/0003:1D57:FA600.001/hidraw/hidraw0", false, 0, 0, 0},
                      DevpathCase{"/devices/x/0003:1D57:FA60:0001/hidraw/hidraw0", false, 0, 0, 0},
                      DevpathCase{"/devices/x/0003:1D57:FA60./hidraw/hidraw0", false, 0, 0, 0},
                      DevpathCase{"/devices/x/0003:1D57:FA60.000/hidraw/hidraw0", false, 0, 0, 0},
                      DevpathCase{"/devices/x/zz03:1D57:FA60.0001/hidraw/hidraw0", false, 0, 0, 0},
                      DevpathCase{"/devices/x/0003:1D57:FA60.00G1/hidraw/hidraw0", false, 0, 0, 0},
                      DevpathCase{"/devices/x/-003:1D57:FA60.0001/hidraw/hidraw0", false, 0, 0, 0},
                      DevpathCase{"/devices/x/0003:1D57:FA60.0001x/hidraw/hidraw0", false, 0, 0, 0}));

TEST(AHidrawEvent, WithoutNodeNameOrDevpathIsDropped) {
    for (const char* name : {"DEVNAME", "DEVPATH", "ACTION"}) {
        auto properties = LoadRecorded("usb_fa60_add.uevent");
        properties.erase(name);
        EXPECT_FALSE(DeviceChangeFromProperties(properties).has_value()) << name;
    }
}

TEST(ARecordedPropertySet, KeepsEqualsSignsInValuesAndIgnoresLinesWithoutName) {
    const auto properties = ParseUeventProperties("A=b=c\r\n=x\nnoequals\nEMPTY=\nLAST=1");
    EXPECT_EQ(properties.size(), 3u);
    EXPECT_EQ(properties.at("A"), "b=c");
    EXPECT_EQ(properties.at("EMPTY"), "");
    EXPECT_EQ(properties.at("LAST"), "1");
}

}  // namespace
}  // namespace orvex
