// One look at BlueZ on the system bus for the diagnostics: adapters, devices
// and whether each device offers the characteristics the bridge uses. It
// makes its own connection and one GetManagedObjects call, and keeps nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/BleInventory.h"

namespace orvex {

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
