// The simulator's Bluetooth LE side: every "bus":"ble" device of a scenario
// also offers its GATT service (write characteristic 0xFEE3, notify
// characteristic 0xFEE4) through the BleStack seam. Writes are recorded,
// query requests are answered with notifications, and notifications reach
// every registration on the scheduler thread, in the order they were sent.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/BleStack.h"
#include "sim/Scheduler.h"

namespace orvex::sim {

struct SimBleDevice {
    std::string name;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    std::string address;                          // "AA:BB:CC:DD:EE:FF"; empty gives a node without token
    bool attached = true;                         // unplugged: still listed, but not connected
    bool connected = true;                        // the node is connected
    uint8_t device_id = 1;                        // announced by a plain notification on subscription; 0: never
    bool writable = true;                         // 0xFEE3 has its write property
    std::vector<uint16_t> cccd_handles = {0x15};  // attribute handles of the notify descriptors
};

class SimBle final : public BleStack {
public:
    struct Hooks {
        // Records what the device received ("write", "subscribe").
        std::function<void(const std::string& device, const char* kind, int collection,
                           const std::vector<uint8_t>& bytes, bool rejected)>
            record;
        // The scenario's answer to a query request beginning with code;
        // false for the built-in one. Also says whether the device is silent.
        std::function<bool(const std::string& device, uint8_t code, std::vector<uint8_t>* answer, bool* silent)> answer;
    };

    SimBle(Scheduler& scheduler, Hooks hooks);
    ~SimBle() override;

    void AddDevice(const SimBleDevice& device);
    void SetAttached(const std::string& device, bool attached);
    bool SetConnected(const std::string& device, bool connected, std::string* error);
    // Sends one notification to every registration on the device; the count
    // of registrations reached, or -1 with a reason.
    long Notify(const std::string& device, const std::vector<uint8_t>& value, std::string* error);
    // Registrations in force on the device.
    size_t RegistrationCount(const std::string& device);
    // Interface name of the device's service ("" when unknown).
    std::string InterfaceName(const std::string& device);
    // No notification is delivered after this.
    void Shutdown();

    std::vector<BleDeviceNode> DeviceNodes() override;
    std::vector<std::string> ServiceInterfaces() override;
    std::unique_ptr<BleServiceHandle> OpenService(const std::string& interfaceName) override;
    void UnregisterEvent(BleEventHandle handle) override;

    struct Registration;
    class Service;

private:
    friend class Service;
    SimBleDevice* FindLocked(const std::string& name);
    std::string InterfaceNameOf(const SimBleDevice& device) const;
    int WriteValue(const std::string& device, const uint8_t* data, size_t length);
    int Register(const std::string& device, BleValueChangedCallback callback, void* context, BleEventHandle* handle);
    void Subscribe(const std::string& device, uint16_t descriptorHandle);
    // Queues the value for the device's registrations of this moment.
    size_t QueueNotificationLocked(const std::string& device, std::vector<uint8_t> value,
                                   std::chrono::milliseconds delay);

    Scheduler& m_scheduler;
    Hooks m_hooks;
    std::mutex m_mutex;
    std::vector<SimBleDevice> m_devices;
    std::map<BleEventHandle, std::shared_ptr<Registration>> m_registrations;
    BleEventHandle m_nextHandle = 1;
    bool m_shutdown = false;
};

}  // namespace orvex::sim
