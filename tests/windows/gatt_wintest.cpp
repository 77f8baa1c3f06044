// The Win32 GATT backend against faked calls (Wine only stubs them): the
// device object finds its interface, subscribes, registers and writes through
// exactly the calls and records that Windows documents.
#include <gtest/gtest.h>

#include <cstring>

#include "ble/CBleDevice.h"
#include "platform/windows/WinBleStack.h"
#include "support/Fakes.h"
#include "windows/Wine.h"

namespace orvex {
namespace {

constexpr HRESULT kMoreData = HRESULT_FROM_WIN32(ERROR_MORE_DATA);
const char* const kInterface =
    R"(\\?\BTHLEDevice#{0000fee0-0000-1000-8000-00805f9b34fb}_Dev_VID&02045e_PID&0b13_REV&0001_aabbccddeeff#8&2&0&0#{6e3bb679-4372-40c8-9eaa-4509df260cd8})";

BTH_LE_UUID Short(USHORT value) {
    BTH_LE_UUID uuid{};
    uuid.IsShortUuid = TRUE;
    uuid.Value.ShortUuid = value;
    return uuid;
}

// One device: one service with a write (0xFEE3) and a notify (0xFEE4)
// characteristic; the notify one has a configuration descriptor at handle 12
// and one at 300 that must not be written.
class FakeGatt final : public GattApi {
public:
    FakeGatt() {
        BTH_LE_GATT_CHARACTERISTIC write{};
        write.ServiceHandle = 1;
        write.CharacteristicUuid = Short(0xFEE3);
        write.AttributeHandle = 2;
        write.CharacteristicValueHandle = 3;
        write.IsWritable = TRUE;
        BTH_LE_GATT_CHARACTERISTIC notify = write;
        notify.CharacteristicUuid = Short(0xFEE4);
        notify.AttributeHandle = 10;
        notify.CharacteristicValueHandle = 11;
        notify.IsWritable = FALSE;
        notify.IsNotifiable = TRUE;
        characteristics = {write, notify};
        for (USHORT handle : {12, 300}) {
            BTH_LE_GATT_DESCRIPTOR d{};
            d.ServiceHandle = 1;
            d.CharacteristicHandle = 10;
            d.DescriptorType = ClientCharacteristicConfiguration;
            d.DescriptorUuid = Short(0x2902);
            d.AttributeHandle = handle;
            descriptors.push_back(d);
        }
    }

    std::vector<BleDeviceNode> ListDeviceNodes() override {
        BleDeviceNode node;
        node.has_friendly_name = true;
        node.friendly_name = "pad";
        node.hardware_ids = {"BTHLE\\Dev_aabbccddeeff", "BTHLE\\GenericDevice"};
        return {node};
    }
    std::vector<std::string> ListServiceInterfaces() override { return {kInterface}; }
    HANDLE CreateFile(const std::string& path) override {
        log.Add("CreateFile " + std::string(path == kInterface ? "interface" : path));
        return reinterpret_cast<HANDLE>(0x42);
    }
    void CloseHandle(HANDLE) override { log.Add("CloseHandle"); }

