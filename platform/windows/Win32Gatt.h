// The Bluetooth LE GATT declarations of Windows (bthledef.h and
// bluetoothleapis.h), which mingw-w64 does not ship; libbluetoothapis.a
// exports the functions. Layouts and values as Microsoft documents them.
#pragma once

#include <windows.h>

extern "C" {

typedef struct _BTH_LE_UUID {
    BOOLEAN IsShortUuid;
    union {
        USHORT ShortUuid;
        GUID LongUuid;
    } Value;
} BTH_LE_UUID, *PBTH_LE_UUID;

typedef struct _BTH_LE_GATT_SERVICE {
    BTH_LE_UUID ServiceUuid;
    USHORT AttributeHandle;
} BTH_LE_GATT_SERVICE, *PBTH_LE_GATT_SERVICE;

typedef struct _BTH_LE_GATT_CHARACTERISTIC {
    USHORT ServiceHandle;
    BTH_LE_UUID CharacteristicUuid;
    USHORT AttributeHandle;
    USHORT CharacteristicValueHandle;
    BOOLEAN IsBroadcastable;
    BOOLEAN IsReadable;
    BOOLEAN IsWritable;
    BOOLEAN IsWritableWithoutResponse;
    BOOLEAN IsSignedWritable;
    BOOLEAN IsNotifiable;
    BOOLEAN IsIndicatable;
    BOOLEAN HasExtendedProperties;
} BTH_LE_GATT_CHARACTERISTIC, *PBTH_LE_GATT_CHARACTERISTIC;

typedef struct _BTH_LE_GATT_CHARACTERISTIC_VALUE {
    ULONG DataSize;
    UCHAR Data[1];
} BTH_LE_GATT_CHARACTERISTIC_VALUE, *PBTH_LE_GATT_CHARACTERISTIC_VALUE;

typedef enum _BTH_LE_GATT_DESCRIPTOR_TYPE {
    CharacteristicExtendedProperties,
    CharacteristicUserDescription,
    ClientCharacteristicConfiguration,
    ServerCharacteristicConfiguration,
    CharacteristicFormat,
    CharacteristicAggregateFormat,
    CustomDescriptor
} BTH_LE_GATT_DESCRIPTOR_TYPE;

typedef struct _BTH_LE_GATT_DESCRIPTOR {
    USHORT ServiceHandle;
    USHORT CharacteristicHandle;
    BTH_LE_GATT_DESCRIPTOR_TYPE DescriptorType;
    BTH_LE_UUID DescriptorUuid;
    USHORT AttributeHandle;
} BTH_LE_GATT_DESCRIPTOR, *PBTH_LE_GATT_DESCRIPTOR;

typedef struct _BTH_LE_GATT_DESCRIPTOR_VALUE {
    BTH_LE_GATT_DESCRIPTOR_TYPE DescriptorType;
    BTH_LE_UUID DescriptorUuid;
    union {
        struct {
            BOOLEAN IsReliableWriteEnabled;
            BOOLEAN IsAuxiliariesWritable;
        } CharacteristicExtendedProperties;
        struct {
            BOOLEAN IsSubscribeToNotification;
            BOOLEAN IsSubscribeToIndication;
        } ClientCharacteristicConfiguration;
        struct {
            BOOLEAN IsBroadcast;
        } ServerCharacteristicConfiguration;
        struct {
            UCHAR Format;
            UCHAR Exponent;
            BTH_LE_UUID Unit;
            UCHAR NameSpace;
            BTH_LE_UUID Description;
        } CharacteristicFormat;
    };
    ULONG DataSize;
    UCHAR Data[1];
} BTH_LE_GATT_DESCRIPTOR_VALUE, *PBTH_LE_GATT_DESCRIPTOR_VALUE;

typedef enum _BTH_LE_GATT_EVENT_TYPE {
    CharacteristicValueChangedEvent,
} BTH_LE_GATT_EVENT_TYPE;

typedef VOID(CALLBACK* PFNBLUETOOTH_GATT_EVENT_CALLBACK)(BTH_LE_GATT_EVENT_TYPE EventType, PVOID EventOutParameter,
                                                         PVOID Context);

typedef struct _BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION {
    USHORT NumCharacteristics;
    BTH_LE_GATT_CHARACTERISTIC Characteristics[1];
} BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION, *PBLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION;

typedef struct _BLUETOOTH_GATT_VALUE_CHANGED_EVENT {
    USHORT ChangedAttributeHandle;
    size_t CharacteristicValueDataSize;
    PBTH_LE_GATT_CHARACTERISTIC_VALUE CharacteristicValue;
} BLUETOOTH_GATT_VALUE_CHANGED_EVENT, *PBLUETOOTH_GATT_VALUE_CHANGED_EVENT;

typedef HANDLE BLUETOOTH_GATT_EVENT_HANDLE;
typedef ULONG64 BTH_LE_GATT_RELIABLE_WRITE_CONTEXT, *PBTH_LE_GATT_RELIABLE_WRITE_CONTEXT;

#define BLUETOOTH_GATT_FLAG_NONE 0x00000000

HRESULT WINAPI BluetoothGATTGetServices(HANDLE hDevice, USHORT ServicesBufferCount, PBTH_LE_GATT_SERVICE ServicesBuffer,
                                        USHORT* ServicesBufferActual, ULONG Flags);
HRESULT WINAPI BluetoothGATTGetCharacteristics(HANDLE hDevice, PBTH_LE_GATT_SERVICE Service,
                                               USHORT CharacteristicsBufferCount,
                                               PBTH_LE_GATT_CHARACTERISTIC CharacteristicsBuffer,
                                               USHORT* CharacteristicsBufferActual, ULONG Flags);
HRESULT WINAPI BluetoothGATTGetDescriptors(HANDLE hDevice, PBTH_LE_GATT_CHARACTERISTIC Characteristic,
                                           USHORT DescriptorsBufferCount, PBTH_LE_GATT_DESCRIPTOR DescriptorsBuffer,
                                           USHORT* DescriptorsBufferActual, ULONG Flags);
HRESULT WINAPI BluetoothGATTGetDescriptorValue(HANDLE hDevice, PBTH_LE_GATT_DESCRIPTOR Descriptor,
                                               ULONG DescriptorValueDataSize,
                                               PBTH_LE_GATT_DESCRIPTOR_VALUE DescriptorValue,
                                               USHORT* DescriptorValueSizeRequired, ULONG Flags);
HRESULT WINAPI BluetoothGATTSetDescriptorValue(HANDLE hDevice, PBTH_LE_GATT_DESCRIPTOR Descriptor,
                                               PBTH_LE_GATT_DESCRIPTOR_VALUE DescriptorValue, ULONG Flags);
HRESULT WINAPI BluetoothGATTSetCharacteristicValue(HANDLE hDevice, PBTH_LE_GATT_CHARACTERISTIC Characteristic,
                                                   PBTH_LE_GATT_CHARACTERISTIC_VALUE CharacteristicValue,
                                                   BTH_LE_GATT_RELIABLE_WRITE_CONTEXT ReliableWriteContext,
                                                   ULONG Flags);
HRESULT WINAPI BluetoothGATTBeginReliableWrite(HANDLE hDevice, PBTH_LE_GATT_RELIABLE_WRITE_CONTEXT ReliableWriteContext,
                                               ULONG Flags);
HRESULT WINAPI BluetoothGATTEndReliableWrite(HANDLE hDevice, BTH_LE_GATT_RELIABLE_WRITE_CONTEXT ReliableWriteContext,
                                             ULONG Flags);
HRESULT WINAPI BluetoothGATTRegisterEvent(HANDLE hService, BTH_LE_GATT_EVENT_TYPE EventType, PVOID EventParameterIn,
                                          PFNBLUETOOTH_GATT_EVENT_CALLBACK Callback, PVOID CallbackContext,
                                          BLUETOOTH_GATT_EVENT_HANDLE* pEventHandle, ULONG Flags);
HRESULT WINAPI BluetoothGATTUnregisterEvent(BLUETOOTH_GATT_EVENT_HANDLE EventHandle, ULONG Flags);

}  // extern "C"

// {6E3BB679-4372-40C8-9EAA-4509DF260CD8}: GATT service device interfaces.
constexpr GUID kGuidBluetoothGattServiceInterface = {
    0x6E3BB679, 0x4372, 0x40C8, {0x9E, 0xAA, 0x45, 0x09, 0xDF, 0x26, 0x0C, 0xD8}};
// {E0CBF06C-CD8B-4647-BB8A-263B43F0F974}: the Bluetooth device setup class.
constexpr GUID kGuidDevClassBluetooth = {0xE0CBF06C, 0xCD8B, 0x4647, {0xBB, 0x8A, 0x26, 0x3B, 0x43, 0xF0, 0xF9, 0x74}};
