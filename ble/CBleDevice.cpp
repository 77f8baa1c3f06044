#include "ble/CBleDevice.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "platform/Log.h"
#include "platform/Text.h"

namespace orvex {

namespace {

// Literal formats at every call site, so that the compiler checks each
// argument against its conversion.
__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// Results are printed in hex as the unsigned words they are.
unsigned Hex(int value) {
    return static_cast<unsigned>(value);
}

bool IsCharacteristic(const BleGattCharacteristic& c, uint32_t uuid) {
    return c.uuid.value == uuid;
}

// The interface search: every present GATT service interface whose name holds
// both texts and the token of one connected device, opened, with the
// characteristics of its first service. visit returns false to end the search.
using InterfaceVisitor = std::function<bool(const std::string& name, BleServiceHandle& service,
                                            const std::vector<BleGattCharacteristic>& characteristics)>;

bool Matches(const std::string& name, const std::string& vidText, const std::string& pidText,
             const std::vector<std::string>& tokens) {
    const std::string upper = AsciiUpper(name);
    // compat: the texts are compared as they stand and only ConnectAndSubscribe
    // upper-cases them, so a write before the first connect finds no device
    // and traces nothing, as it always has.
    if (upper.find(vidText) == std::string::npos || upper.find(pidText) == std::string::npos) return false;
    for (const auto& token : tokens)
        if (upper.find(AsciiUpper(token)) != std::string::npos) return true;
    return false;
}

// wanted (may be null) is asked before each interface is opened.
void SearchInterfaces(BleStack& stack, const std::string& vidText, const std::string& pidText,
                      const std::vector<std::string>& tokens, const CBleDevice::StillWanted& wanted,
                      const InterfaceVisitor& visit) {
    for (const std::string& name : stack.ServiceInterfaces()) {
        if (!Matches(name, vidText, pidText, tokens)) continue;
        if (wanted && !wanted()) return;
        std::unique_ptr<BleServiceHandle> service = stack.OpenService(name);
        if (!service) continue;
        std::vector<BleGattService> services;
        int result = service->GetServices(&services);
        if (result != 0) {
            log_raw(Format("BluetoothGATTGetServices - Buffer Size %d\r\n", result));
            continue;
        }
        // Without a service there is no first one to read characteristics of.
        if (services.empty()) continue;
        std::vector<BleGattCharacteristic> characteristics;
        result = service->GetCharacteristics(services[0], &characteristics);
        if (result != 0) {
            log_raw(Format("BluetoothGATTGetCharacteristics - Buffer Size %d\r\n", result));
            continue;
        }
        if (!visit(name, *service, characteristics)) return;
    }
}

}  // namespace

bool BleSecondToken(const std::string& text, std::string* token) {
    size_t start = text.find_first_not_of('_');
    if (start == std::string::npos) return false;
    size_t end = text.find('_', start);
    if (end == std::string::npos) return false;
    start = text.find_first_not_of('_', end);
    if (start == std::string::npos) return false;
    end = text.find('_', start);
    *token = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    return true;
}

void CBleDevice::SetStack(BleStack* stack) {
    MutexLock lock(m_mutex);
    m_stack = stack;
}

void CBleDevice::SetTexts(const std::string& vidText, const std::string& pidText, const std::string& address) {
    MutexLock lock(m_mutex);
    m_vidText = vidText;
    m_pidText = pidText;
    m_addressToken = AsciiUpper(CompactAddress(address));
}

std::vector<BleEventHandle> CBleDevice::TakeEventHandles() {
    MutexLock lock(m_mutex);
    m_gattEventHandle = 0;
    return std::move(m_registrations);
}

bool CBleDevice::HasEventHandle() {
    MutexLock lock(m_mutex);
    return m_gattEventHandle != 0;
}

std::string CBleDevice::VidText() {
    MutexLock lock(m_mutex);
    return m_vidText;
}

std::string CBleDevice::PidText() {
    MutexLock lock(m_mutex);
    return m_pidText;
}

int CBleDevice::ConnectedCount() {
    MutexLock lock(m_mutex);
    return m_connectedCount;
}

void CBleDevice::ScanConnectedDevices() {
    BleStack* stack = nullptr;
    {
        MutexLock lock(m_mutex);
        stack = m_stack;
    }
    const std::vector<BleDeviceNode> nodes = stack ? stack->DeviceNodes() : std::vector<BleDeviceNode>();
    MutexLock lock(m_mutex);
    ScanLocked(nodes);
}

void CBleDevice::ScanLocked(const std::vector<BleDeviceNode>& nodes) {
    m_connectedCount = 0;
    for (const BleDeviceNode& node : nodes) {
        // Nodes beyond the table are left out rather than written past it.
        if (m_connectedCount >= static_cast<int>(kBleConnectedTableSize)) break;
        if (node.disconnected || !node.has_friendly_name || node.hardware_ids.empty()) continue;
        std::string token;
        // compat: a node without a second token keeps what an earlier scan left
        // in its entry, and an empty entry matches every interface; devices that
        // name no address are found that way.
        if (BleSecondToken(node.hardware_ids.front(), &token)) m_connectedDevices[m_connectedCount] = token;
        ++m_connectedCount;
    }
}

CBleDevice::Snapshot CBleDevice::TakeSnapshot() {
    Snapshot snapshot;
    snapshot.vidText = m_vidText;
    snapshot.pidText = m_pidText;
    snapshot.tokens.assign(m_connectedDevices.begin(), m_connectedDevices.begin() + m_connectedCount);
    if (!m_addressToken.empty()) {
        // A slot bound to its device matches that device's interfaces alone,
        // and only while it is connected: two devices of one product would
        // otherwise both answer to both slots' texts.
        const std::string address = m_addressToken;
        const bool connected = std::any_of(snapshot.tokens.begin(), snapshot.tokens.end(),
                                           [&](const std::string& token) { return AsciiUpper(token) == address; });
        snapshot.tokens.assign(connected ? 1 : 0, address);
    }
    return snapshot;
}

void CBleDevice::ConnectAndSubscribe(BleValueChangedCallback callback, void* context, const StillWanted& wanted) {
    BleStack* stack = nullptr;
    Snapshot snapshot;
    {
        MutexLock lock(m_mutex);
        if (m_vidText.empty() || m_pidText.empty() || !m_stack) return;
        m_vidText = AsciiUpper(m_vidText);
        m_pidText = AsciiUpper(m_pidText);
        stack = m_stack;
    }
    // The listing can wait for BlueZ: asked without the lock.
    const std::vector<BleDeviceNode> nodes = stack->DeviceNodes();
    {
        MutexLock lock(m_mutex);
        ScanLocked(nodes);
        snapshot = TakeSnapshot();
    }
    // The GATT work runs without the lock, so that a write from the command
    // thread does not wait for a whole connect.
    std::vector<BleEventHandle> made;
    // Kept on the way out, even when the search throws half-way, so that
    // every registration made is released later.
    struct Keep {
        CBleDevice& device;
        std::vector<BleEventHandle>& made;
        ~Keep() {
            if (made.empty()) return;
            MutexLock lock(device.m_mutex);
            device.m_gattEventHandle = made.back();
            device.m_registrations.insert(device.m_registrations.end(), made.begin(), made.end());
        }
    } keep{*this, made};
    // Each call below can wait for the stack: an abandoned connect (the
    // slots were rebuilt, the bridge stops) makes none after it.
    const auto abandoned = [&wanted] { return wanted && !wanted(); };
    SearchInterfaces(
        *stack, snapshot.vidText, snapshot.pidText, snapshot.tokens, wanted,
        [&](const std::string& name, BleServiceHandle& service,
            const std::vector<BleGattCharacteristic>& characteristics) {
            for (const auto& characteristic : characteristics) {
                if (!IsCharacteristic(characteristic, kBleNotifyCharacteristic) || !characteristic.is_notifiable)
                    continue;
                if (abandoned()) return false;
                log_raw(name + "\r\n");
                std::vector<BleGattDescriptor> descriptors;
                int result = service.GetDescriptors(characteristic, &descriptors);
                if (result != 0) {
                    log_raw(Format("BluetoothGATTGetDescriptors - Buffer Size %x\r\n", Hex(result)));
                    descriptors.clear();
                }
                for (const auto& descriptor : descriptors) {
                    if (abandoned()) return false;
                    // compat: the value is read and never used, as the
                    // registration has always done; the log shows a descriptor
                    // that cannot be read, and the device sees the read.
                    std::vector<uint8_t> value;
                    result = service.GetDescriptorValue(descriptor, &value);
                    if (result != 0)
                        log_raw(Format("BluetoothGATTGetDescriptorValue - Actual Data %x\r\n", Hex(result)));
                    // compat: the devices' notification descriptors sit below handle
                    // 255; those at or above it have never been written to.
                    if (descriptor.attribute_handle >= 255) continue;
                    if (abandoned()) return false;
                    result = service.SubscribeToNotifications(descriptor);
                    if (result == 0)
                        log_raw(Format("setting notification for service handle %x\n", Hex(descriptor.service_handle)));
                    else  // compat: a failed subscription has always been traced with this name.
                        log_raw(Format("BluetoothGATTGetDescriptorValue - Actual Data %x\r\n", Hex(result)));
                }
                if (abandoned()) return false;
                log_raw(Format("Setting Notification for ServiceHandle %d\n",
                               static_cast<int>(characteristic.service_handle)));
                BleEventHandle handle = 0;
                result = service.RegisterValueChanged(characteristic, callback, context, &handle);
                if (result != 0) {
                    log_raw(Format("BluetoothGATTRegisterEvent - Actual Data %x\r\n", Hex(result)));
                } else if (handle != 0) {
                    made.push_back(handle);
                }
            }
            return true;
        });
}

int CBleDevice::Write(const uint8_t* data, int32_t length) {
    if (length < 0 || length > kBleMaxWriteLength || (!data && length > 0)) return 0;
    BleStack* stack = nullptr;
    Snapshot snapshot;
    {
        MutexLock lock(m_mutex);
        if (m_vidText.empty() || m_pidText.empty() || !m_stack) return 0;
        stack = m_stack;
        snapshot = TakeSnapshot();
    }
    int written = 0;
    SearchInterfaces(
        *stack, snapshot.vidText, snapshot.pidText, snapshot.tokens, nullptr,
        [&](const std::string& name, BleServiceHandle& service,
            const std::vector<BleGattCharacteristic>& characteristics) {
            for (const auto& characteristic : characteristics) {
                if (!IsCharacteristic(characteristic, kBleWriteCharacteristic) || !characteristic.is_writable) continue;
                log_raw(name + "\r\n");
                // The value record: a 32-bit size, then the data.
                // compat: the trace shows where the record lies, as it always has;
                // logs compared across versions rely on the "Value Add" line.
                uint8_t record[1000] = {};
                const uint32_t size = static_cast<uint32_t>(length);
                std::memcpy(record, &size, sizeof size);
                if (length > 0) std::memcpy(record + 4, data, static_cast<size_t>(length));
                char line[64];
                std::snprintf(line, sizeof line, "Value Add: %p\r\n", static_cast<void*>(record));
                log_raw(line);
                if (service.WriteCharacteristic(characteristic, record + 4, static_cast<size_t>(length)) == 0) {
                    written = 1;
                    log_raw("Write Success!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\r\n");
                    return false;
                }
                written = 0;
                log_raw("Write fail!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\r\n");
            }
            return true;
        });
    return written;
}

}  // namespace orvex
