#include "platform/linux/BluezStack.h"

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/Log.h"

namespace orvex {

namespace {

constexpr const char* kBluez = "org.bluez";
constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kService = "org.bluez.GattService1";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";
constexpr const char* kDescriptor = "org.bluez.GattDescriptor1";
// A write with response waits for the device over the air; far beyond that,
// a call gives up rather than holding the stack for ever.
constexpr auto kCallTimeout = std::chrono::seconds(10);
// The dispatcher looks at its stop flag at least this often.
constexpr int kMaxPollMs = 500;

using Properties = std::map<std::string, sdbus::Variant>;
using Interfaces = std::map<std::string, Properties>;
using ManagedObjects = std::map<sdbus::ObjectPath, Interfaces>;

template <typename T>
bool Get(const Properties& properties, const char* name, T* out) {
    auto it = properties.find(name);
    if (it == properties.end()) return false;
    try {
        *out = it->second.get<T>();
        return true;
    } catch (const sdbus::Error&) {
        return false;
    }
}

// The number at the end of ".../service000c", ".../char000d", ".../desc0011":
// BlueZ names GATT objects by their attribute handle.
uint16_t HandleOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string last = path.substr(slash == std::string::npos ? 0 : slash + 1);
    const size_t digits =
        last.find_first_of("0123456789abcdefABCDEF", last.find_first_not_of("abcdefghijklmnopqrstuvwxyz"));
    if (digits == std::string::npos) return 0;
    return static_cast<uint16_t>(std::strtoul(last.c_str() + digits, nullptr, 16) & 0xFFFF);
}

BleUuid UuidOf(const std::string& text) {
    // "0000fee3-0000-1000-8000-00805f9b34fb": the first group is the value.
    BleUuid uuid;
    uuid.is_short = false;
    uuid.value = static_cast<uint32_t>(std::strtoul(text.substr(0, 8).c_str(), nullptr, 16));
    return uuid;
}

BleDescriptorType DescriptorTypeOf(uint32_t uuid) {
    switch (uuid) {
        case 0x2900:
            return BleDescriptorType::CharacteristicExtendedProperties;
        case 0x2901:
            return BleDescriptorType::CharacteristicUserDescription;
        case 0x2902:
            return BleDescriptorType::ClientCharacteristicConfiguration;
        case 0x2903:
            return BleDescriptorType::ServerCharacteristicConfiguration;
        case 0x2904:
            return BleDescriptorType::CharacteristicFormat;
        case 0x2905:
            return BleDescriptorType::CharacteristicAggregateFormat;
        default:
            return BleDescriptorType::Custom;
    }
}

constexpr auto kRetryInterval = std::chrono::seconds(5);

// The socket file of a "unix:path=..." address (its first entry), else "".
std::string UnixSocketOf(const std::string& address) {
    const std::string prefix = "unix:path=";
    if (address.compare(0, prefix.size(), prefix) != 0) return "";
    const size_t end = address.find_first_of(",;", prefix.size());
    return address.substr(prefix.size(), end == std::string::npos ? std::string::npos : end - prefix.size());
}

std::string Compact(const std::string& address) {
    std::string text;
    for (char c : address)
        if (c != ':') text.push_back(c);
    return text;
}

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

}  // namespace

struct BluezStack::Objects {
    struct Device {
        std::string path, address, name;
        bool connected = false, has_name = false;
        unsigned source = 0, vendor = 0, product = 0, version = 0;
    };
    struct Service {
        std::string path, uuid, device;
    };
    struct Characteristic {
        std::string path, uuid, service;
        std::vector<std::string> flags;
    };
    struct Descriptor {
        std::string path, uuid, characteristic;
    };
    std::vector<Device> devices;
    std::vector<Service> services;
    std::vector<Characteristic> characteristics;
    std::vector<Descriptor> descriptors;

