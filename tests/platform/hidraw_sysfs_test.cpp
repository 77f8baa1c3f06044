#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/HidrawSysfs.h"

namespace orvex {
namespace {

// A sysfs tree in a temporary directory, shaped as the kernel lays it out:
// /class/hidraw/hidrawN links into /devices, the HID device directory sits
// below its USB interface, the interface below its usb_device.
class ASysfsTree : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/orvex-sysfs-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        char resolved[PATH_MAX];
        ASSERT_NE(::realpath(pattern, resolved), nullptr);
        root = resolved;
        MakeDirs("/class/hidraw");
        MakeDirs("/devices");
    }
    void TearDown() override {
        if (!root.empty()) std::system(("rm -rf '" + root + "'").c_str());
    }

    void MakeDirs(const std::string& relative) {
        std::string path = root;
        size_t start = 1;
        while (start <= relative.size()) {
            size_t end = relative.find('/', start);
            if (end == std::string::npos) end = relative.size();
            path = root + relative.substr(0, end);
            ::mkdir(path.c_str(), 0755);
            start = end + 1;
        }
    }
    void Write(const std::string& relative, const std::string& content) {
        std::ofstream(root + relative, std::ios::binary) << content;
    }
    void UsbDevice(const std::string& dir) {
        MakeDirs(dir);
        Write(dir + "/uevent", "MAJOR=189\nMINOR=3\nDEVNAME=bus/usb/001/004\nDEVTYPE=usb_device\nDRIVER=usb\n");
    }
    void UsbInterface(const std::string& dir) {
        MakeDirs(dir);
        Write(dir + "/uevent", "DEVTYPE=usb_interface\nDRIVER=usbhid\n");
    }
    // Puts hidrawN below hidDir and links it from /class/hidraw.
    void Node(const std::string& hidDir, const std::string& name, const std::string& descriptor = "") {
        MakeDirs(hidDir + "/hidraw/" + name);
        Write(hidDir + "/uevent", "DRIVER=hid-generic\n");
        Write(hidDir + "/report_descriptor", descriptor);
        ASSERT_EQ(::symlink((root + hidDir + "/hidraw/" + name).c_str(), (root + "/class/hidraw/" + name).c_str()), 0);
        ASSERT_EQ(::symlink((root + hidDir).c_str(), (root + hidDir + "/hidraw/" + name + "/device").c_str()), 0);
    }

    std::string root;
};

constexpr const char* kReceiver = "/devices/pci0000:00/0000:00:14.0/usb1/1-2";
constexpr const char* kOtherReceiver = "/devices/pci0000:00/0000:00:14.0/usb1/1-3";

TEST_F(ASysfsTree, GivesEveryNodeOfOneUsbDeviceTheSameKey) {
    UsbDevice(kReceiver);
    UsbInterface(std::string(kReceiver) + "/1-2:1.0");
    UsbInterface(std::string(kReceiver) + "/1-2:1.1");
    Node(std::string(kReceiver) + "/1-2:1.0/0003:1D57:FA65.0001", "hidraw0");
    Node(std::string(kReceiver) + "/1-2:1.1/0003:1D57:FA65.0002", "hidraw1");

    EXPECT_EQ(HidrawPairingKey(root, "/dev/hidraw0"), root + kReceiver);
    EXPECT_EQ(HidrawPairingKey(root, "/dev/hidraw1"), root + kReceiver);
}

TEST_F(ASysfsTree, GivesTwoUsbDevicesDifferentKeysEvenBehindOneHub) {
    UsbDevice("/devices/pci0000:00/0000:00:14.0/usb1/1-4");  // a hub
    const std::string first = "/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4.1";
    const std::string second = "/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4.2";
    UsbDevice(first);
    UsbDevice(second);
    UsbInterface(first + "/1-4.1:1.0");
    UsbInterface(second + "/1-4.2:1.0");
    Node(first + "/1-4.1:1.0/0003:1D57:FA60.0003", "hidraw2");
    Node(second + "/1-4.2:1.0/0003:1D57:FA60.0004", "hidraw3");

    EXPECT_EQ(HidrawPairingKey(root, "/dev/hidraw2"), root + first);
    EXPECT_EQ(HidrawPairingKey(root, "/dev/hidraw3"), root + second);
}

TEST_F(ASysfsTree, KeysABluetoothOrUhidNodeByItsOwnHidDevice) {
    const std::string bt = "/devices/virtual/misc/uhid/0005:045E:0B13.0005";
    const std::string uhid = "/devices/virtual/misc/uhid/0003:1D57:FA60.0006";
    MakeDirs("/devices/virtual/misc/uhid");
    Write("/devices/virtual/misc/uhid/uevent", "MAJOR=10\nMINOR=239\nDEVNAME=uhid\n");
    Node(bt, "hidraw5");
    Node(uhid, "hidraw6");

    EXPECT_EQ(HidrawPairingKey(root, "/dev/hidraw5"), root + bt);
    EXPECT_EQ(HidrawPairingKey(root, "/dev/hidraw6"), root + uhid);
}

TEST_F(ASysfsTree, FallsBackToTheDevnodeForANodeItDoesNotKnow) {
    EXPECT_EQ(HidrawPairingKey(root, "/dev/hidraw9"), "/dev/hidraw9");
}

TEST_F(ASysfsTree, ReadsTheReportDescriptorOfANodeByteForByte) {
    UsbDevice(kOtherReceiver);
    UsbInterface(std::string(kOtherReceiver) + "/1-3:1.0");
    const std::string bytes("\x06\x00\xFF\x09\x01\xA1\x01\x85\x05\x81\x02\xC0\x00", 13);
    Node(std::string(kOtherReceiver) + "/1-3:1.0/0003:1D57:1234.0007", "hidraw7", bytes);

    std::vector<uint8_t> descriptor;
    ASSERT_TRUE(ReadHidrawReportDescriptor(root, "/dev/hidraw7", &descriptor));
    EXPECT_EQ(std::string(descriptor.begin(), descriptor.end()), bytes);
    EXPECT_FALSE(ReadHidrawReportDescriptor(root, "/dev/hidraw8", &descriptor));
}

TEST(AHidrawNodeName, IsTheLastPathComponent) {
    EXPECT_EQ(HidrawNodeName("/dev/hidraw12"), "hidraw12");
    EXPECT_EQ(HidrawNodeName("hidraw0"), "hidraw0");
}

}  // namespace
}  // namespace orvex
