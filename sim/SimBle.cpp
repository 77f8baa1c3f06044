#include "sim/SimBle.h"

#include <cstdio>

#include "platform/Text.h"
#include "sim/DeviceContract.h"

namespace orvex::sim {

namespace {

constexpr uint16_t kServiceHandle = 0x10;
constexpr uint16_t kWriteHandle = 0x11;
constexpr uint16_t kNotifyHandle = 0x13;
constexpr uint32_t kServiceUuid = 0xFEE0;
constexpr uint32_t kWriteUuid = 0xFEE3;
constexpr uint32_t kNotifyUuid = 0xFEE4;
constexpr uint32_t kCccdUuid = 0x2902;
// A device answers a little later, as a real one does over the air.
constexpr std::chrono::milliseconds kAnswerDelay{20};
constexpr std::chrono::milliseconds kAnnounceDelay{50};

bool IsQueryRequest(const uint8_t* data, size_t length) {
    return length >= 2 && data[1] == 0x08 && orvex_find_ble_request(data[0]) != nullptr;
}

// Byte 0 the request code, then counting bytes; the 0xA9 answer echoes the
// block it was asked for.
std::vector<uint8_t> BuiltInAnswer(const uint8_t* request, size_t length) {
    const uint8_t code = request[0];
    const size_t size = orvex_find_ble_request(code)->ble_answer_length;
    std::vector<uint8_t> answer(size);
    for (size_t i = 0; i < size; ++i) answer[i] = static_cast<uint8_t>(i);
    answer[0] = code;
    if (code == 0xA9) answer[1] = length > 2 ? request[2] : 0;
    return answer;
}

}  // namespace

struct SimBle::Registration {
    std::string device;
    BleValueChangedCallback callback = nullptr;
    void* context = nullptr;
    // Held while the callback runs; unregistering takes it, so that it
    // returns only after a running callback has ended.
    std::mutex run;
    bool active = true;
};

class SimBle::Service final : public BleServiceHandle {
public:
    Service(SimBle& ble, std::string device) : m_ble(ble), m_device(std::move(device)) {}

    int GetServices(std::vector<BleGattService>* services) override {
        services->assign(1, BleGattService{BleUuid{false, kServiceUuid}, kServiceHandle});
        return 0;
    }
    int GetCharacteristics(const BleGattService& service, std::vector<BleGattCharacteristic>* list) override {
        list->clear();
        if (service.attribute_handle != kServiceHandle) return -1;
        bool writable = true;
        {
            std::lock_guard<std::mutex> lock(m_ble.m_mutex);
            if (SimBleDevice* device = m_ble.FindLocked(m_device)) writable = device->writable;
        }
        BleGattCharacteristic write;
        write.service_handle = kServiceHandle;
        write.uuid = BleUuid{false, kWriteUuid};
        write.attribute_handle = kWriteHandle;
        write.value_handle = kWriteHandle + 1;
        write.is_readable = true;
        write.is_writable = writable;
        BleGattCharacteristic notify;
        notify.service_handle = kServiceHandle;
        notify.uuid = BleUuid{false, kNotifyUuid};
        notify.attribute_handle = kNotifyHandle;
        notify.value_handle = kNotifyHandle + 1;
        notify.is_notifiable = true;
        list->push_back(write);
        list->push_back(notify);
        return 0;
    }
    int GetDescriptors(const BleGattCharacteristic& characteristic, std::vector<BleGattDescriptor>* list) override {
        list->clear();
        if (characteristic.attribute_handle != kNotifyHandle) return 0;
        std::lock_guard<std::mutex> lock(m_ble.m_mutex);
        SimBleDevice* device = m_ble.FindLocked(m_device);
        if (!device) return -1;
        for (uint16_t handle : device->cccd_handles) {
            BleGattDescriptor descriptor;
            descriptor.service_handle = kServiceHandle;
            descriptor.characteristic_handle = kNotifyHandle;
            descriptor.type = BleDescriptorType::ClientCharacteristicConfiguration;
            descriptor.uuid = BleUuid{true, kCccdUuid};
            descriptor.attribute_handle = handle;
            list->push_back(descriptor);
        }
        return 0;
    }
    int GetDescriptorValue(const BleGattDescriptor&, std::vector<uint8_t>* value) override {
        value->assign(2, 0);
        return 0;
    }
    int SubscribeToNotifications(const BleGattDescriptor& descriptor) override {
        m_ble.Subscribe(m_device, descriptor.attribute_handle);
        return 0;
    }
    int RegisterValueChanged(const BleGattCharacteristic& characteristic, BleValueChangedCallback callback,
                             void* context, BleEventHandle* handle) override {
        if (characteristic.uuid.value != kNotifyUuid || !callback) return -1;
        return m_ble.Register(m_device, callback, context, handle);
    }
    int WriteCharacteristic(const BleGattCharacteristic& characteristic, const uint8_t* data, size_t length) override {
        if (characteristic.uuid.value != kWriteUuid) return -1;
        return m_ble.WriteValue(m_device, data, length);
    }

private:
    SimBle& m_ble;
    const std::string m_device;
};

SimBle::SimBle(Scheduler& scheduler, Hooks hooks) : m_scheduler(scheduler), m_hooks(std::move(hooks)) {}

SimBle::~SimBle() {
    Shutdown();
}

void SimBle::Shutdown() {
    std::map<BleEventHandle, std::shared_ptr<Registration>> registrations;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shutdown = true;
        registrations.swap(m_registrations);
    }
    for (auto& entry : registrations) {
        std::lock_guard<std::mutex> run(entry.second->run);
        entry.second->active = false;
    }
}

