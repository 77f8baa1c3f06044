// What the system's Bluetooth stack reports of its adapters and of the
// devices it knows: filled by BlueZ's probe on Linux, and shown by --check on
// every system.
#pragma once

#include <cstdint>
#include <string>

namespace orvex {

struct BleAdapterInfo {
    std::string path;  // "/org/bluez/hci0"
    std::string address;
    bool powered = false;
};

struct BleDeviceInfo {
    std::string path;
    std::string address;  // "C0:FF:EE:00:00:01"
    std::string name;
    bool has_ids = false;  // vendor and product are known (Modalias)
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    bool paired = false;
    bool connected = false;
    bool services_resolved = false;
    bool write_characteristic = false;   // 0xFEE3 with the write property
    bool notify_characteristic = false;  // 0xFEE4 with the notify property
};

}  // namespace orvex
