#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/HidrawApi.h"
#include "platform/linux/HidrawSysfs.h"
#include "platform/linux/NodeAccess.h"

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

// The whole open path: the node opened by its devnode, its descriptor read
// from the tree, its reports filtered. A FIFO stands in for the node.
TEST_F(ASysfsTree, OpensANodeThatReturnsOnlyTheReportsOfTheEntrysCollection) {
    UsbDevice(kOtherReceiver);
    UsbInterface(std::string(kOtherReceiver) + "/1-3:1.0");
    // 0xFF00/0x0001 with input report 5, then 0xFF01/0x0002 with report 6.
    const std::string descriptor(
        "\x06\x00\xFF\x09\x01\xA1\x01\x85\x05\x09\x01\x95\x02\x75\x08\x81\x02\xC0"
        "\x06\x01\xFF\x09\x02\xA1\x01\x85\x06\x09\x01\x95\x02\x75\x08\x81\x02\xC0",
        36);
    Node(std::string(kOtherReceiver) + "/1-3:1.0/0003:1D57:1234.0007", "hidraw7", descriptor);
    MakeDirs("/dev");
    const std::string devnode = root + "/dev/hidraw7";
    ASSERT_EQ(::mkfifo(devnode.c_str(), 0600), 0);

    HidrawApi api(root);
    HidDeviceInfo entry;
    entry.path = devnode;
    entry.usage_page = 0xFF01;
    entry.usage = 0x0002;
    HidOpenError error = HidOpenError::Other;
    auto handle = api.open(entry, &error);
    ASSERT_TRUE(handle);
    EXPECT_EQ(error, HidOpenError::None);
    const int writer = ::open(devnode.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    uint8_t buffer[8] = {};
    // One report at a time: a FIFO keeps no boundaries.
    ASSERT_EQ(::write(writer, "\x05\x01\x02", 3), 3);
    EXPECT_EQ(handle->read_timeout(buffer, sizeof buffer, 0), 0);
    ASSERT_EQ(::write(writer, "\x06\x03\x04", 3), 3);
    ReaderWake wake;
    EXPECT_EQ(handle->read_wait(buffer, sizeof buffer, wake), 3);
    EXPECT_EQ(std::string(buffer, buffer + 3), "\x06\x03\x04");
    ::close(writer);

    entry.path = root + "/dev/hidraw8";
    EXPECT_EQ(api.open(entry, &error), nullptr);
    EXPECT_EQ(error, HidOpenError::NotFound);
}

TEST(AHidrawNodeName, IsTheLastPathComponent) {
    EXPECT_EQ(HidrawNodeName("/dev/hidraw12"), "hidraw12");
    EXPECT_EQ(HidrawNodeName("hidraw0"), "hidraw0");
}

// The kernel's system.posix_acl_access value: version 2, then tag, perm, id.
std::string AclValue(const std::vector<AclEntry>& entries, uint32_t version = 2) {
    std::string value;
    auto put = [&value](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) value.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    put(version, 4);
    for (const auto& e : entries) {
        put(e.tag, 2);
        put(e.perm, 2);
        put(e.id, 4);
    }
    return value;
}

// What udev gives the seat user: a named entry next to the owner's.
const std::vector<AclEntry> kSeatAcl = {{AclEntry::UserObj, 6, 0},
                                        {AclEntry::User, 6, 424242},
                                        {AclEntry::GroupObj, 0, 0},
                                        {AclEntry::Mask, 6, 0},
                                        {AclEntry::Other, 0, 0}};

TEST(APosixAcl, DecodesTheKernelsAttributeAndRefusesAnythingElse) {
    std::vector<AclEntry> entries;
    const std::string good = AclValue(kSeatAcl);
    ASSERT_TRUE(DecodePosixAcl(reinterpret_cast<const uint8_t*>(good.data()), good.size(), &entries));
    EXPECT_EQ(FormatAcl(entries), "user::rw-,user:424242:rw-,group::---,mask::rw-,other::---");

    const std::string bad[] = {
        AclValue(kSeatAcl, 1),            // another version
        good.substr(0, good.size() - 1),  // an entry cut short
        good.substr(0, 3),                // no version word
        AclValue({{0x40, 6, 0}}),         // no such tag
    };
    for (const auto& value : bad) {
        EXPECT_FALSE(DecodePosixAcl(reinterpret_cast<const uint8_t*>(value.data()), value.size(), &entries));
        EXPECT_TRUE(entries.empty());
    }
}

TEST_F(ASysfsTree, ReportsOwnerModeAclUdevTagAndWhereTheRuleIsInstalled) {
    const std::string hid = std::string(kReceiver) + "/1-2:1.0/0003:1D57:FA60.0004";
    UsbDevice(kReceiver);
    UsbInterface(std::string(kReceiver) + "/1-2:1.0");
    Node(hid, "hidraw4");
    Write("/class/hidraw/hidraw4/dev", "241:4\n");
    MakeDirs("/dev");
    const std::string devnode = root + "/dev/hidraw4";
    Write("/dev/hidraw4", "");
    ASSERT_EQ(::chmod(devnode.c_str(), 0600), 0);
    const std::string acl = AclValue(kSeatAcl);
    if (::setxattr(devnode.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
        GTEST_SKIP() << "the file system of " << root << " keeps no ACLs: " << std::strerror(errno);
    MakeDirs("/run/udev/data");
    Write("/run/udev/data/c241:4", "I:1234\nG:uaccess\nQ:uaccess\nV:1\n");
    // /lib is /usr/lib on a merged /usr: one rule, named once.
    MakeDirs("/usr/lib/udev/rules.d");
    Write("/usr/lib/udev/rules.d/70-orvex-bridge.rules", "# rule\n");
    ASSERT_EQ(::symlink((root + "/usr/lib").c_str(), (root + "/lib").c_str()), 0);

    UdevPaths paths;
    paths.sysfs_root = root;
    paths.udev_data_dir = root + "/run/udev/data";
    paths.rule_dirs = {root + "/etc/udev/rules.d", root + "/usr/lib/udev/rules.d", root + "/lib/udev/rules.d"};
    const NodeAccess seat = InspectNodeAccess(devnode, paths, 424242);
    EXPECT_TRUE(seat.exists);
    EXPECT_EQ(seat.owner, ::geteuid());
    EXPECT_EQ(seat.mode, 0660u);  // the group bits show the ACL's mask
    EXPECT_EQ(seat.acl, "user::rw-,user:424242:rw-,group::---,mask::rw-,other::---");
    EXPECT_TRUE(seat.acl_grants_user);
    EXPECT_TRUE(seat.udev_known);
    EXPECT_TRUE(seat.tagged_uaccess);
    EXPECT_EQ(seat.rule_installed_in, std::vector<std::string>{root + "/usr/lib/udev/rules.d"});
    EXPECT_EQ(seat.can_open, ::access(devnode.c_str(), R_OK | W_OK) == 0);
    EXPECT_EQ(seat.fix.empty(), seat.can_open);

    EXPECT_FALSE(InspectNodeAccess(devnode, paths, 424243).acl_grants_user);
    Write("/run/udev/data/c241:4", "I:1234\n");
    EXPECT_FALSE(InspectNodeAccess(devnode, paths, 424242).tagged_uaccess);
    EXPECT_FALSE(InspectNodeAccess(root + "/dev/hidraw9", paths, 424242).exists);
}

TEST(ANodeAccessFix, NamesTheMostLikelyCauseFirst) {
    const struct {
        int error;
        bool installed, tagged, granted;
        const char* fix;
    } cases[] = {
        {EACCES, false, false, false, "install the udev rule"},
        {EACCES, false, true, true, "install the udev rule"},
        {EACCES, true, false, false, "the udev rule is installed but was not applied to this node"},
        {EPERM, true, true, false, "udev gives the node to the user of the active local session only"},
        {EACCES, true, true, true, "ask the administrator"},
        {ENXIO, false, false, false, "re-plug the device"},
    };
    for (const auto& c : cases) {
        NodeAccess access;
        if (c.installed) access.rule_installed_in = {"/usr/lib/udev/rules.d"};
        access.tagged_uaccess = c.tagged;
        access.acl_grants_user = c.granted;
        EXPECT_EQ(ChooseNodeAccessFix(access, c.error).rfind(c.fix, 0), 0u) << c.fix;
    }
}

}  // namespace
}  // namespace orvex
