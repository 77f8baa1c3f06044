// The Bluetooth LE seam: what the BLE device object needs of a Bluetooth stack.
// Backends: BlueZ over the system D-Bus (platform/linux) and the simulator.
//
// A GATT service interface is named by a text that carries the device's
// vendor text ("VID&" source and vendor, e.g. "VID&02045e"), its product text
// ("PID&" product) and its address, so that a device object can recognise its
// device by plain text search. A device node's first hardware id is
// "BTHLE\Dev_" followed by the address, so that its second "_" token is the
// same address.
//
// Results are 0 on success and a negative, backend-defined code otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvex {

// One Bluetooth device node as the stack lists it.
struct BleDeviceNode {
    bool disconnected = false;
    bool has_friendly_name = false;
    std::string friendly_name;
    std::vector<std::string> hardware_ids;  // first one: "BTHLE\Dev_<address>"
};

// The first four bytes of the UUID value read as one 32-bit number: the short
// UUID itself, or the first group of a long one (0000fee3-... gives 0xFEE3).
struct BleUuid {
    bool is_short = false;
    uint32_t value = 0;
};

struct BleGattService {
    BleUuid uuid;
    uint16_t attribute_handle = 0;
};

struct BleGattCharacteristic {
    uint16_t service_handle = 0;
    BleUuid uuid;
    uint16_t attribute_handle = 0;
    uint16_t value_handle = 0;
    bool is_broadcastable = false;
    bool is_readable = false;
    bool is_writable = false;
    bool is_writable_without_response = false;
    bool is_signed_writable = false;
    bool is_notifiable = false;
    bool is_indicatable = false;
    bool has_extended_properties = false;
};

enum class BleDescriptorType {
    CharacteristicExtendedProperties,
    CharacteristicUserDescription,
    ClientCharacteristicConfiguration,
    ServerCharacteristicConfiguration,
    CharacteristicFormat,
    CharacteristicAggregateFormat,
    Custom,
};

struct BleGattDescriptor {
    uint16_t service_handle = 0;
    uint16_t characteristic_handle = 0;
    BleDescriptorType type = BleDescriptorType::Custom;
    BleUuid uuid;
    uint16_t attribute_handle = 0;
};

// Called on a thread of the stack with one notified value; size may be 0.
using BleValueChangedCallback = void (*)(const uint8_t* data, size_t size, void* context);

// Handle of a value-changed registration; 0 is none.
using BleEventHandle = uint64_t;

// One opened GATT service interface. Closing it (destruction) leaves the
// registrations made through it in force.
class BleServiceHandle {
public:
    virtual ~BleServiceHandle() = default;
    virtual int GetServices(std::vector<BleGattService>* services) = 0;
    virtual int GetCharacteristics(const BleGattService& service,
                                   std::vector<BleGattCharacteristic>* characteristics) = 0;
    virtual int GetDescriptors(const BleGattCharacteristic& characteristic,
                               std::vector<BleGattDescriptor>* descriptors) = 0;
    virtual int GetDescriptorValue(const BleGattDescriptor& descriptor, std::vector<uint8_t>* value) = 0;
    // Writes the client characteristic configuration value (notifications on,
    // indications off) to the descriptor.
    virtual int SubscribeToNotifications(const BleGattDescriptor& descriptor) = 0;
    // Value-changed events of the characteristic reach callback(…, context)
    // from now until UnregisterEvent. *handle receives the registration.
    virtual int RegisterValueChanged(const BleGattCharacteristic& characteristic, BleValueChangedCallback callback,
                                     void* context, BleEventHandle* handle) = 0;
    // One characteristic value, written with response.
    virtual int WriteCharacteristic(const BleGattCharacteristic& characteristic, const uint8_t* data,
                                    size_t length) = 0;
};

// The defaults are a stack without devices.
class BleStack {
public:
    virtual ~BleStack() = default;
    // Present Bluetooth device nodes, in a stable order.
    virtual std::vector<BleDeviceNode> DeviceNodes() { return {}; }
    // Names of the present GATT service interfaces, in a stable order.
    virtual std::vector<std::string> ServiceInterfaces() { return {}; }
    // Null when the interface cannot be opened.
    virtual std::unique_ptr<BleServiceHandle> OpenService(const std::string& /*interfaceName*/) { return nullptr; }
    // Ends a registration. When it returns, no callback of that registration
    // is running and none will start. Must not be called from a callback.
    virtual void UnregisterEvent(BleEventHandle /*handle*/) {}
    // Stopping: from now until called with false, every call that would
    // wait for the stack fails at once, those waiting now included, so that
    // a stop or a session switch waits for nothing a stalled stack holds.
    // Releases (UnregisterEvent) still go out.
    virtual void SetStopping(bool /*stopping*/) {}
};

}  // namespace orvex
