#include "platform/windows/WinBleStack.h"

#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>
#include <map>

#include "platform/windows/InterfacePath.h"

namespace orvex {

// ---------------------------------------------------------------------------
// The system's calls.

std::vector<BleDeviceNode> GattApi::ListDeviceNodes() {
    std::vector<BleDeviceNode> nodes;
    HDEVINFO set = SetupDiGetClassDevsW(&kGuidDevClassBluetooth, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return nodes;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        BleDeviceNode node;
        ULONG status = 0, problem = 0;
        CM_Get_DevNode_Status(&status, &problem, info.DevInst, 0);
        node.disconnected = (status & 0x02000000) != 0;  // DN_DEVICE_DISCONNECTED
        wchar_t text[260] = {};
        if (SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_FRIENDLYNAME, nullptr, reinterpret_cast<BYTE*>(text),
                                              sizeof text - sizeof(wchar_t), nullptr)) {
            node.has_friendly_name = true;
            node.friendly_name = Narrow(text);
        }
        wchar_t ids[260] = {};
        if (SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                              sizeof ids - 2 * sizeof(wchar_t), nullptr)) {
            // A multi-string: ids end at an empty one.
            for (const wchar_t* id = ids; *id && id < ids + 259; id += wcslen(id) + 1)
                node.hardware_ids.push_back(Narrow(id));
        }
        nodes.push_back(std::move(node));
    }
    SetupDiDestroyDeviceInfoList(set);
    return nodes;
}

std::vector<std::string> GattApi::ListServiceInterfaces() {
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsW(&kGuidBluetoothGattServiceInterface, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kGuidBluetoothGattServiceInterface, i, &data); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        std::vector<uint8_t> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr)) break;
        paths.push_back(Narrow(detail->DevicePath));
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

HANDLE GattApi::CreateFile(const std::string& path) {
    return CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}
void GattApi::CloseHandle(HANDLE handle) {
    ::CloseHandle(handle);
}

HRESULT GattApi::GetServices(HANDLE device, USHORT count, PBTH_LE_GATT_SERVICE services, USHORT* actual) {
    return BluetoothGATTGetServices(device, count, services, actual, BLUETOOTH_GATT_FLAG_NONE);
}
HRESULT GattApi::GetCharacteristics(HANDLE device, PBTH_LE_GATT_SERVICE service, USHORT count,
                                    PBTH_LE_GATT_CHARACTERISTIC characteristics, USHORT* actual) {
    return BluetoothGATTGetCharacteristics(device, service, count, characteristics, actual, BLUETOOTH_GATT_FLAG_NONE);
}
HRESULT GattApi::GetDescriptors(HANDLE device, PBTH_LE_GATT_CHARACTERISTIC characteristic, USHORT count,
                                PBTH_LE_GATT_DESCRIPTOR descriptors, USHORT* actual) {
    return BluetoothGATTGetDescriptors(device, characteristic, count, descriptors, actual, BLUETOOTH_GATT_FLAG_NONE);
}
HRESULT GattApi::GetDescriptorValue(HANDLE device, PBTH_LE_GATT_DESCRIPTOR descriptor, ULONG size,
                                    PBTH_LE_GATT_DESCRIPTOR_VALUE value, USHORT* required) {
    return BluetoothGATTGetDescriptorValue(device, descriptor, size, value, required, BLUETOOTH_GATT_FLAG_NONE);
}
HRESULT GattApi::SetDescriptorValue(HANDLE device, PBTH_LE_GATT_DESCRIPTOR descriptor,
                                    PBTH_LE_GATT_DESCRIPTOR_VALUE value) {
    return BluetoothGATTSetDescriptorValue(device, descriptor, value, BLUETOOTH_GATT_FLAG_NONE);
}
HRESULT GattApi::BeginReliableWrite(HANDLE device, PBTH_LE_GATT_RELIABLE_WRITE_CONTEXT context) {
    return BluetoothGATTBeginReliableWrite(device, context, BLUETOOTH_GATT_FLAG_NONE);
}
HRESULT GattApi::SetCharacteristicValue(HANDLE device, PBTH_LE_GATT_CHARACTERISTIC characteristic,
                                        PBTH_LE_GATT_CHARACTERISTIC_VALUE value,
                                        BTH_LE_GATT_RELIABLE_WRITE_CONTEXT context) {
    return BluetoothGATTSetCharacteristicValue(device, characteristic, value, context, BLUETOOTH_GATT_FLAG_NONE);
}
HRESULT GattApi::EndReliableWrite(HANDLE device, BTH_LE_GATT_RELIABLE_WRITE_CONTEXT context) {
    return BluetoothGATTEndReliableWrite(device, context, BLUETOOTH_GATT_FLAG_NONE);
}
HRESULT GattApi::RegisterEvent(HANDLE service, BTH_LE_GATT_EVENT_TYPE type, PVOID registration,
                               PFNBLUETOOTH_GATT_EVENT_CALLBACK callback, PVOID context,
                               BLUETOOTH_GATT_EVENT_HANDLE* handle) {
    return BluetoothGATTRegisterEvent(service, type, registration, callback, context, handle, BLUETOOTH_GATT_FLAG_NONE);
}
HRESULT GattApi::UnregisterEvent(BLUETOOTH_GATT_EVENT_HANDLE handle) {
    return BluetoothGATTUnregisterEvent(handle, BLUETOOTH_GATT_FLAG_NONE);
}

