// The HID seam: the calls the device manager and the command protocol make on
// hidapi, narrowed to what they use. Backends: hidapi-hidraw (platform/linux)
// and the simulator (sim/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvex {

constexpr uint16_t kBusUsb = 0x0003;
constexpr uint16_t kBusBluetooth = 0x0005;

// One enumeration entry: one top-level collection (usage pair) of one device.
struct HidDeviceInfo {
    std::string path;         // what DeviceChange events carry for the same node
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint16_t usage_page = 0;
    uint16_t usage = 0;
    uint16_t bus_type = 0;    // kBusUsb, kBusBluetooth, ...
    // Equal for every collection of one physical device, different between
    // devices.
    std::string pairing_key;
    // The device's serial number; for a Bluetooth device the kernel gives its
    // address ("aa:bb:cc:dd:ee:ff"). Empty when the device has none.
    std::string serial_number;
};

enum class HidOpenError { None, PermissionDenied, NotFound, Other };

// One opened collection. Results follow hidapi: negative on failure, 0 for
// "no report waiting" on reads, else the number of bytes.
class HidDevice {
public:
    virtual ~HidDevice() = default;
    virtual int set_nonblocking(bool nonblocking) = 0;
    virtual int read(uint8_t* data, size_t length) = 0;
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
};

}  // namespace orvex
