// The HID seam: the calls the device manager and the command protocol make on
// hidapi, narrowed to what they use. Backends: hidapi-hidraw (platform/linux)
// and the simulator (sim/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ReaderWake.h"

namespace orvex {

constexpr uint16_t kBusUsb = 0x0003;
constexpr uint16_t kBusBluetooth = 0x0005;

// One enumeration entry: one top-level collection (usage pair) of one device.
struct HidDeviceInfo {
    std::string path;  // what DeviceChange events carry for the same node
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint16_t usage_page = 0;
    uint16_t usage = 0;
    uint16_t bus_type = 0;  // kBusUsb, kBusBluetooth, ...
    // Equal for every collection of one physical device, different between
    // devices.
    std::string pairing_key;
    // The device's serial number; for a Bluetooth device the kernel gives its
    // address ("aa:bb:cc:dd:ee:ff"). Empty when the device has none.
    std::string serial_number;
};

enum class HidOpenError { None, PermissionDenied, NotFound, Other };

// One opened collection. Results follow hidapi: negative on failure, else the
// number of bytes.
//
// Two reads, one per user: a reader thread waits for the next report with no
// time limit but must end the moment it is stopped, so it passes its wake-up;
// the command side waits a bounded time on control handles. hidapi's
// non-blocking mode and its plain read are left out: a reader that waits on
// its wake-up needs neither.
class HidDevice {
public:
    virtual ~HidDevice() = default;
    // Waits until a report arrives (its length), the wake is set (0, also
    // when a report waits too) or the device fails (negative, at once and
    // again at every later call).
    virtual int read_wait(uint8_t* data, size_t length, ReaderWake& wake) = 0;
    // Waits at most milliseconds (-1: no limit, 0: only what is waiting);
    // 0 when nothing came.
    virtual int read_timeout(uint8_t* data, size_t length, int milliseconds) = 0;
    virtual int write(const uint8_t* data, size_t length) = 0;
    virtual int send_feature_report(const uint8_t* data, size_t length) = 0;
    // data[0] holds the report id on entry.
    virtual int get_feature_report(uint8_t* data, size_t length) = 0;
};

class HidApi {
public:
    virtual ~HidApi() = default;
    virtual int init() = 0;
    // product_id 0 lists every product of the vendor.
    virtual std::vector<HidDeviceInfo> enumerate(uint16_t vendor_id, uint16_t product_id) = 0;
    // Opens the collection of one entry. Null on failure, with the reason.
    virtual std::shared_ptr<HidDevice> open(const HidDeviceInfo& entry, HidOpenError* error) = 0;
    // Whether a path this backend listed and one a DeviceChange of the same
    // system carries name the same node. Exact here: Linux names device nodes
    // case-sensitively, so two names that differ in case are two nodes.
    virtual bool same_path(const std::string& listed, const std::string& changed) const { return listed == changed; }
};

}  // namespace orvex