// ---------------------------------------------------------------------------
// Registrations. The system calls back with a context of ours; that context is
// a number looked up here, not a pointer, so that a callback arriving after
// its registration ended finds nothing instead of freed memory.

struct WinBleStack::Registration {
    GattApi* api = nullptr;
    BLUETOOTH_GATT_EVENT_HANDLE system = nullptr;
    BleValueChangedCallback callback = nullptr;
    void* context = nullptr;
    std::mutex calling;  // held while the callback runs
    bool ended = false;
};

namespace {

constexpr HRESULT kMoreData = HRESULT_FROM_WIN32(ERROR_MORE_DATA);
// What a GATT call gives while the stack is stopping.
constexpr int kStopping = static_cast<int>(HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED));

std::mutex g_registrationsMutex;
std::map<uintptr_t, std::shared_ptr<WinBleStack::Registration>> g_registrations;
uintptr_t g_nextRegistration = 1;

void CALLBACK OnValueChanged(BTH_LE_GATT_EVENT_TYPE type, PVOID parameter, PVOID context) {
    if (type != CharacteristicValueChangedEvent || parameter == nullptr) return;
    std::shared_ptr<WinBleStack::Registration> registration;
    {
        std::lock_guard<std::mutex> lock(g_registrationsMutex);
        auto it = g_registrations.find(reinterpret_cast<uintptr_t>(context));
        if (it == g_registrations.end()) return;
        registration = it->second;
    }
    const auto* event = static_cast<const BLUETOOTH_GATT_VALUE_CHANGED_EVENT*>(parameter);
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (event->CharacteristicValue) {
        data = event->CharacteristicValue->Data;
        size = event->CharacteristicValue->DataSize;
    }
    std::lock_guard<std::mutex> lock(registration->calling);
    if (!registration->ended) registration->callback(data, size, registration->context);
}

BleUuid ToUuid(const BTH_LE_UUID& uuid) {
    BleUuid out;
    out.is_short = uuid.IsShortUuid != 0;
    // The first four bytes of the value, short UUID or not.
    std::memcpy(&out.value, &uuid.Value, sizeof out.value);
    if (out.is_short) out.value = uuid.Value.ShortUuid;
    return out;
}

BTH_LE_UUID FromUuid(const BleUuid& uuid) {
    BTH_LE_UUID out{};
    out.IsShortUuid = uuid.is_short;
    if (uuid.is_short)
        out.Value.ShortUuid = static_cast<USHORT>(uuid.value);
    else
        std::memcpy(&out.Value, &uuid.value, sizeof uuid.value);
    return out;
}

BleDescriptorType ToType(BTH_LE_GATT_DESCRIPTOR_TYPE type) {
    switch (type) {
        case CharacteristicExtendedProperties:
            return BleDescriptorType::CharacteristicExtendedProperties;
        case CharacteristicUserDescription:
            return BleDescriptorType::CharacteristicUserDescription;
        case ClientCharacteristicConfiguration:
            return BleDescriptorType::ClientCharacteristicConfiguration;
        case ServerCharacteristicConfiguration:
            return BleDescriptorType::ServerCharacteristicConfiguration;
        case CharacteristicFormat:
            return BleDescriptorType::CharacteristicFormat;
        case CharacteristicAggregateFormat:
            return BleDescriptorType::CharacteristicAggregateFormat;
        default:
            return BleDescriptorType::Custom;
    }
}

