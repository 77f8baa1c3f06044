#include "platform/linux/BluezStack.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Log.h"
#include "platform/Text.h"
#include "platform/linux/BluezBus.h"
#include "platform/linux/BluezObjects.h"
#include "platform/linux/DBus.h"

namespace orvex {

namespace {

// Notifications queued for callbacks that fall behind; beyond this they are
// dropped rather than piling up without bound.
constexpr size_t kMaxQueuedNotifications = 1024;

using Outcome = BluezConnection::Outcome;
using bluez::Get;
using bluez::Interfaces;
using bluez::kBluez;
using bluez::kCharacteristic;
using bluez::kDescriptor;
using bluez::kDevice;
using bluez::kObjectManager;
using bluez::ManagedObjects;
using bluez::Objects;
using bluez::Properties;

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

}  // namespace

// One value-changed registration. Its fields past the callback are guarded
// by the stack's m_mutex; idle is signalled when a callback of it returns.
struct BluezStack::Registration {
    std::string path;
    BleValueChangedCallback callback = nullptr;
    void* context = nullptr;
    bool closed = false;  // no callback of it starts any more
    // BlueZ counts its subscription (or its StartNotify is on its way).
    bool subscribed = true;
    bool running = false;  // a callback of it runs on the delivery thread
    std::condition_variable_any idle;
};

class BluezStack::Service final : public BleServiceHandle {
public:
    Service(BluezStack& stack, std::string path) : m_stack(stack), m_path(std::move(path)) {}

    int GetServices(std::vector<BleGattService>* services) override {
        services->clear();
        MutexLock lock(m_stack.m_mutex);
        if (!m_stack.LoadedLocked(lock)) return -EIO;
        auto it = m_stack.m_objects->services.find(m_path);
        if (it == m_stack.m_objects->services.end()) return -ENOENT;
        services->push_back(BleGattService{UuidOf(it->second.uuid), HandleOf(m_path)});
        return 0;
    }