void SimBle::AddDevice(const SimBleDevice& device) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices.push_back(device);
}

SimBleDevice* SimBle::FindLocked(const std::string& name) {
    for (auto& device : m_devices)
        if (device.name == name) return &device;
    return nullptr;
}

std::string SimBle::InterfaceNameOf(const SimBleDevice& device) const {
    char text[160];
    std::snprintf(text, sizeof text,
                  "BTHLEDEVICE\\{0000FEE0-0000-1000-8000-00805F9B34FB}_DEV_VID&02%04X_PID&%04X_REV&0001_%s\\sim/",
                  device.vendor_id, device.product_id, CompactAddress(device.address).c_str());
    return text + device.name;
}

std::string SimBle::InterfaceName(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const SimBleDevice* device = FindLocked(name);
    return device ? InterfaceNameOf(*device) : std::string();
}

void SimBle::SetAttached(const std::string& name, bool attached) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (SimBleDevice* device = FindLocked(name)) device->attached = attached;
}

bool SimBle::SetConnected(const std::string& name, bool connected, std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    SimBleDevice* device = FindLocked(name);
    if (!device) {
        if (error) *error = "device \"" + name + "\" is not a BLE device";
        return false;
    }
    device->connected = connected;
    return true;
}

std::vector<BleDeviceNode> SimBle::DeviceNodes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<BleDeviceNode> nodes;
    // An unplugged device stays known to the stack, as a paired one does,
    // but no longer connected.
    for (const auto& device : m_devices) {
        BleDeviceNode node;
        node.disconnected = !device.attached || !device.connected;
        node.has_friendly_name = true;
        node.friendly_name = device.name;
        node.hardware_ids.push_back("BTHLE\\Dev_" + CompactAddress(device.address));
        nodes.push_back(std::move(node));
    }
    return nodes;
}

std::vector<std::string> SimBle::ServiceInterfaces() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> names;
    for (const auto& device : m_devices) names.push_back(InterfaceNameOf(device));
    return names;
}

std::unique_ptr<BleServiceHandle> SimBle::OpenService(const std::string& interfaceName) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_shutdown) return nullptr;
    for (const auto& device : m_devices)
        if (InterfaceNameOf(device) == interfaceName) return std::make_unique<Service>(*this, device.name);
    return nullptr;
}

void SimBle::Subscribe(const std::string& name, uint16_t descriptorHandle) {
    if (m_hooks.record) m_hooks.record(name, "subscribe", descriptorHandle, {0x01, 0x00}, false);
}

int SimBle::Register(const std::string& name, BleValueChangedCallback callback, void* context, BleEventHandle* handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    SimBleDevice* device = FindLocked(name);
    if (m_shutdown || !device) return -1;
    auto registration = std::make_shared<Registration>();
    registration->device = name;
    registration->callback = callback;
    registration->context = context;
    const BleEventHandle id = m_nextHandle++;
    m_registrations[id] = registration;
    *handle = id;
    // A device makes itself known by its id once it is listened to.
    if (device->device_id != 0 && device->connected)
        QueueNotificationLocked(name, {device->device_id, 0x00, 0x00, 0x00}, kAnnounceDelay);
    return 0;
}

void SimBle::UnregisterEvent(BleEventHandle handle) {
    std::shared_ptr<Registration> registration;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_registrations.find(handle);
        if (it == m_registrations.end()) return;
        registration = std::move(it->second);
        m_registrations.erase(it);
    }
    std::lock_guard<std::mutex> run(registration->run);
    registration->active = false;
}

size_t SimBle::RegistrationCount(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t count = 0;
    for (const auto& entry : m_registrations)
        if (entry.second->device == name) ++count;
    return count;
}

int SimBle::WriteValue(const std::string& name, const uint8_t* data, size_t length) {
    std::vector<uint8_t> bytes(data, data + length);
    bool reachable = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const SimBleDevice* device = FindLocked(name);
        reachable = !m_shutdown && device && device->attached && device->connected;
    }
    if (m_hooks.record) m_hooks.record(name, "write", 0, bytes, !reachable);
    if (!reachable) return -1;
    if (!IsQueryRequest(data, length)) return 0;
    std::vector<uint8_t> answer;
    bool silent = false;
    if (!m_hooks.answer || !m_hooks.answer(name, data[0], &answer, &silent)) answer = BuiltInAnswer(data, length);
    if (silent) return 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    QueueNotificationLocked(name, std::move(answer), kAnswerDelay);
    return 0;
}

long SimBle::Notify(const std::string& name, const std::vector<uint8_t>& value, std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const SimBleDevice* device = FindLocked(name);
    if (!device) {
        if (error) *error = "device \"" + name + "\" is not a BLE device";
        return -1;
    }
    if (!device->attached || !device->connected) {
        if (error) *error = "device \"" + name + "\" is not connected";
        return -1;
    }
    return static_cast<long>(QueueNotificationLocked(name, value, std::chrono::milliseconds(0)));
}

size_t SimBle::QueueNotificationLocked(const std::string& name, std::vector<uint8_t> value,
                                       std::chrono::milliseconds delay) {
    if (m_shutdown) return 0;
    std::vector<std::shared_ptr<Registration>> targets;
    for (const auto& entry : m_registrations)
        if (entry.second->device == name) targets.push_back(entry.second);
    if (targets.empty()) return 0;
    const size_t count = targets.size();
    m_scheduler.Schedule(delay, [targets = std::move(targets), value = std::move(value)] {
        for (const auto& registration : targets) {
            std::lock_guard<std::mutex> run(registration->run);
            if (registration->active) registration->callback(value.data(), value.size(), registration->context);
        }
    });
    return count;
}

}  // namespace orvex::sim