BTH_LE_GATT_DESCRIPTOR_TYPE FromType(BleDescriptorType type) {
    switch (type) {
        case BleDescriptorType::CharacteristicExtendedProperties:
            return CharacteristicExtendedProperties;
        case BleDescriptorType::CharacteristicUserDescription:
            return CharacteristicUserDescription;
        case BleDescriptorType::ClientCharacteristicConfiguration:
            return ClientCharacteristicConfiguration;
        case BleDescriptorType::ServerCharacteristicConfiguration:
            return ServerCharacteristicConfiguration;
        case BleDescriptorType::CharacteristicFormat:
            return CharacteristicFormat;
        case BleDescriptorType::CharacteristicAggregateFormat:
            return CharacteristicAggregateFormat;
        default:
            return CustomDescriptor;
    }
}

BTH_LE_GATT_CHARACTERISTIC FromCharacteristic(const BleGattCharacteristic& c) {
    BTH_LE_GATT_CHARACTERISTIC out{};
    out.ServiceHandle = c.service_handle;
    out.CharacteristicUuid = FromUuid(c.uuid);
    out.AttributeHandle = c.attribute_handle;
    out.CharacteristicValueHandle = c.value_handle;
    out.IsBroadcastable = c.is_broadcastable;
    out.IsReadable = c.is_readable;
    out.IsWritable = c.is_writable;
    out.IsWritableWithoutResponse = c.is_writable_without_response;
    out.IsSignedWritable = c.is_signed_writable;
    out.IsNotifiable = c.is_notifiable;
    out.IsIndicatable = c.is_indicatable;
    out.HasExtendedProperties = c.has_extended_properties;
    return out;
}

BTH_LE_GATT_DESCRIPTOR FromDescriptor(const BleGattDescriptor& d) {
    BTH_LE_GATT_DESCRIPTOR out{};
    out.ServiceHandle = d.service_handle;
    out.CharacteristicHandle = d.characteristic_handle;
    out.DescriptorType = FromType(d.type);
    out.DescriptorUuid = FromUuid(d.uuid);
    out.AttributeHandle = d.attribute_handle;
    return out;
}

// The two-call pattern of the GATT list functions: the count first (the call
// answers ERROR_MORE_DATA), then the records. The first failing result is
// returned, else 0; records the second call did not fill stay zero.
template <typename Record, typename Call>
int ReadList(std::vector<Record>* records, Call call) {
    USHORT count = 0;
    HRESULT result = call(0, nullptr, &count);
    if (result != kMoreData) return result == S_OK ? 0 : static_cast<int>(result);
    records->assign(count, Record{});
    USHORT actual = 0;
    result = call(count, records->data(), &actual);
    return result == S_OK ? 0 : static_cast<int>(result);
}

class WinServiceHandle final : public BleServiceHandle {
public:
    WinServiceHandle(GattApi& api, HANDLE handle, const std::atomic<bool>& stopping)
        : m_api(api), m_handle(handle), m_stopping(stopping) {}
    ~WinServiceHandle() override { m_api.CloseHandle(m_handle); }

    int GetServices(std::vector<BleGattService>* services) override {
        services->clear();
        if (m_stopping) return kStopping;
        std::vector<BTH_LE_GATT_SERVICE> records;
        const int result = ReadList(&records, [&](USHORT n, BTH_LE_GATT_SERVICE* buffer, USHORT* actual) {
            return m_api.GetServices(m_handle, n, buffer, actual);
        });
        for (const auto& r : records) services->push_back({ToUuid(r.ServiceUuid), r.AttributeHandle});
        return result;
    }

