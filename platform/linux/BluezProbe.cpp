#include "platform/linux/BluezProbe.h"

#include <sdbus-c++/sdbus-c++.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/Text.h"
#include "platform/linux/BluezBus.h"

namespace orvex {

namespace {

using bluez::Get;
using bluez::Interfaces;
using bluez::ManagedObjects;
using bluez::Properties;

const Properties* Find(const Interfaces& interfaces, const char* name) {
    auto it = interfaces.find(name);
    return it == interfaces.end() ? nullptr : &it->second;
}

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
        auto connection = busAddress.empty() ? sdbus::createSystemBusConnection()
                                             : sdbus::createSessionBusConnectionWithAddress(busAddress);
        auto proxy = sdbus::createProxy(*connection, "org.bluez", "/");
        proxy->callMethod("GetManagedObjects")
            .onInterface("org.freedesktop.DBus.ObjectManager")
            .withTimeout(timeout)
            .storeResultsTo(managed);
    } catch (const sdbus::Error& e) {
        snapshot.error = e.getName() + ": " + e.getMessage();
        return snapshot;
    }
    snapshot.answered = true;

    std::map<std::string, BleDeviceInfo*> byPath;
    std::map<std::string, std::string> serviceDevice;  // service path -> device path
    for (const auto& [path, interfaces] : managed) {
        if (const Properties* adapter = Find(interfaces, "org.bluez.Adapter1")) {
            BleAdapterInfo info;
            info.path = path;
            Get(*adapter, "Address", &info.address);
            Get(*adapter, "Powered", &info.powered);
            snapshot.adapters.push_back(info);
        }
        if (const Properties* device = Find(interfaces, "org.bluez.Device1")) {
            BleDeviceInfo info;
            info.path = path;
            Get(*device, "Address", &info.address);
            if (!Get(*device, "Alias", &info.name)) Get(*device, "Name", &info.name);
            Get(*device, "Paired", &info.paired);
            Get(*device, "Connected", &info.connected);
            Get(*device, "ServicesResolved", &info.services_resolved);
            std::string modalias;
            unsigned vendor = 0, product = 0;
            const size_t colon = Get(*device, "Modalias", &modalias) ? modalias.find(':') : std::string::npos;
            // "usb:v045Ep0B13d0001"
            if (colon != std::string::npos &&
                std::sscanf(modalias.c_str() + colon + 1, "v%4xp%4x", &vendor, &product) == 2) {
                info.has_ids = true;
                info.vendor_id = static_cast<uint16_t>(vendor);
                info.product_id = static_cast<uint16_t>(product);
            }
            snapshot.devices.push_back(info);
        }
        if (const Properties* service = Find(interfaces, "org.bluez.GattService1")) {
            sdbus::ObjectPath device;
            if (Get(*service, "Device", &device)) serviceDevice[path] = device;
        }
    }
    for (auto& device : snapshot.devices) byPath[device.path] = &device;
    for (const auto& [path, interfaces] : managed) {
        const Properties* characteristic = Find(interfaces, "org.bluez.GattCharacteristic1");
        if (!characteristic) continue;
        std::string uuid;
        std::vector<std::string> flags;
        sdbus::ObjectPath service;
        Get(*characteristic, "UUID", &uuid);
        Get(*characteristic, "Flags", &flags);
        if (!Get(*characteristic, "Service", &service)) continue;
        auto owner = serviceDevice.find(service);
        if (owner == serviceDevice.end()) continue;
        auto device = byPath.find(owner->second);
        if (device == byPath.end()) continue;
        if (IsShortUuid(uuid, 0xFEE3) && Has(flags, "write")) device->second->write_characteristic = true;
        if (IsShortUuid(uuid, 0xFEE4) && Has(flags, "notify")) device->second->notify_characteristic = true;
    }
    return snapshot;
}

}  // namespace orvex