    const Device* FindDevice(const std::string& path) const {
        for (const auto& device : devices)
            if (device.path == path) return &device;
        return nullptr;
    }
    std::string InterfaceName(const Service& service) const {
        const Device* device = FindDevice(service.device);
        char ids[64];
        std::snprintf(ids, sizeof ids, "_DEV_VID&%02X%04X_PID&%04X_REV&%04X_", device ? device->source : 0,
                      device ? device->vendor : 0, device ? device->product : 0, device ? device->version : 0);
        return "BTHLEDEVICE\\{" + Upper(service.uuid) + "}" + ids + (device ? Upper(Compact(device->address)) : "") +
               "\\" + service.path;
    }
};

struct BluezStack::Registration {
    std::string path;
    BleValueChangedCallback callback = nullptr;
    void* context = nullptr;
    sdbus::Slot match;
};

class BluezStack::Service final : public BleServiceHandle {
public:
    Service(BluezStack& stack, std::string path) : m_stack(stack), m_path(std::move(path)) {}

    int GetServices(std::vector<BleGattService>* services) override {
        services->clear();
        Objects objects;
        std::lock_guard<std::mutex> lock(m_stack.m_mutex);
        if (!m_stack.ManagedObjectsLocked(&objects)) return -EIO;
        for (const auto& service : objects.services)
            if (service.path == m_path) services->push_back(BleGattService{UuidOf(service.uuid), HandleOf(m_path)});
        return services->empty() ? -ENOENT : 0;
    }

    int GetCharacteristics(const BleGattService& service, std::vector<BleGattCharacteristic>* list) override {
        list->clear();
        Objects objects;
        std::lock_guard<std::mutex> lock(m_stack.m_mutex);
        if (!m_stack.ManagedObjectsLocked(&objects)) return -EIO;
        for (const auto& c : objects.characteristics) {
            if (c.service != m_path) continue;
            auto has = [&](const char* flag) {
                return std::find(c.flags.begin(), c.flags.end(), flag) != c.flags.end();
            };
            BleGattCharacteristic characteristic;
            characteristic.service_handle = service.attribute_handle;
            characteristic.uuid = UuidOf(c.uuid);
            characteristic.attribute_handle = HandleOf(c.path);
            characteristic.value_handle = static_cast<uint16_t>(characteristic.attribute_handle + 1);
            characteristic.is_broadcastable = has("broadcast");
            characteristic.is_readable = has("read");
            characteristic.is_writable = has("write");
            characteristic.is_writable_without_response = has("write-without-response");
            characteristic.is_signed_writable = has("authenticated-signed-writes");
            characteristic.is_notifiable = has("notify");
            characteristic.is_indicatable = has("indicate");
            characteristic.has_extended_properties = has("extended-properties") || has("reliable-write");
            m_characteristics[characteristic.attribute_handle] = c.path;
            list->push_back(characteristic);
        }
        std::sort(list->begin(), list->end(),
                  [](const auto& a, const auto& b) { return a.attribute_handle < b.attribute_handle; });
        return 0;
    }

    int GetDescriptors(const BleGattCharacteristic& characteristic, std::vector<BleGattDescriptor>* list) override {
        list->clear();
        auto owner = m_characteristics.find(characteristic.attribute_handle);
        if (owner == m_characteristics.end()) return -ENOENT;
        Objects objects;
        std::lock_guard<std::mutex> lock(m_stack.m_mutex);
        if (!m_stack.ManagedObjectsLocked(&objects)) return -EIO;
        for (const auto& d : objects.descriptors) {
            if (d.characteristic != owner->second) continue;
            BleGattDescriptor descriptor;
            descriptor.service_handle = characteristic.service_handle;
            descriptor.characteristic_handle = characteristic.attribute_handle;
            descriptor.uuid = UuidOf(d.uuid);
            descriptor.type = DescriptorTypeOf(descriptor.uuid.value);
            descriptor.attribute_handle = HandleOf(d.path);
            m_descriptors[descriptor.attribute_handle] = d.path;
            list->push_back(descriptor);
        }
        std::sort(list->begin(), list->end(),
                  [](const auto& a, const auto& b) { return a.attribute_handle < b.attribute_handle; });
        return 0;
    }

