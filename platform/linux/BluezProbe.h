// One look at BlueZ on the system bus for the diagnostics: adapters, devices
// and whether each device offers the characteristics the bridge uses. It
// makes its own connection and one GetManagedObjects call, and keeps nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

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

struct BleSnapshot {
    bool answered = false;
    std::string where;  // the bus address, or "simulated"
    std::string error;  // why it did not answer
    std::vector<BleAdapterInfo> adapters;
    std::vector<BleDeviceInfo> devices;
};

// busAddress empty: DBUS_SYSTEM_BUS_ADDRESS, else the system bus.
BleSnapshot ProbeBluez(const std::string& busAddress, std::chrono::milliseconds timeout);

}  // namespace orvex