    template <typename Record>
    HRESULT List(const std::vector<Record>& all, USHORT count, Record* buffer, USHORT* actual) {
        *actual = static_cast<USHORT>(all.size());
        if (count == 0) return kMoreData;
        std::memcpy(buffer, all.data(), sizeof(Record) * std::min<size_t>(count, all.size()));
        return S_OK;
    }
    HRESULT GetServices(HANDLE, USHORT count, PBTH_LE_GATT_SERVICE services, USHORT* actual) override {
        BTH_LE_GATT_SERVICE service{Short(0xFEE0), 1};
        return servicesResult != S_OK ? servicesResult
                                      : List(std::vector<BTH_LE_GATT_SERVICE>{service}, count, services, actual);
    }
    HRESULT GetCharacteristics(HANDLE, PBTH_LE_GATT_SERVICE service, USHORT count, PBTH_LE_GATT_CHARACTERISTIC out,
                               USHORT* actual) override {
        EXPECT_EQ(service->AttributeHandle, 1);
        return List(characteristics, count, out, actual);
    }
    HRESULT GetDescriptors(HANDLE, PBTH_LE_GATT_CHARACTERISTIC c, USHORT count, PBTH_LE_GATT_DESCRIPTOR out,
                           USHORT* actual) override {
        EXPECT_EQ(c->AttributeHandle, 10);
        return List(descriptors, count, out, actual);
    }
    HRESULT GetDescriptorValue(HANDLE, PBTH_LE_GATT_DESCRIPTOR, ULONG size, PBTH_LE_GATT_DESCRIPTOR_VALUE value,
                               USHORT* required) override {
        if (size == 0) {
            *required = sizeof(BTH_LE_GATT_DESCRIPTOR_VALUE) + 1;
            return kMoreData;
        }
        value->DataSize = 2;
        value->Data[0] = 0;
        return S_OK;
    }
    HRESULT SetDescriptorValue(HANDLE, PBTH_LE_GATT_DESCRIPTOR d, PBTH_LE_GATT_DESCRIPTOR_VALUE v) override {
        log.Add("SetDescriptorValue " + std::to_string(d->AttributeHandle) + " type " +
                std::to_string(v->DescriptorType) + " notify " +
                std::to_string(v->ClientCharacteristicConfiguration.IsSubscribeToNotification) + " indicate " +
                std::to_string(v->ClientCharacteristicConfiguration.IsSubscribeToIndication));
        return S_OK;
    }
    HRESULT BeginReliableWrite(HANDLE, PBTH_LE_GATT_RELIABLE_WRITE_CONTEXT context) override {
        *context = 7;
        log.Add("BeginReliableWrite");
        return S_OK;
    }
    HRESULT SetCharacteristicValue(HANDLE, PBTH_LE_GATT_CHARACTERISTIC c, PBTH_LE_GATT_CHARACTERISTIC_VALUE v,
                                   BTH_LE_GATT_RELIABLE_WRITE_CONTEXT context) override {
        log.Add("SetCharacteristicValue " + std::to_string(c->AttributeHandle) + " context " + std::to_string(context) +
                " " + test::ToHex(test::Bytes(v->Data, v->Data + v->DataSize)));
        return writeResult;
    }
    HRESULT EndReliableWrite(HANDLE, BTH_LE_GATT_RELIABLE_WRITE_CONTEXT context) override {
        log.Add("EndReliableWrite " + std::to_string(context));
        return S_OK;
    }
    HRESULT RegisterEvent(HANDLE, BTH_LE_GATT_EVENT_TYPE type, PVOID registration, PFNBLUETOOTH_GATT_EVENT_CALLBACK cb,
                          PVOID context, BLUETOOTH_GATT_EVENT_HANDLE* handle) override {
        auto* r = static_cast<BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION*>(registration);
        log.Add("RegisterEvent type " + std::to_string(type) + " count " + std::to_string(r->NumCharacteristics) +
                " characteristic " + std::to_string(r->Characteristics[0].AttributeHandle));
        callback = cb;
        callbackContext = context;
        *handle = reinterpret_cast<BLUETOOTH_GATT_EVENT_HANDLE>(0x99);
        return S_OK;
    }
    HRESULT UnregisterEvent(BLUETOOTH_GATT_EVENT_HANDLE handle) override {
        log.Add("UnregisterEvent " + std::to_string(reinterpret_cast<uintptr_t>(handle)));
        return S_OK;
    }

    // What the system does on a notification: the value in a record of its own.
    void Notify(const test::Bytes& bytes) {
        std::vector<uint8_t> buffer(sizeof(ULONG) + bytes.size() + 1);
        auto* value = reinterpret_cast<BTH_LE_GATT_CHARACTERISTIC_VALUE*>(buffer.data());
        value->DataSize = static_cast<ULONG>(bytes.size());
        std::memcpy(value->Data, bytes.data(), bytes.size());
        BLUETOOTH_GATT_VALUE_CHANGED_EVENT event{11, bytes.size(), value};
        callback(CharacteristicValueChangedEvent, &event, callbackContext);
    }

