// Turning one hidraw uevent into a DeviceChange. Kept apart from the monitor so
// that recorded property sets can be checked without a udev socket.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/DeviceMonitor.h"

namespace orvex {

// The ids of the HID device that a hidraw node belongs to.
struct HidDevpathIds {
    uint16_t bus = 0;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
};

// Finds the HID device's "BBBB:VVVV:PPPP.NNNN" component in a DEVPATH. The
// component nearest to the node wins: a receiver can carry its paired devices
// as HID children of its own HID device. Empty when there is none.
std::optional<HidDevpathIds> ParseHidDevpath(const std::string& devpath);

// What a uevent tells, by property name (ACTION, DEVPATH, SUBSYSTEM, DEVNAME).
using UeventLookup = std::function<std::string(const std::string& name)>;

// The change an event stands for: "add" is an arrival, "remove" a removal;
// other actions, other subsystems, events without a node name and nodes
// outside a HID device give nothing. The ids come from DEVPATH alone because a
// removal arrives after sysfs has forgotten the device.
std::optional<DeviceChange> DeviceChangeFromUevent(const UeventLookup& property);

// The same from a recorded property set, one "NAME=value" per line (the form
// of `udevadm monitor --property` and of a uevent file).
std::map<std::string, std::string> ParseUeventProperties(const std::string& text);
std::optional<DeviceChange> DeviceChangeFromProperties(const std::map<std::string, std::string>& properties);

}  // namespace orvex
