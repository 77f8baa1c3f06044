// Family 0x84: the ten BLE slots, found through the HID layer, connected a
// while later and announced when removed; and the texts their notifications
// become upstream.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ble/CBleDevice.h"
#include "bridge/PageSink.h"
#include "platform/BleStack.h"
#include "platform/DeviceMonitor.h"
#include "platform/HidApi.h"
#include "protocol/BleCommandPort.h"

namespace orvex {

constexpr int kBleSlotCount = 10;
constexpr uint8_t kBleFamily = 0x84;
// Vendor under which the BLE devices appear as HID nodes.
constexpr uint16_t kBleHidVendorId = 0x045E;

struct BleSlotRecord {
    std::string szPath;   // the HID path of the device's first listed collection
    std::string address;  // the device's Bluetooth address, "" when unknown
    // Written by notification callbacks, read by the command and removal sides.
    std::atomic<int> nDeviceId{0};
};

// One BLE slot as the console shows it.
struct BleSlotStatus {
    int slot = 0;
    int deviceId = 0;
    std::string node;         // "" once its HID node was removed
    std::string address;      // "" when unknown
    bool subscribed = false;  // a notification registration is in force
};

class BleSlots final : public BleCommandPort {
public:
    // stack may be null: slots are still made, but nothing connects or writes.
    // Notification and removal texts go to pages.
    BleSlots(BleStack* stack, PageSink& pages);
    ~BleSlots() override;  // waits for a connect step, releases every registration
    BleSlots(const BleSlots&) = delete;
    BleSlots& operator=(const BleSlots&) = delete;

    // The open step: a connect step still running is waited for, every
    // registration released, all ten slots rebuilt from the HID enumeration
    // of vendor 0x045E. True when a slot was filled (the caller then arms the
    // connect timer).
    bool OpenBleFamily(HidApi& hid);
    // Connects and subscribes every slot that has no registration yet. The
    // stack's work runs on a thread of its own, so the main loop goes on
    // meanwhile; each device object keeps the registrations it makes.
    void ConnectBleSlots();
    // Waits until a connect step started earlier has ended.
    void WaitForConnect();
    // A removed HID node: "8400%02x" for every slot whose path it is.
    void HandleBleRemoval(const DeviceChange& change);
    // Releases every registration; afterwards no callback reaches this object.
    void UnregisterAll();

    // One notified value of the slot's notify characteristic.
    void OnValueChanged(int slot, const uint8_t* data, size_t size);
    // Turns one non-empty notification into its upstream text.
    void OnBleNotification(int slot, const uint8_t* data, int32_t size);

    // BleCommandPort, from the command thread.
    std::vector<int> MatchingBleSlots(uint8_t deviceId) override;
    int WriteBle(int slot, const uint8_t* data, int32_t length) override;
    void SetBleBlockIndex(int slot, int blockIndex) override;

    // The slots of the last open step: records copied under the slot lock,
    // registrations asked for after it. Any thread.
    std::vector<BleSlotStatus> Snapshot();

    int Count() const { return m_bleCount.load(); }
    int DeviceId(int slot) const;
    std::string Path(int slot);
    CBleDevice& Device(int slot) { return m_bleDevices[slot]; }

private:
    static bool ValidSlot(int slot) { return slot >= 0 && slot < kBleSlotCount; }
    void ReleaseRegistrations();

    BleStack* m_stack;
    PageSink& m_pages;
    CBleDevice m_bleDevices[kBleSlotCount];
    // Guards the slot paths. Device ids, block indexes and the count are
    // single words shared with callback threads, which must never wait for
    // this lock: the open step holds it while it waits for their end.
    std::mutex m_mutex;
    BleSlotRecord m_bleSlots[kBleSlotCount];
    std::atomic<int> m_bleCount{0};
    std::atomic<int> m_bleBlockIndex[kBleSlotCount] = {};
    // The running connect step; started and joined on the main loop only.
    std::thread m_connect;
};

// The value-changed callbacks, one per slot; context is the BleSlots.
void OnBleValueChanged0(const uint8_t* data, size_t size, void* context);
void OnBleValueChanged1(const uint8_t* data, size_t size, void* context);
void OnBleValueChanged2(const uint8_t* data, size_t size, void* context);
void OnBleValueChanged3(const uint8_t* data, size_t size, void* context);
void OnBleValueChanged4(const uint8_t* data, size_t size, void* context);
void OnBleValueChanged5(const uint8_t* data, size_t size, void* context);
void OnBleValueChanged6(const uint8_t* data, size_t size, void* context);
void OnBleValueChanged7(const uint8_t* data, size_t size, void* context);
void OnBleValueChanged8(const uint8_t* data, size_t size, void* context);
void OnBleValueChanged9(const uint8_t* data, size_t size, void* context);

// The callback of each slot, by slot number.
extern const BleValueChangedCallback kBleValueChangedCallbacks[kBleSlotCount];

}  // namespace orvex