    std::vector<BTH_LE_GATT_CHARACTERISTIC> characteristics;
    std::vector<BTH_LE_GATT_DESCRIPTOR> descriptors;
    HRESULT servicesResult = S_OK;
    HRESULT writeResult = S_OK;
    PFNBLUETOOTH_GATT_EVENT_CALLBACK callback = nullptr;
    PVOID callbackContext = nullptr;
    test::CallLog log;
};

struct Received {
    test::Texts values;
    static void Add(const uint8_t* data, size_t size, void* context) {
        static_cast<Received*>(context)->values.push_back(test::ToHex(test::Bytes(data, data + size)));
    }
};

TEST(TheGattBackend, SubscribesRegistersAndDeliversNotificationsUntilUnregistered) {
    FakeGatt gatt;
    WinBleStack stack(gatt);
    CBleDevice device;
    device.SetStack(&stack);
    device.SetTexts("VID&02045e", "PID&0b13");
    Received received;
    device.ConnectAndSubscribe(&Received::Add, &received);
    EXPECT_EQ(gatt.log.Lines(), (test::Texts{"CreateFile interface", "SetDescriptorValue 12 type 2 notify 1 indicate 0",
                                             "RegisterEvent type 0 count 1 characteristic 10", "CloseHandle"}));
    ASSERT_TRUE(device.HasEventHandle());
    gatt.Notify({0x06, 0x11, 0x22});
    gatt.Notify({});
    EXPECT_EQ(received.values, (test::Texts{"061122", ""}));

    gatt.log.Clear();
    for (BleEventHandle handle : device.TakeEventHandles()) stack.UnregisterEvent(handle);
    EXPECT_EQ(gatt.log.Lines(), (test::Texts{"UnregisterEvent 153"}));
    gatt.Notify({0x07});  // a late call of the system reaches nobody
    EXPECT_EQ(received.values.size(), 2u);
}

TEST(TheGattBackend, WritesInsideTheReliableBracketWithContextZeroAndReportsFailures) {
    FakeGatt gatt;
    WinBleStack stack(gatt);
    CBleDevice device;
    device.SetStack(&stack);
    device.SetTexts("VID&02045e", "PID&0b13");
    Received received;
    device.ConnectAndSubscribe(&Received::Add, &received);
    gatt.log.Clear();
    const uint8_t bytes[] = {0x84, 0x01, 0xAB};
    EXPECT_EQ(device.Write(bytes, 3), 1);
    EXPECT_EQ(gatt.log.Lines(),
              (test::Texts{"CreateFile interface", "BeginReliableWrite", "SetCharacteristicValue 2 context 0 8401ab",
                           "EndReliableWrite 7", "CloseHandle"}));
    gatt.writeResult = E_FAIL;
    EXPECT_EQ(device.Write(bytes, 3), 0);
    gatt.servicesResult = E_ACCESSDENIED;
    gatt.writeResult = S_OK;
    EXPECT_EQ(device.Write(bytes, 3), 0);
}

TEST(TheGattBackend, ListsNodesAndInterfacesAndMatchesNothingForOtherIds) {
    FakeGatt gatt;
    WinBleStack stack(gatt);
    EXPECT_EQ(stack.ServiceInterfaces(), (std::vector<std::string>{kInterface}));
    CBleDevice device;
    device.SetStack(&stack);
    device.SetTexts("VID&02045e", "PID&0b14");
    Received received;
    device.ConnectAndSubscribe(&Received::Add, &received);
    EXPECT_FALSE(device.HasEventHandle());
    EXPECT_TRUE(gatt.log.Lines().empty());
}

// The system's own enumeration runs under Wine and finds no device.
TEST(TheGattBackend, FindsNoDeviceThroughTheSystemUnderWine) {
    if (!test::RunningUnderWine()) GTEST_SKIP() << "not under Wine: the machine's own devices may be present";
    WinBleStack stack;
    EXPECT_TRUE(stack.ServiceInterfaces().empty());
    EXPECT_EQ(stack.OpenService(kInterface), nullptr);
}

}  // namespace
}  // namespace orvex
