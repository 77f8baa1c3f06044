// The Bluetooth LE seam on Windows: SetupAPI lists the Bluetooth device nodes
// and the GATT service interfaces, the BluetoothGATT* functions do the GATT
// work. Every Win32 call goes through GattApi, one virtual per call, so that
// tests replace them (Wine only stubs the GATT functions).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/BleStack.h"
#include "platform/windows/Win32Gatt.h"

namespace orvex {

class GattApi {
public:
    virtual ~GattApi() = default;
    // SetupAPI, narrowed: the present nodes of the Bluetooth setup class, and
    // the paths of the present GATT service interfaces, in the system's order.
    virtual std::vector<BleDeviceNode> ListDeviceNodes();
    virtual std::vector<std::string> ListServiceInterfaces();
    // CreateFileW(path, GENERIC_READ | GENERIC_WRITE, shared, OPEN_EXISTING).
    virtual HANDLE CreateFile(const std::string& path);
    virtual void CloseHandle(HANDLE handle);

    virtual HRESULT GetServices(HANDLE device, USHORT count, PBTH_LE_GATT_SERVICE services, USHORT* actual);
    virtual HRESULT GetCharacteristics(HANDLE device, PBTH_LE_GATT_SERVICE service, USHORT count,
                                       PBTH_LE_GATT_CHARACTERISTIC characteristics, USHORT* actual);
    virtual HRESULT GetDescriptors(HANDLE device, PBTH_LE_GATT_CHARACTERISTIC characteristic, USHORT count,
                                   PBTH_LE_GATT_DESCRIPTOR descriptors, USHORT* actual);
    virtual HRESULT GetDescriptorValue(HANDLE device, PBTH_LE_GATT_DESCRIPTOR descriptor, ULONG size,
                                       PBTH_LE_GATT_DESCRIPTOR_VALUE value, USHORT* required);
    virtual HRESULT SetDescriptorValue(HANDLE device, PBTH_LE_GATT_DESCRIPTOR descriptor,
                                       PBTH_LE_GATT_DESCRIPTOR_VALUE value);
    virtual HRESULT BeginReliableWrite(HANDLE device, PBTH_LE_GATT_RELIABLE_WRITE_CONTEXT context);
    virtual HRESULT SetCharacteristicValue(HANDLE device, PBTH_LE_GATT_CHARACTERISTIC characteristic,
                                           PBTH_LE_GATT_CHARACTERISTIC_VALUE value,
                                           BTH_LE_GATT_RELIABLE_WRITE_CONTEXT context);
    virtual HRESULT EndReliableWrite(HANDLE device, BTH_LE_GATT_RELIABLE_WRITE_CONTEXT context);
    virtual HRESULT RegisterEvent(HANDLE service, BTH_LE_GATT_EVENT_TYPE type, PVOID registration,
                                  PFNBLUETOOTH_GATT_EVENT_CALLBACK callback, PVOID context,
                                  BLUETOOTH_GATT_EVENT_HANDLE* handle);
    virtual HRESULT UnregisterEvent(BLUETOOTH_GATT_EVENT_HANDLE handle);
};

// The first two hardware-id tokens, the device address among them, come from
// the node; the core matches them against the interface paths.
class WinBleStack final : public BleStack {
public:
    WinBleStack();  // the system's calls
    explicit WinBleStack(GattApi& api);
    ~WinBleStack() override;  // unregisters what is still registered

    std::vector<BleDeviceNode> DeviceNodes() override;
    std::vector<std::string> ServiceInterfaces() override;
    std::unique_ptr<BleServiceHandle> OpenService(const std::string& interfaceName) override;
    void UnregisterEvent(BleEventHandle handle) override;
    // A system call under way cannot be interrupted; every later one fails
    // at once until called with false.
    void SetStopping(bool stopping) override;

    struct Registration;

private:
    std::unique_ptr<GattApi> m_ownApi;
    GattApi& m_api;
    std::atomic<bool> m_stopping{false};
};

}  // namespace orvex