    int GetCharacteristics(const BleGattService& service,
                           std::vector<BleGattCharacteristic>* characteristics) override {
        characteristics->clear();
        if (m_stopping) return kStopping;
        BTH_LE_GATT_SERVICE record{};
        record.ServiceUuid = FromUuid(service.uuid);
        record.AttributeHandle = service.attribute_handle;
        std::vector<BTH_LE_GATT_CHARACTERISTIC> records;
        const int result = ReadList(&records, [&](USHORT n, BTH_LE_GATT_CHARACTERISTIC* buffer, USHORT* actual) {
            return m_api.GetCharacteristics(m_handle, &record, n, buffer, actual);
        });
        for (const auto& r : records) {
            BleGattCharacteristic c;
            c.service_handle = r.ServiceHandle;
            c.uuid = ToUuid(r.CharacteristicUuid);
            c.attribute_handle = r.AttributeHandle;
            c.value_handle = r.CharacteristicValueHandle;
            c.is_broadcastable = r.IsBroadcastable;
            c.is_readable = r.IsReadable;
            c.is_writable = r.IsWritable;
            c.is_writable_without_response = r.IsWritableWithoutResponse;
            c.is_signed_writable = r.IsSignedWritable;
            c.is_notifiable = r.IsNotifiable;
            c.is_indicatable = r.IsIndicatable;
            c.has_extended_properties = r.HasExtendedProperties;
            characteristics->push_back(c);
        }
        return result;
    }

    int GetDescriptors(const BleGattCharacteristic& characteristic,
                       std::vector<BleGattDescriptor>* descriptors) override {
        descriptors->clear();
        if (m_stopping) return kStopping;
        BTH_LE_GATT_CHARACTERISTIC record = FromCharacteristic(characteristic);
        std::vector<BTH_LE_GATT_DESCRIPTOR> records;
        const int result = ReadList(&records, [&](USHORT n, BTH_LE_GATT_DESCRIPTOR* buffer, USHORT* actual) {
            return m_api.GetDescriptors(m_handle, &record, n, buffer, actual);
        });
        for (const auto& r : records)
            descriptors->push_back({r.ServiceHandle, r.CharacteristicHandle, ToType(r.DescriptorType),
                                    ToUuid(r.DescriptorUuid), r.AttributeHandle});
        return result;
    }

    int GetDescriptorValue(const BleGattDescriptor& descriptor, std::vector<uint8_t>* value) override {
        value->clear();
        if (m_stopping) return kStopping;
        BTH_LE_GATT_DESCRIPTOR record = FromDescriptor(descriptor);
        USHORT required = 0;
        HRESULT result = m_api.GetDescriptorValue(m_handle, &record, 0, nullptr, &required);
        if (result != kMoreData) return result == S_OK ? 0 : static_cast<int>(result);
        std::vector<uint8_t> buffer(std::max<size_t>(required, sizeof(BTH_LE_GATT_DESCRIPTOR_VALUE)), 0);
        auto* record_value = reinterpret_cast<BTH_LE_GATT_DESCRIPTOR_VALUE*>(buffer.data());
        result = m_api.GetDescriptorValue(m_handle, &record, static_cast<ULONG>(buffer.size()), record_value, nullptr);
        if (result != S_OK) return static_cast<int>(result);
        const size_t offset = offsetof(BTH_LE_GATT_DESCRIPTOR_VALUE, Data);
        const size_t size = std::min<size_t>(record_value->DataSize, buffer.size() - offset);
        value->assign(buffer.begin() + offset, buffer.begin() + offset + size);
        return 0;
    }

    int SubscribeToNotifications(const BleGattDescriptor& descriptor) override {
        if (m_stopping) return kStopping;
        BTH_LE_GATT_DESCRIPTOR record = FromDescriptor(descriptor);
        BTH_LE_GATT_DESCRIPTOR_VALUE value{};
        value.DescriptorType = ClientCharacteristicConfiguration;
        value.ClientCharacteristicConfiguration.IsSubscribeToNotification = TRUE;
        value.ClientCharacteristicConfiguration.IsSubscribeToIndication = FALSE;
        const HRESULT result = m_api.SetDescriptorValue(m_handle, &record, &value);
        return result == S_OK ? 0 : static_cast<int>(result);
    }

