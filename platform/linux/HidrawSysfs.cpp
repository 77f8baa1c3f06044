#include "platform/linux/HidrawSysfs.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace orvex {

namespace {

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return std::string();
    return resolved;
}

std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return std::string();
    return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "BBBB:VVVV:PPPP.NNNN", the name the kernel gives a HID device.
bool IsHidDeviceName(const std::string& name) {
    if (name.size() < 16) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (i == 4 || i == 9) {
            if (c != ':') return false;
        } else if (i == 14) {
            if (c != '.') return false;
        } else if (!IsHex(c)) {
            return false;
        }
    }
    return true;
}

bool IsUsbDevice(const std::string& dir) {
    std::ifstream uevent(dir + "/uevent");
    std::string line;
    while (std::getline(uevent, line))
        if (line == "DEVTYPE=usb_device") return true;
    return false;
}

}  // namespace

std::string HidrawNodeName(const std::string& devnode) {
    return BaseName(devnode);
}

std::string HidrawPairingKey(const std::string& sysfsRoot, const std::string& devnode) {
    const std::string node = RealPath(sysfsRoot + "/class/hidraw/" + HidrawNodeName(devnode));
    if (node.empty()) return devnode;
    const std::string devicesRoot = RealPath(sysfsRoot + "/devices");

    std::string hidDevice;
    for (std::string dir = Parent(node); !dir.empty(); dir = Parent(dir)) {
        if (IsHidDeviceName(BaseName(dir))) {
            hidDevice = dir;
            break;
        }
    }
    if (hidDevice.empty()) return node;

    for (std::string dir = Parent(hidDevice); !dir.empty() && dir.size() > devicesRoot.size(); dir = Parent(dir))
        if (IsUsbDevice(dir)) return dir;
    return hidDevice;
}

bool ReadHidrawReportDescriptor(const std::string& sysfsRoot, const std::string& devnode,
                                std::vector<uint8_t>* descriptor) {
    std::ifstream file(sysfsRoot + "/class/hidraw/" + HidrawNodeName(devnode) + "/device/report_descriptor",
                       std::ios::binary);
    if (!file) return false;
    descriptor->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

}  // namespace orvex