    int GetCharacteristics(const BleGattService& service, std::vector<BleGattCharacteristic>* list) override {
        list->clear();
        MutexLock lock(m_stack.m_mutex);
        if (!m_stack.LoadedLocked(lock)) return -EIO;
        for (const auto& [path, c] : m_stack.m_objects->characteristics) {
            if (c.service != m_path) continue;
            const std::vector<std::string>& flags = c.flags;
            auto has = [&flags](const char* flag) {
                return std::find(flags.begin(), flags.end(), flag) != flags.end();
            };
            BleGattCharacteristic characteristic;
            characteristic.service_handle = service.attribute_handle;
            characteristic.uuid = UuidOf(c.uuid);
            characteristic.attribute_handle = HandleOf(path);
            characteristic.value_handle = static_cast<uint16_t>(characteristic.attribute_handle + 1);
            characteristic.is_broadcastable = has("broadcast");
            characteristic.is_readable = has("read");
            characteristic.is_writable = has("write");
            characteristic.is_writable_without_response = has("write-without-response");
            characteristic.is_signed_writable = has("authenticated-signed-writes");
            characteristic.is_notifiable = has("notify");
            characteristic.is_indicatable = has("indicate");
            characteristic.has_extended_properties = has("extended-properties") || has("reliable-write");
            m_characteristics[characteristic.attribute_handle] = path;
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
        MutexLock lock(m_stack.m_mutex);
        if (!m_stack.LoadedLocked(lock)) return -EIO;
        for (const auto& [path, d] : m_stack.m_objects->descriptors) {
            if (d.characteristic != owner->second) continue;
            BleGattDescriptor descriptor;
            descriptor.service_handle = characteristic.service_handle;
            descriptor.characteristic_handle = characteristic.attribute_handle;
            descriptor.uuid = UuidOf(d.uuid);
            descriptor.type = DescriptorTypeOf(descriptor.uuid.value);
            descriptor.attribute_handle = HandleOf(path);
            m_descriptors[descriptor.attribute_handle] = path;
            list->push_back(descriptor);
        }
        std::sort(list->begin(), list->end(),
                  [](const auto& a, const auto& b) { return a.attribute_handle < b.attribute_handle; });
        return 0;
    }

    int GetDescriptorValue(const BleGattDescriptor& descriptor, std::vector<uint8_t>* value) override {
        auto it = m_descriptors.find(descriptor.attribute_handle);
        if (it == m_descriptors.end()) return -ENOENT;
        Outcome outcome = m_stack.m_bus.Request(
            it->second, kDescriptor, "ReadValue",
            [](sdbus::MethodCall& call) { call << std::map<std::string, sdbus::Variant>{}; }, true);
        if (!outcome.ok) {
            diag_verbose("BlueZ ReadValue of " + it->second + ": " + outcome.error);
            return -EIO;
        }
        *value = std::move(outcome.bytes);
        return 0;
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
        auto registration = std::make_shared<Registration>();
        registration->path = it->second;
        registration->callback = callback;
        registration->context = context;
        BleEventHandle id = 0;
        {
            // In force before StartNotify, so that the first values are not lost.
            MutexLock lock(m_stack.m_mutex);
            id = m_stack.m_nextHandle++;
            m_stack.m_registrations[id] = registration;
        }
        const Outcome outcome = m_stack.m_bus.Request(it->second, kCharacteristic, "StartNotify", nullptr, false);
        if (!outcome.ok) {
            diag_verbose("BlueZ StartNotify of " + it->second + ": " + outcome.error);
            // Unanswered, it may still subscribe: a StopNotify undoes that.
            m_stack.End(id, outcome.unanswered);
            return -EIO;
        }
        *handle = id;
        return 0;
    }

    int WriteCharacteristic(const BleGattCharacteristic& characteristic, const uint8_t* data, size_t length) override {
        auto it = m_characteristics.find(characteristic.attribute_handle);
        if (it == m_characteristics.end()) return -ENOENT;
        std::vector<uint8_t> value(data, data + length);
        const Outcome outcome = m_stack.m_bus.Request(
            it->second, kCharacteristic, "WriteValue",
            [value = std::move(value)](sdbus::MethodCall& call) {
                // Variants belong to the thread that makes them: this one.
                call << value
                     << std::map<std::string, sdbus::Variant>{{"type", sdbus::Variant(std::string("request"))}};
            },
            false);
        if (!outcome.ok) {
            diag_verbose("BlueZ WriteValue of " + it->second + ": " + outcome.error);
            return -EIO;
        }
        return 0;
    }

private:
    BluezStack& m_stack;
    const std::string m_path;
    // Object paths of what this handle has listed, by attribute handle.
    std::map<uint16_t, std::string> m_characteristics;
    std::map<uint16_t, std::string> m_descriptors;
};

BluezStack::BluezStack(std::string busAddress, const Timings& timings)
    : m_busAddress(std::move(busAddress)),
      m_timings(timings),
      m_objects(std::make_unique<Objects>()),
      m_bus(m_busAddress, timings,
            {[this](sdbus::Message& message) { OnObjectManager(message); },
             [this](sdbus::Message& message) { OnPropertiesChanged(message); },
             [this](sdbus::Message& message) { OnNameOwnerChanged(message); },
             [this](const std::string& why) { Drop(why); },
             // The listing's answer, if it is on its way, is stale now.
             [this] { ++m_listing; }}) {
    std::string why;
    if (!m_bus.Start(&why)) {
        m_reportedUnavailable = true;
        diag_error("BLE unavailable: " + why);
        return;
    }
    m_deliveryThread = std::thread([this] { DeliveryLoop(); });
}

BluezStack::~BluezStack() {
    {
        MutexLock lock(m_mutex);
        m_stop = true;
    }
    m_deliveryReady.notify_all();
    m_stateChanged.notify_all();
    m_bus.Stop();
    if (m_deliveryThread.joinable()) m_deliveryThread.join();
}

bool BluezStack::LoadedLocked(MutexLock& lock) {
    if (!m_bus.Usable() || m_stop || m_stopping) return false;
    const auto now = std::chrono::steady_clock::now();
    // The library keeps the bus object of every connection that fails to
    // start, so a missing bus is not asked again at every BLE operation.
    if (m_state == State::Offline && now >= m_nextAttempt) {
        m_nextAttempt = now + m_timings.busRetryInterval;
        m_state = State::Connecting;
        const std::string address = bluez::SystemBusAddress(m_busAddress);
        m_bus.Post([this, address] { Connect(address); });
    } else if (m_state == State::Absent && m_retryListing && now >= m_nextAttempt) {
        m_nextAttempt = now + m_timings.busRetryInterval;
        m_state = State::Connecting;
        m_bus.Post([this] { LoadObjects(); });
    }
    const auto deadline = now + m_bus.CallerWait();
    while (m_state == State::Connecting && !m_stop && !m_stopping &&
           m_stateChanged.wait_until(lock, deadline) == std::cv_status::no_timeout) {
    }
    return m_state == State::Ready && !m_stopping;
}

void BluezStack::SetStopping(bool stopping) {
    {
        MutexLock lock(m_mutex);
        m_stopping = stopping;
    }
    m_stateChanged.notify_all();
    m_bus.SetAbandoned(stopping);
}

void BluezStack::UnregisterEvent(BleEventHandle handle) {
    End(handle, true);
}

void BluezStack::End(BleEventHandle handle, bool stopNotify) {
    const bool fromCallback = std::this_thread::get_id() == m_deliveryThread.get_id();
    std::shared_ptr<Registration> registration;
    bool lastOfPath = true;
    {
        MutexLock lock(m_mutex);
        auto it = m_registrations.find(handle);
        if (it == m_registrations.end()) return;
        registration = it->second;
        m_registrations.erase(it);
        registration->closed = true;
        // A callback of this registration that runs now is the last one;
        // from the delivery thread it is the caller itself.
        if (!fromCallback)
            while (registration->running) registration->idle.wait(lock);
        for (const auto& [id, other] : m_registrations)
            if (other->path == registration->path) lastOfPath = false;
    }
    if (fromCallback)
        diag_error("UnregisterEvent called from a BLE notification callback: it does not wait for that callback");
    // BlueZ counts one subscription per client: another registration of the
    // characteristic keeps it.
    if (!stopNotify || !lastOfPath) return;
    // Not waited for, so that a stalled BlueZ holds up no stop or session
    // switch. It follows every call sent before it (a pending StartNotify too).
    const std::string path = registration->path;
    m_bus.Post([this, path] {
        m_bus.Send(path, kCharacteristic, "StopNotify", nullptr, [path](sdbus::MethodReply*, const sdbus::Error* e) {
            if (e) diag_verbose("BlueZ StopNotify of " + path + ": " + e->getMessage());
        });
    });
}

std::vector<BleDeviceNode> BluezStack::DeviceNodes() {
    std::vector<BleDeviceNode> nodes;
    MutexLock lock(m_mutex);
    if (!LoadedLocked(lock)) return nodes;
    for (const auto& [path, device] : m_objects->devices) {
        BleDeviceNode node;
        node.disconnected = !device.connected;
        node.has_friendly_name = device.has_alias || device.has_name;
        node.friendly_name = device.has_alias ? device.alias : device.name;
        node.hardware_ids.push_back("BTHLE\\Dev_" + CompactAddress(device.address));
        nodes.push_back(std::move(node));
    }
    return nodes;
}

std::vector<std::string> BluezStack::ServiceInterfaces() {
    std::vector<std::string> names;
    MutexLock lock(m_mutex);
    if (!LoadedLocked(lock)) return names;
    for (const auto& [path, service] : m_objects->services) names.push_back(m_objects->InterfaceName(path, service));
    return names;
}

std::unique_ptr<BleServiceHandle> BluezStack::OpenService(const std::string& interfaceName) {
    MutexLock lock(m_mutex);
    if (!LoadedLocked(lock)) return nullptr;
    for (const auto& [path, service] : m_objects->services)
        if (m_objects->InterfaceName(path, service) == interfaceName) return std::make_unique<Service>(*this, path);
    return nullptr;
}

void BluezStack::DeliveryLoop() {
    MutexLock lock(m_mutex);
    for (;;) {
        // Nothing to do: sleeps until a notification or the stop comes.
        while (!m_stop && m_deliveries.empty()) m_deliveryReady.wait(lock);
        if (m_stop) return;
        Delivery delivery = std::move(m_deliveries.front());
        m_deliveries.pop_front();
        if (m_deliveries.empty()) m_reportedOverflow = false;
        Registration& registration = *delivery.registration;
        if (registration.closed) continue;
        registration.running = true;
        lock.unlock();
        RunReportingFailure("BLE notification callback", [&] {
            registration.callback(delivery.value.data(), delivery.value.size(), registration.context);
        });
        lock.lock();
        registration.running = false;
        registration.idle.notify_all();
    }
}

// ---- The bus thread's side of the stack: what BlueZ's answers and signals
// ---- mean for the copy of its objects and for the registrations.

void BluezStack::SetState(State state) {
    {
        MutexLock lock(m_mutex);
        m_state = state;
    }
    m_stateChanged.notify_all();
}

void BluezStack::Unavailable(const std::string& why) {
    if (m_reportedUnavailable) {
        diag_verbose("BLE unavailable: " + why);
        return;
    }
    m_reportedUnavailable = true;
    // The bridge serves its HID devices all the same: a warning, not an error.
    diag_warning("BLE unavailable: " + why);
}

void BluezStack::Connect(const std::string& address) {
    std::string why;
    if (!m_bus.IsOpen() && !m_bus.Open(address, &why)) {
        Unavailable(why);
        SetState(State::Offline);
        return;
    }
    LoadObjects();
}

void BluezStack::LoadObjects() {
    if (!m_bus.IsOpen()) {
        SetState(State::Offline);
        return;
    }
    SetState(State::Connecting);
    const uint64_t listing = ++m_listing;
    m_bus.Send("/", kObjectManager, "GetManagedObjects", nullptr,
               [this, listing](sdbus::MethodReply* reply, const sdbus::Error* error) {
                   // A later listing (BlueZ came back meanwhile) or a dropped
                   // connection makes this answer stale.
                   if (listing != m_listing) return;
                   auto objects = std::make_unique<Objects>();
                   std::string why;
                   bool absent = false;
                   if (error) {
                       why = error->getMessage();
                       absent = error->getName() == "org.freedesktop.DBus.Error.ServiceUnknown" ||
                                error->getName() == "org.freedesktop.DBus.Error.NameHasNoOwner";
                   } else {
                       try {
                           ManagedObjects managed;
                           *reply >> managed;
                           for (const auto& [path, interfaces] : managed) objects->Add(path, interfaces);
                       } catch (const sdbus::Error& e) {
                           why = e.getMessage();
                       }
                   }
                   if (!why.empty()) {
                       Unavailable("BlueZ does not answer: " + why);
                       {
                           MutexLock lock(m_mutex);
                           ReplaceObjectsLocked(std::make_unique<Objects>());
                           // Absent, it is listed again when it takes its name.
                           m_retryListing = !absent;
                           m_state = State::Absent;
                       }
                       m_stateChanged.notify_all();
                       return;
                   }
                   // BlueZ is back (or was there all along): a later absence is news again.
                   m_reportedUnavailable = false;
                   {
                       MutexLock lock(m_mutex);
                       ReplaceObjectsLocked(std::move(objects));
                       m_state = State::Ready;
                   }
                   m_stateChanged.notify_all();
                   Resubscribe();
               });
}

void BluezStack::ReplaceObjectsLocked(std::unique_ptr<Objects> objects) {
    m_objects = std::move(objects);
    for (auto& [id, registration] : m_registrations) registration->subscribed = false;
}

void BluezStack::Resubscribe() {
    std::vector<std::string> paths;
    {
        MutexLock lock(m_mutex);
        if (m_state != State::Ready) return;
        for (auto& [id, registration] : m_registrations) {
            if (registration->subscribed || !m_objects->characteristics.count(registration->path)) continue;
            // BlueZ counts one subscription per client and characteristic.
            if (std::find(paths.begin(), paths.end(), registration->path) == paths.end())
                paths.push_back(registration->path);
            registration->subscribed = true;
        }
    }
    for (const std::string& path : paths) {
        diag_verbose("BlueZ shows " + path + " again: StartNotify");
        m_bus.Send(path, kCharacteristic, "StartNotify", nullptr,
                   [this, path](sdbus::MethodReply*, const sdbus::Error* e) {
                       if (!e) return;
                       diag_verbose("BlueZ StartNotify of " + path + ": " + e->getMessage());
                       // Tried again when BlueZ shows the object anew.
                       MutexLock lock(m_mutex);
                       for (auto& [id, registration] : m_registrations)
                           if (registration->path == path) registration->subscribed = false;
                   });
    }
}

void BluezStack::Drop(const std::string& why) {
    m_bus.Close("org.orvex.Error.Closed", why);
    {
        MutexLock lock(m_mutex);
        ReplaceObjectsLocked(std::make_unique<Objects>());
        m_state = State::Offline;
    }
    m_stateChanged.notify_all();
    Unavailable(why);
}

void BluezStack::OnObjectManager(sdbus::Message& message) {
    try {
        sdbus::ObjectPath path;
        if (dbus::MemberOf(message) == "InterfacesAdded") {
            Interfaces interfaces;
            message >> path >> interfaces;
            Objects added;
            added.Add(path, interfaces);
            const bool characteristic = !added.characteristics.empty();
            {
                MutexLock lock(m_mutex);
                // Before the listing's answer, the listing itself holds this.
                if (m_state == State::Ready) m_objects->Merge(std::move(added));
            }
            if (characteristic) Resubscribe();
        } else if (dbus::MemberOf(message) == "InterfacesRemoved") {
            std::vector<std::string> interfaces;
            message >> path >> interfaces;
            MutexLock lock(m_mutex);
            if (m_state != State::Ready) return;
            m_objects->Remove(path, interfaces);
            // BlueZ's subscription ends with the object.
            if (std::find(interfaces.begin(), interfaces.end(), kCharacteristic) != interfaces.end())
                for (auto& [id, registration] : m_registrations)
                    if (registration->path == path) registration->subscribed = false;
        }
    } catch (const std::exception& e) {
        diag_verbose(std::string("BlueZ object change: ") + e.what());
    }
}

void BluezStack::OnPropertiesChanged(sdbus::Message& message) {
    try {
        std::string interface;
        Properties changed;
        std::vector<std::string> invalidated;
        message >> interface >> changed >> invalidated;
        const std::string path = dbus::PathOf(message);
        if (interface == kDevice) {
            MutexLock lock(m_mutex);
            if (m_state != State::Ready) return;
            auto it = m_objects->devices.find(path);
            if (it == m_objects->devices.end()) return;
            Objects::Apply(&it->second, changed);
            Objects::Invalidate(&it->second, invalidated);
            return;
        }
        std::vector<uint8_t> value;
        if (interface != kCharacteristic || !Get(changed, "Value", &value)) return;
        bool queued = false, dropped = false;
        {
            MutexLock lock(m_mutex);
            for (const auto& [id, registration] : m_registrations) {
                if (registration->path != path) continue;
                if (m_deliveries.size() >= kMaxQueuedNotifications) {
                    dropped = !m_reportedOverflow;
                    m_reportedOverflow = true;
                    break;
                }
                m_deliveries.push_back(Delivery{registration, value});
                queued = true;
            }
        }
        if (queued) m_deliveryReady.notify_one();
        if (dropped) diag_error("BLE notifications dropped: the callbacks fall behind");
    } catch (const std::exception& e) {
        diag_verbose(std::string("BlueZ notification: ") + e.what());
    }
}

void BluezStack::OnNameOwnerChanged(sdbus::Message& message) {
    try {
        std::string name, from, to;
        message >> name >> from >> to;
        if (name != kBluez) return;
        if (!to.empty()) {
            // BlueZ (again) on the bus: its objects are listed anew.
            LoadObjects();
            return;
        }
        ++m_listing;
        {
            MutexLock lock(m_mutex);
            ReplaceObjectsLocked(std::make_unique<Objects>());
            m_retryListing = false;
            m_state = State::Absent;
        }
        m_stateChanged.notify_all();
        Unavailable("BlueZ left the bus");
    } catch (const std::exception& e) {
        diag_verbose(std::string("BlueZ name change: ") + e.what());
    }
}

}  // namespace orvex