    int RegisterValueChanged(const BleGattCharacteristic& characteristic, BleValueChangedCallback callback,
                             void* context, BleEventHandle* handle) override {
        if (m_stopping) return kStopping;
        auto registration = std::make_shared<WinBleStack::Registration>();
        registration->api = &m_api;
        registration->callback = callback;
        registration->context = context;
        uintptr_t id;
        {
            std::lock_guard<std::mutex> lock(g_registrationsMutex);
            id = g_nextRegistration++;
            g_registrations[id] = registration;
        }
        BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION record{};
        record.NumCharacteristics = 1;
        record.Characteristics[0] = FromCharacteristic(characteristic);
        const HRESULT result = m_api.RegisterEvent(m_handle, CharacteristicValueChangedEvent, &record, OnValueChanged,
                                                   reinterpret_cast<PVOID>(id), &registration->system);
        if (result != S_OK) {
            std::lock_guard<std::mutex> lock(g_registrationsMutex);
            g_registrations.erase(id);
            return static_cast<int>(result);
        }
        *handle = id;
        return 0;
    }

    int WriteCharacteristic(const BleGattCharacteristic& characteristic, const uint8_t* data, size_t length) override {
        if (m_stopping) return kStopping;
        BTH_LE_GATT_CHARACTERISTIC record = FromCharacteristic(characteristic);
        // The begin/end bracket around an ordinary write (context 0) is what
        // the devices have always been written with.
        BTH_LE_GATT_RELIABLE_WRITE_CONTEXT reliable = 0;
        HRESULT result = m_api.BeginReliableWrite(m_handle, &reliable);
        if (SUCCEEDED(result)) {
            std::vector<uint8_t> buffer(offsetof(BTH_LE_GATT_CHARACTERISTIC_VALUE, Data) + std::max<size_t>(length, 1));
            auto* value = reinterpret_cast<BTH_LE_GATT_CHARACTERISTIC_VALUE*>(buffer.data());
            value->DataSize = static_cast<ULONG>(length);
            if (length) std::memcpy(value->Data, data, length);
            result = m_api.SetCharacteristicValue(m_handle, &record, value, 0);
        }
        if (reliable != 0) m_api.EndReliableWrite(m_handle, reliable);
        return result == S_OK ? 0 : (result > 0 ? -1 : static_cast<int>(result));
    }

private:
    GattApi& m_api;
    HANDLE m_handle;
    const std::atomic<bool>& m_stopping;  // the stack's, which outlives its handles
};

}  // namespace

WinBleStack::WinBleStack() : m_ownApi(std::make_unique<GattApi>()), m_api(*m_ownApi) {}
WinBleStack::WinBleStack(GattApi& api) : m_api(api) {}

WinBleStack::~WinBleStack() {
    std::vector<uintptr_t> ids;
    {
        std::lock_guard<std::mutex> lock(g_registrationsMutex);
        for (const auto& entry : g_registrations)
            if (entry.second->api == &m_api) ids.push_back(entry.first);
    }
    for (uintptr_t id : ids) UnregisterEvent(id);
}

std::vector<BleDeviceNode> WinBleStack::DeviceNodes() {
    if (m_stopping) return {};
    return m_api.ListDeviceNodes();
}
std::vector<std::string> WinBleStack::ServiceInterfaces() {
    if (m_stopping) return {};
    return m_api.ListServiceInterfaces();
}

std::unique_ptr<BleServiceHandle> WinBleStack::OpenService(const std::string& interfaceName) {
    if (m_stopping) return nullptr;
    HANDLE handle = m_api.CreateFile(interfaceName);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return nullptr;
    return std::make_unique<WinServiceHandle>(m_api, handle, m_stopping);
}

void WinBleStack::SetStopping(bool stopping) {
    m_stopping = stopping;
}

void WinBleStack::UnregisterEvent(BleEventHandle handle) {
    std::shared_ptr<Registration> registration;
    {
        std::lock_guard<std::mutex> lock(g_registrationsMutex);
        auto it = g_registrations.find(static_cast<uintptr_t>(handle));
        if (it == g_registrations.end()) return;
        registration = it->second;
        g_registrations.erase(it);
    }
    m_api.UnregisterEvent(registration->system);
    // A callback that found the registration before it left the map either
    // runs now (this waits for it) or will find it ended.
    std::lock_guard<std::mutex> lock(registration->calling);
    registration->ended = true;
}

}  // namespace orvex
