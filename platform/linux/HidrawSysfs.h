// What sysfs tells about a hidraw node: the pairing key of its device and its
// report descriptor. The root is a parameter so that tests can build a tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvex {

constexpr const char* kSysfsRoot = "/sys";

// "hidraw3" of "/dev/hidraw3" (the part after the last '/').
std::string HidrawNodeName(const std::string& devnode);

// Equal for every node of one physical device, different between devices:
// the sysfs path of the nearest usb_device above the node; where there is none
// (Bluetooth, uhid), the HID device's own directory ("…/0005:045E:0B13.0003").
// When sysfs knows nothing of the node, the devnode itself, which at least
// pairs the collections of one interface.
std::string HidrawPairingKey(const std::string& sysfsRoot, const std::string& devnode);

// The node's report descriptor; false when it cannot be read.
bool ReadHidrawReportDescriptor(const std::string& sysfsRoot, const std::string& devnode,
                                std::vector<uint8_t>* descriptor);

}  // namespace orvex