    int GetDescriptorValue(const BleGattDescriptor& descriptor, std::vector<uint8_t>* value) override {
        auto it = m_descriptors.find(descriptor.attribute_handle);
        if (it == m_descriptors.end()) return -ENOENT;
        std::lock_guard<std::mutex> lock(m_stack.m_mutex);
        if (!m_stack.ConnectLocked()) return -EIO;
        int result = 0;
        try {
            auto proxy = sdbus::createProxy(*m_stack.m_connection, kBluez, it->second);
            proxy->callMethod("ReadValue")
                .onInterface(kDescriptor)
                .withTimeout(kCallTimeout)
                .withArguments(std::map<std::string, sdbus::Variant>{})
                .storeResultsTo(*value);
        } catch (const sdbus::Error& e) {
            diag_verbose("BlueZ ReadValue of " + it->second + ": " + e.getMessage());
            result = -EIO;
        }
        m_stack.Wake();
        return result;
    }

    int SubscribeToNotifications(const BleGattDescriptor& descriptor) override {
        // BlueZ owns the client configuration descriptor and sets it itself
        // on StartNotify. Any other descriptor must not receive its value.
        return descriptor.type == BleDescriptorType::ClientCharacteristicConfiguration ? 0 : -EPERM;
    }

    int RegisterValueChanged(const BleGattCharacteristic& characteristic, BleValueChangedCallback callback,
                             void* context, BleEventHandle* handle) override {
        auto it = m_characteristics.find(characteristic.attribute_handle);
        if (it == m_characteristics.end() || !callback) return -ENOENT;
        std::lock_guard<std::mutex> lock(m_stack.m_mutex);
        if (!m_stack.ConnectLocked()) return -EIO;
        auto registration = std::make_unique<Registration>();
        registration->path = it->second;
        registration->callback = callback;
        registration->context = context;
        Registration* raw = registration.get();
        int result = 0;
        try {
            // Runs on the dispatcher under the stack's lock; the registration
            // is destroyed only under that lock, with its match.
            registration->match = m_stack.m_connection->addMatch(
                "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',path='" +
                    raw->path + "',arg0='" + kCharacteristic + "'",
                [raw](sdbus::Message& message) {
                    try {
                        std::string interface;
                        Properties changed;
                        message >> interface >> changed;
                        std::vector<uint8_t> value;
                        if (!Get(changed, "Value", &value)) return;
                        raw->callback(value.data(), value.size(), raw->context);
                    } catch (const std::exception& e) {
                        diag_verbose(std::string("BlueZ notification: ") + e.what());
                    }
                });
            auto proxy = sdbus::createProxy(*m_stack.m_connection, kBluez, raw->path);
            proxy->callMethod("StartNotify").onInterface(kCharacteristic).withTimeout(kCallTimeout);
            const BleEventHandle id = m_stack.m_nextHandle++;
            m_stack.m_registrations[id] = std::move(registration);
            *handle = id;
        } catch (const sdbus::Error& e) {
            diag_verbose("BlueZ StartNotify of " + raw->path + ": " + e.getMessage());
            result = -EIO;
        }
        m_stack.Wake();
        return result;
    }

    int WriteCharacteristic(const BleGattCharacteristic& characteristic, const uint8_t* data, size_t length) override {
        auto it = m_characteristics.find(characteristic.attribute_handle);
        if (it == m_characteristics.end()) return -ENOENT;
        std::lock_guard<std::mutex> lock(m_stack.m_mutex);
        if (!m_stack.ConnectLocked()) return -EIO;
        int result = 0;
        try {
            auto proxy = sdbus::createProxy(*m_stack.m_connection, kBluez, it->second);
            std::map<std::string, sdbus::Variant> options{{"type", sdbus::Variant(std::string("request"))}};
            proxy->callMethod("WriteValue")
                .onInterface(kCharacteristic)
                .withTimeout(kCallTimeout)
                .withArguments(std::vector<uint8_t>(data, data + length), options);
        } catch (const sdbus::Error& e) {
            diag_verbose("BlueZ WriteValue of " + it->second + ": " + e.getMessage());
            result = -EIO;
        }
        m_stack.Wake();
        return result;
    }

private:
    BluezStack& m_stack;
    const std::string m_path;
    // Object paths of what this handle has listed, by attribute handle.
    std::map<uint16_t, std::string> m_characteristics;
    std::map<uint16_t, std::string> m_descriptors;
};

