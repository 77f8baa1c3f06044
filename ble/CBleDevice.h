// The bridge's handle on one BLE device of family 0x84. It never keeps the
// device open: it holds the texts that identify the device among the GATT
// service interfaces, the tokens of the devices connected at the last scan
// and its value-changed registration, and finds the device again for every
// operation.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/BleStack.h"
#include "platform/ThreadSafety.h"

namespace orvex {

constexpr uint32_t kBleWriteCharacteristic = 0xFEE3;
constexpr uint32_t kBleNotifyCharacteristic = 0xFEE4;
constexpr size_t kBleConnectedTableSize = 1000;
// A value record holds 1000 bytes, 4 of them its size.
constexpr int32_t kBleMaxWriteLength = 996;

class CBleDevice {
public:
    CBleDevice() = default;
    CBleDevice(const CBleDevice&) = delete;
    CBleDevice& operator=(const CBleDevice&) = delete;

    // Null: no stack, every operation finds nothing.
    void SetStack(BleStack* stack);

    // Records the tokens of the present, connected device nodes.
    void ScanConnectedDevices();
    // Asked between the calls of a connect: false ends it early, with what
    // it registered so far kept for release.
    using StillWanted = std::function<bool()>;
    // Upper-cases the texts, scans, and registers callback(…, context) on the
    // notify characteristic of every matching interface.
    void ConnectAndSubscribe(BleValueChangedCallback callback, void* context, const StillWanted& wanted = nullptr);
    // One value of the write characteristic, written with response; 1 when a
    // write succeeded, else 0.
    int Write(const uint8_t* data, int32_t length);

    // For the open step: texts as given (not upper-cased), and the device's
    // Bluetooth address when the HID layer knows it ("" when not): a device
    // object with an address matches its own device's interfaces only.
    void SetTexts(const std::string& vidText, const std::string& pidText, const std::string& address = "");
    // Takes every registration out (the kept handle and the earlier ones of
    // its run); the caller unregisters them.
    std::vector<BleEventHandle> TakeEventHandles();
    bool HasEventHandle();

    std::string VidText();
    std::string PidText();
    int ConnectedCount();

private:
    struct Snapshot {
        std::string vidText, pidText;
        std::vector<std::string> tokens;  // the first m_connectedCount entries
    };
    Snapshot TakeSnapshot() ORVEX_REQUIRES(m_mutex);
    void ScanLocked(const std::vector<BleDeviceNode>& nodes) ORVEX_REQUIRES(m_mutex);

    // Guards every field below: the main loop and the BLE worker rewrite
    // them while the command thread writes through the object. Never held
    // over a call into the stack, which can wait for BlueZ's time-out while
    // the console asks for HasEventHandle.
    Mutex m_mutex;
    BleStack* m_stack ORVEX_GUARDED_BY(m_mutex) = nullptr;
    std::string m_vidText ORVEX_GUARDED_BY(m_mutex);
    std::string m_pidText ORVEX_GUARDED_BY(m_mutex);
    std::string m_addressToken ORVEX_GUARDED_BY(m_mutex);  // upper case, without ':'
    std::array<std::string, kBleConnectedTableSize> m_connectedDevices ORVEX_GUARDED_BY(m_mutex);
    int m_connectedCount ORVEX_GUARDED_BY(m_mutex) = 0;
    BleEventHandle m_gattEventHandle ORVEX_GUARDED_BY(m_mutex) = 0;  // the last registration
    // Every registration still in force. A connect that matches several
    // interfaces registers on each; all of them deliver, and all must be
    // released, though only the last is the slot's handle.
    std::vector<BleEventHandle> m_registrations ORVEX_GUARDED_BY(m_mutex);
};

// The second "_"-separated token of text (runs of "_" count as one, leading
// ones are skipped); false when there is none.
bool BleSecondToken(const std::string& text, std::string* token);

}  // namespace orvex
