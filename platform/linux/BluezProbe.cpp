#include "platform/linux/BluezProbe.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/Text.h"
#include "platform/linux/BluezBus.h"
#include "platform/linux/BluezObjects.h"
#include "platform/linux/DBus.h"

namespace orvex {

namespace {

using bluez::Get;
using bluez::ManagedObjects;

// "0000fee3-0000-1000-8000-00805f9b34fb" is 0xFEE3.
bool IsShortUuid(const std::string& uuid, uint32_t value) {
    char expected[16];
    std::snprintf(expected, sizeof expected, "%08x-", value);
    return AsciiLower(uuid.substr(0, 9)) == expected;
}

bool Has(const std::vector<std::string>& flags, const char* flag) {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

}  // namespace

BleSnapshot ProbeBluez(const std::string& busAddress, std::chrono::milliseconds timeout) {
    BleSnapshot snapshot;
    snapshot.where = bluez::SystemBusAddress(busAddress);
    // A connection that fails to start leaves its bus object behind in the
    // D-Bus library; a missing socket is plain to see without one.
    const std::string socket = bluez::UnixSocketOf(snapshot.where);
    struct stat info {};
    if (!socket.empty() && stat(socket.c_str(), &info) != 0) {
        snapshot.error = "no bus at " + snapshot.where + " (" + std::strerror(errno) + ")";
        return snapshot;
    }

    ManagedObjects managed;
    try {
        auto connection = busAddress.empty() ? dbus::SystemBus() : dbus::BusAt(busAddress);
        auto proxy = dbus::CreateProxy(*connection, bluez::kBluez, "/");
        proxy->callMethod("GetManagedObjects")
            .onInterface(bluez::kObjectManager)
            .withTimeout(timeout)
            .storeResultsTo(managed);
    } catch (const sdbus::Error& e) {
        snapshot.error = e.getName() + ": " + e.getMessage();
        return snapshot;
    }
    snapshot.answered = true;

    bluez::Objects objects;
    for (const auto& [path, interfaces] : managed) {
        objects.Add(path, interfaces);
        auto adapter = interfaces.find(bluez::kAdapter);
        if (adapter == interfaces.end()) continue;
        BleAdapterInfo info;
        info.path = path;
        Get(adapter->second, "Address", &info.address);
        Get(adapter->second, "Powered", &info.powered);
        snapshot.adapters.push_back(info);
    }
    std::map<std::string, BleDeviceInfo*> byPath;
    for (const auto& [path, device] : objects.devices) {
        BleDeviceInfo info;
        info.path = path;
        info.address = device.address;
        info.name = device.has_alias ? device.alias : device.name;
        info.paired = device.paired;
        info.connected = device.connected;
        info.services_resolved = device.services_resolved;
        info.has_ids = device.has_ids;
        info.vendor_id = static_cast<uint16_t>(device.has_ids ? device.vendor : 0);
        info.product_id = static_cast<uint16_t>(device.has_ids ? device.product : 0);
        snapshot.devices.push_back(info);
    }
    for (auto& device : snapshot.devices) byPath[device.path] = &device;
    for (const auto& [path, characteristic] : objects.characteristics) {
        auto service = objects.services.find(characteristic.service);
        if (service == objects.services.end()) continue;
        auto device = byPath.find(service->second.device);
        if (device == byPath.end()) continue;
        const std::string& uuid = characteristic.uuid;
        if (IsShortUuid(uuid, 0xFEE3) && Has(characteristic.flags, "write"))
            device->second->write_characteristic = true;
        if (IsShortUuid(uuid, 0xFEE4) && Has(characteristic.flags, "notify"))
            device->second->notify_characteristic = true;
    }
    return snapshot;
}

}  // namespace orvex