BluezStack::BluezStack(std::string busAddress) : m_busAddress(std::move(busAddress)) {
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

BluezStack::~BluezStack() {
    m_stop = true;
    Wake();
    if (m_dispatcher.joinable()) m_dispatcher.join();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_registrations.clear();
        m_connection.reset();
    }
    if (m_wakeFd >= 0) close(m_wakeFd);
}

std::string BluezStack::BusAddress() const {
    if (!m_busAddress.empty()) return m_busAddress;
    const char* system = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return system && *system ? system : "unix:path=/run/dbus/system_bus_socket";
}

void BluezStack::Unavailable(const std::string& why) {
    if (m_reportedUnavailable) {
        diag_verbose("BLE unavailable: " + why);
        return;
    }
    m_reportedUnavailable = true;
    diag_error("BLE unavailable: " + why);
}

bool BluezStack::ConnectLocked() {
    if (m_connection) return true;
    if (m_wakeFd < 0) {
        Unavailable("cannot create an event descriptor");
        return false;
    }
    // The library keeps the bus object of every connection that fails to
    // start, so a missing bus is not asked again at every BLE operation.
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextAttempt) return false;
    m_nextAttempt = now + kRetryInterval;
    const std::string address = BusAddress();
    const std::string socket = UnixSocketOf(address);
    struct stat info {};
    if (!socket.empty() && stat(socket.c_str(), &info) != 0) {
        Unavailable("no bus at " + address + ": " + std::strerror(errno));
        return false;
    }
    try {
        m_connection = m_busAddress.empty() ? sdbus::createSystemBusConnection()
                                            : sdbus::createSessionBusConnectionWithAddress(m_busAddress);
    } catch (const sdbus::Error& e) {
        Unavailable("cannot connect to the system bus: " + e.getMessage());
        return false;
    }
    m_dispatcher = std::thread([this] { Dispatch(); });
    return true;
}

bool BluezStack::ManagedObjectsLocked(Objects* objects) {
    if (!ConnectLocked()) return false;
    ManagedObjects managed;
    try {
        auto proxy = sdbus::createProxy(*m_connection, kBluez, "/");
        proxy->callMethod("GetManagedObjects")
            .onInterface("org.freedesktop.DBus.ObjectManager")
            .withTimeout(kCallTimeout)
            .storeResultsTo(managed);
    } catch (const sdbus::Error& e) {
        Wake();
        Unavailable("BlueZ does not answer: " + e.getMessage());
        return false;
    }
    Wake();
    // BlueZ is back (or was there all along): a later absence is news again.
    m_reportedUnavailable = false;
    for (const auto& [path, interfaces] : managed) {
        if (auto it = interfaces.find(kDevice); it != interfaces.end()) {
            Objects::Device device;
            device.path = path;
            Get(it->second, "Address", &device.address);
            Get(it->second, "Connected", &device.connected);
            device.has_name = Get(it->second, "Alias", &device.name) || Get(it->second, "Name", &device.name);
            std::string modalias;
            if (Get(it->second, "Modalias", &modalias)) {
                // "usb:v045Ep0B13d0001": the source is USB (02) or Bluetooth (01).
                const size_t colon = modalias.find(':');
                const std::string source = modalias.substr(0, colon);
                device.source = source == "usb" ? 2 : source == "bluetooth" ? 1 : 0;
                if (colon != std::string::npos)
                    std::sscanf(modalias.c_str() + colon + 1, "v%4xp%4xd%4x", &device.vendor, &device.product,
                                &device.version);
            }
            objects->devices.push_back(device);
        }
        if (auto it = interfaces.find(kService); it != interfaces.end()) {
            Objects::Service service;
            service.path = path;
            Get(it->second, "UUID", &service.uuid);
            sdbus::ObjectPath device;
            if (Get(it->second, "Device", &device)) service.device = device;
            objects->services.push_back(service);
        }
        if (auto it = interfaces.find(kCharacteristic); it != interfaces.end()) {
            Objects::Characteristic characteristic;
            characteristic.path = path;
            Get(it->second, "UUID", &characteristic.uuid);
            Get(it->second, "Flags", &characteristic.flags);
            sdbus::ObjectPath service;
            if (Get(it->second, "Service", &service)) characteristic.service = service;
            objects->characteristics.push_back(characteristic);
        }
        if (auto it = interfaces.find(kDescriptor); it != interfaces.end()) {
            Objects::Descriptor descriptor;
            descriptor.path = path;
            Get(it->second, "UUID", &descriptor.uuid);
            sdbus::ObjectPath characteristic;
            if (Get(it->second, "Characteristic", &characteristic)) descriptor.characteristic = characteristic;
            objects->descriptors.push_back(descriptor);
        }
    }
    return true;
}

