// A copy of the BlueZ objects the bridge reads: devices, GATT services,
// characteristics and descriptors, by object path. It is filled from a
// GetManagedObjects answer and kept current from InterfacesAdded,
// InterfacesRemoved and a device's PropertiesChanged; it makes no call and
// knows no bus, so a recorded object list fills it as well as BlueZ does.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/linux/BluezBus.h"

namespace orvex::bluez {

constexpr const char* kAdapter = "org.bluez.Adapter1";
constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kService = "org.bluez.GattService1";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";
constexpr const char* kDescriptor = "org.bluez.GattDescriptor1";

struct Objects {
    struct Device {
        std::string address, alias, name;
        bool connected = false, has_alias = false, has_name = false;
        bool paired = false, services_resolved = false;
        // Vendor source (USB 2, Bluetooth 1), vendor, product and version
        // from the Modalias; has_ids: it named vendor and product.
        bool has_ids = false;
        unsigned source = 0, vendor = 0, product = 0, version = 0;
    };
    struct Service {
        std::string uuid, device;
    };
    struct Characteristic {
        std::string uuid, service;
        std::vector<std::string> flags;
    };
    struct Descriptor {
        std::string uuid, characteristic;
    };
    // By object path: listings come out in path order, which is stable.
    std::map<std::string, Device> devices;
    std::map<std::string, Service> services;
    std::map<std::string, Characteristic> characteristics;
    std::map<std::string, Descriptor> descriptors;

    // A device's changed and invalidated properties.
    static void Apply(Device* device, const Properties& properties);
    static void Invalidate(Device* device, const std::vector<std::string>& names);

    // The interfaces of one object, as listed or announced.
    void Add(const std::string& path, const Interfaces& interfaces);
    // Objects of other (announced ones) replace those of the same path.
    void Merge(Objects&& other);
    void Remove(const std::string& path, const std::vector<std::string>& interfaces);

    // The service's name in the seam's form (see BluezStack.h).
    std::string InterfaceName(const std::string& path, const Service& service) const;
};

}  // namespace orvex::bluez
