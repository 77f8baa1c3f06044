// Family 0x84: the ten BLE slots, found through the HID layer, connected a
// while later and announced when removed; and the texts their notifications
// become upstream.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ble/CBleDevice.h"
#include "bridge/PageSink.h"
#include "families/BleCommandPort.h"
#include "families/Families.h"
#include "platform/BleStack.h"
#include "platform/DeviceMonitor.h"
#include "platform/HidApi.h"
#include "platform/ThreadSafety.h"
#include "platform/Timings.h"

namespace orvex {

constexpr int kBleSlotCount = 10;
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
    // Notification and removal texts go to pages. UnregisterAll waits for the
    // worker stopWait at most.
    BleSlots(BleStack* stack, PageSink& pages, Milliseconds stopWait = kBleStopWait);
    // Releases every registration, then ends the worker: at once with a
    // stack that fails its calls when stopping; one call the stack cannot
    // interrupt may still be waited for.
    ~BleSlots() override;
    BleSlots(const BleSlots&) = delete;
    BleSlots& operator=(const BleSlots&) = delete;

    // Every call into the stack (a release, a connect) can wait for BlueZ's
    // time-out, so it runs on the BLE worker, one step at a time in the order
    // asked; the caller, usually the main loop, never waits for the bus.

    // The open step: all ten slots rebuilt at once from the HID enumeration
    // of vendor 0x045E; the registrations of the old ones reach nothing from
    // here on and are released on the worker, before any later connect.
    // True when a slot was filled (the caller then arms the connect timer).
    bool OpenBleFamily(HidApi& hid);
    // Connects and subscribes, on the worker, every slot that has no
    // registration yet; each device object keeps the registrations it makes.
    void ConnectBleSlots();
    // Waits until every step asked for so far has ended, bound at most;
    // false when one still runs. For shutdown and tests, not the main loop.
    bool WaitForConnect(Milliseconds bound);
    // A removed HID node: "8400%02x" for every slot whose path it is.
    void HandleBleRemoval(const DeviceChange& change);
    // The first step of a stop or a session switch: calls into the stack
    // (a write of the command thread, the worker's) fail from now on instead
    // of waiting for it, until UnregisterAll finds the worker idle, the next
    // open step or the destructor.
    void AbandonCalls();
    // Releases every registration and waits for the worker, bounded (stop
    // and session switch only); afterwards no callback reaches the pages,
    // and none reaches this object once it is destroyed.
    void UnregisterAll();

    // A value from the stack: passed on while the slot's registrations are
    // those of the current open step, else dropped.
    void OnRegisteredValue(int slot, const uint8_t* data, size_t size);
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
    CBleDevice& Device(int slot) { return m_bleDevices[slot]; }

private:
    static bool ValidSlot(int slot) { return slot >= 0 && slot < kBleSlotCount; }
    // A slot's device id: a single word that callbacks write and the
    // protocol reads without the lock that guards the rest of the record.
    std::atomic<int>& IdOf(int slot) ORVEX_TSA(no_thread_safety_analysis) { return m_bleSlots[slot].nDeviceId; }
    const std::atomic<int>& IdOf(int slot) const ORVEX_TSA(no_thread_safety_analysis) {
        return m_bleSlots[slot].nDeviceId;
    }
    // Starts a new generation: callbacks of the registrations made so far
    // reach nothing from now on, and the worker releases them next.
    void RetireRegistrations();
    void Post(std::function<void()> step);
    void WorkerLoop();

    BleStack* m_stack;
    PageSink& m_pages;
    const Milliseconds m_stopWait;
    CBleDevice m_bleDevices[kBleSlotCount];
    // Guards the slot paths. Device ids, block indexes and the count are
    // single words shared with callback threads, which never take this lock.
    Mutex m_mutex;
    BleSlotRecord m_bleSlots[kBleSlotCount] ORVEX_GUARDED_BY(m_mutex);
    std::atomic<int> m_bleCount{0};
    std::atomic<int> m_bleBlockIndex[kBleSlotCount] = {};

    // Bumped by every open step and by UnregisterAll. A slot delivers while
    // its generation (set by the connect step that registers it) is the
    // current one. Callbacks read both under a shared hold of m_delivery; a
    // bump takes it whole, so no callback of an older generation is still
    // writing the records once the bump returns.
    SharedMutex m_delivery;
    std::atomic<unsigned> m_generation{0};
    std::atomic<unsigned> m_slotGeneration[kBleSlotCount] = {};

    // The BLE worker and its queue of steps.
    Mutex m_workMutex;
    std::condition_variable_any m_workChanged;
    std::deque<std::function<void()>> m_steps ORVEX_GUARDED_BY(m_workMutex);
    bool m_working ORVEX_GUARDED_BY(m_workMutex) = false;  // a step is running
    bool m_stopWorker ORVEX_GUARDED_BY(m_workMutex) = false;
    std::thread m_worker;
};

// The callback of each slot, by slot number.
extern const BleValueChangedCallback kBleValueChangedCallbacks[kBleSlotCount];

}  // namespace orvex