std::vector<BleDeviceNode> BluezStack::DeviceNodes() {
    Objects objects;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!ManagedObjectsLocked(&objects)) return {};
    }
    std::vector<BleDeviceNode> nodes;
    for (const auto& device : objects.devices) {
        BleDeviceNode node;
        node.disconnected = !device.connected;
        node.has_friendly_name = device.has_name;
        node.friendly_name = device.name;
        node.hardware_ids.push_back("BTHLE\\Dev_" + Compact(device.address));
        nodes.push_back(std::move(node));
    }
    return nodes;
}

std::vector<std::string> BluezStack::ServiceInterfaces() {
    Objects objects;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!ManagedObjectsLocked(&objects)) return {};
    }
    std::vector<std::string> names;
    for (const auto& service : objects.services) names.push_back(objects.InterfaceName(service));
    return names;
}

std::unique_ptr<BleServiceHandle> BluezStack::OpenService(const std::string& interfaceName) {
    Objects objects;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!ManagedObjectsLocked(&objects)) return nullptr;
    }
    for (const auto& service : objects.services)
        if (objects.InterfaceName(service) == interfaceName) return std::make_unique<Service>(*this, service.path);
    return nullptr;
}

void BluezStack::UnregisterEvent(BleEventHandle handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_registrations.find(handle);
    if (it == m_registrations.end()) return;
    const std::string path = it->second->path;
    // Dropping the match under the lock: the dispatcher runs callbacks only
    // under it, so none is running now and none will.
    m_registrations.erase(it);
    if (!m_connection) return;
    try {
        auto proxy = sdbus::createProxy(*m_connection, kBluez, path);
        proxy->callMethod("StopNotify").onInterface(kCharacteristic).withTimeout(kCallTimeout);
    } catch (const sdbus::Error& e) {
        diag_verbose("BlueZ StopNotify of " + path + ": " + e.getMessage());
    }
    Wake();
}

void BluezStack::Wake() {
    if (m_wakeFd < 0) return;
    const uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof one);
}

void BluezStack::Dispatch() {
    while (!m_stop) {
        sdbus::IConnection::PollData data{};
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_connection) return;
            data = m_connection->getEventLoopPollData();
        }
        int timeout = kMaxPollMs;
        if (data.timeout_usec != UINT64_MAX) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const uint64_t nowUs =
                static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
            const uint64_t waitMs = data.timeout_usec > nowUs ? (data.timeout_usec - nowUs + 999) / 1000 : 0;
            timeout = static_cast<int>(std::min<uint64_t>(waitMs, kMaxPollMs));
        }
        pollfd fds[2] = {{data.fd, data.events, 0}, {m_wakeFd, POLLIN, 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) return;
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            (void)!read(m_wakeFd, &count, sizeof count);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        try {
            while (m_connection->processPendingRequest()) {
            }
        } catch (const std::exception& e) {
            // The bus went away: nothing more will arrive on it.
            diag_error(std::string("BLE notifications stopped: ") + e.what());
            return;
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            diag_error("BLE notifications stopped: the bus connection closed");
            return;
        }
    }
}

}  // namespace orvex
