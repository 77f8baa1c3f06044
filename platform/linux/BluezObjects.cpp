#include "platform/linux/BluezObjects.h"

#include <cstdio>

#include "platform/Text.h"

namespace orvex::bluez {

void Objects::Apply(Device* device, const Properties& properties) {
    Get(properties, "Address", &device->address);
    Get(properties, "Connected", &device->connected);
    Get(properties, "Paired", &device->paired);
    Get(properties, "ServicesResolved", &device->services_resolved);
    if (Get(properties, "Alias", &device->alias)) device->has_alias = true;
    if (Get(properties, "Name", &device->name)) device->has_name = true;
    std::string modalias;
    if (Get(properties, "Modalias", &modalias)) {
        // "usb:v045Ep0B13d0001": the source is USB (02) or Bluetooth (01).
        const size_t colon = modalias.find(':');
        const std::string source = modalias.substr(0, colon);
        device->source = source == "usb" ? 2 : source == "bluetooth" ? 1 : 0;
        device->vendor = device->product = device->version = 0;
        device->has_ids =
            colon != std::string::npos && std::sscanf(modalias.c_str() + colon + 1, "v%4xp%4xd%4x", &device->vendor,
                                                      &device->product, &device->version) >= 2;
    }
}

void Objects::Invalidate(Device* device, const std::vector<std::string>& names) {
    for (const auto& name : names) {
        if (name == "Alias") device->has_alias = false;
        if (name == "Name") device->has_name = false;
        if (name == "Modalias") {
            device->has_ids = false;
            device->source = device->vendor = device->product = device->version = 0;
        }
    }
}

void Objects::Add(const std::string& path, const Interfaces& interfaces) {
    if (auto it = interfaces.find(kDevice); it != interfaces.end()) {
        Device device;
        Apply(&device, it->second);
        devices[path] = device;
    }
    if (auto it = interfaces.find(kService); it != interfaces.end()) {
        Service service;
        Get(it->second, "UUID", &service.uuid);
        sdbus::ObjectPath device;
        if (Get(it->second, "Device", &device)) service.device = device;
        services[path] = service;
    }
    if (auto it = interfaces.find(kCharacteristic); it != interfaces.end()) {
        Characteristic characteristic;
        Get(it->second, "UUID", &characteristic.uuid);
        Get(it->second, "Flags", &characteristic.flags);
        sdbus::ObjectPath service;
        if (Get(it->second, "Service", &service)) characteristic.service = service;
        characteristics[path] = characteristic;
    }
    if (auto it = interfaces.find(kDescriptor); it != interfaces.end()) {
        Descriptor descriptor;
        Get(it->second, "UUID", &descriptor.uuid);
        sdbus::ObjectPath characteristic;
        if (Get(it->second, "Characteristic", &characteristic)) descriptor.characteristic = characteristic;
        descriptors[path] = descriptor;
    }
}

void Objects::Merge(Objects&& other) {
    for (auto& [path, object] : other.devices) devices[path] = std::move(object);
    for (auto& [path, object] : other.services) services[path] = std::move(object);
    for (auto& [path, object] : other.characteristics) characteristics[path] = std::move(object);
    for (auto& [path, object] : other.descriptors) descriptors[path] = std::move(object);
}

void Objects::Remove(const std::string& path, const std::vector<std::string>& interfaces) {
    for (const auto& interface : interfaces) {
        if (interface == kDevice) devices.erase(path);
        if (interface == kService) services.erase(path);
        if (interface == kCharacteristic) characteristics.erase(path);
        if (interface == kDescriptor) descriptors.erase(path);
    }
}

std::string Objects::InterfaceName(const std::string& path, const Service& service) const {
    auto it = devices.find(service.device);
    const Device* device = it == devices.end() ? nullptr : &it->second;
    char ids[64];
    std::snprintf(ids, sizeof ids, "_DEV_VID&%02X%04X_PID&%04X_REV&%04X_", device ? device->source : 0,
                  device ? device->vendor : 0, device ? device->product : 0, device ? device->version : 0);
    return "BTHLEDEVICE\\{" + AsciiUpper(service.uuid) + "}" + ids +
           (device ? AsciiUpper(CompactAddress(device->address)) : "") + "\\" + path;
}

}  // namespace orvex::bluez
