#include "ble/BleSlots.h"

#include <chrono>
#include <cstdio>
#include <system_error>

#include "platform/Log.h"
#include "platform/Text.h"

namespace orvex {

namespace {

// compat: BLE removal paths are matched without regard to letter case on
// every system, as the bridge has always matched removal paths. HID paths
// follow their backend instead (HidApi::same_path): also without case on
// Windows, exact on Linux, whose node names are case-sensitive.
bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return AsciiEqualIgnoringCase(a, b);
}

}  // namespace

BleSlots::BleSlots(BleStack* stack, PageSink& pages, Milliseconds stopWait)
    : m_stack(stack), m_pages(pages), m_stopWait(stopWait) {
    for (auto& device : m_bleDevices) device.SetStack(stack);
    try {
        m_worker = std::thread([this] { WorkerLoop(); });
    } catch (const std::system_error& e) {
        // Steps then run on the caller: slower, but nothing is lost.
        diag_error(std::string("cannot start the BLE worker: ") + e.what());
    }
}

BleSlots::~BleSlots() {
    UnregisterAll();
    {
        MutexLock lock(m_workMutex);
        m_stopWorker = true;
    }
    m_workChanged.notify_all();
    if (m_worker.joinable()) m_worker.join();
    if (m_stack) m_stack->SetStopping(false);
}

void BleSlots::Post(std::function<void()> step) {
    if (!m_worker.joinable()) {
        step();
        return;
    }
    {
        MutexLock lock(m_workMutex);
        m_steps.push_back(std::move(step));
    }
    m_workChanged.notify_all();
}

void BleSlots::WorkerLoop() {
    MutexLock lock(m_workMutex);
    while (true) {
        while (!m_stopWorker && m_steps.empty()) m_workChanged.wait(lock);
        if (m_steps.empty()) return;  // stopping, and nothing left to do
        std::function<void()> step = std::move(m_steps.front());
        m_steps.pop_front();
        m_working = true;
        lock.unlock();
        RunReportingFailure("BLE worker: a step failed", step);
        lock.lock();
        m_working = false;
        m_workChanged.notify_all();
    }
}

bool BleSlots::WaitForConnect(Milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    MutexLock lock(m_workMutex);
    while (!m_steps.empty() || m_working)
        if (m_workChanged.wait_until(lock, deadline) == std::cv_status::timeout) return m_steps.empty() && !m_working;
    return true;
}

void BleSlots::RetireRegistrations() {
    {
        // Waits for callbacks still running with the old generation; they
        // never wait for anything of ours.
        WriterLock hold(m_delivery);
        ++m_generation;
    }
    // A connect step that stores its registrations after this point sees the
    // new generation and releases them itself.
    std::vector<BleEventHandle> handles;
    for (auto& device : m_bleDevices)
        for (BleEventHandle handle : device.TakeEventHandles()) handles.push_back(handle);
    if (handles.empty() || !m_stack) return;
    Post([this, handles] {
        for (BleEventHandle handle : handles) m_stack->UnregisterEvent(handle);
    });
}

void BleSlots::AbandonCalls() {
    if (m_stack) m_stack->SetStopping(true);
}

void BleSlots::UnregisterAll() {
    // The worker may be inside a call that waits for a stalled stack: it
    // fails now, the connect it belongs to sees the new generation and makes
    // no further call, and the releases run next, without waiting for the
    // stack's answers.
    RetireRegistrations();
    AbandonCalls();
    if (WaitForConnect(m_stopWait)) {
        // Nothing of ours runs in the stack any more: it answers again.
        if (m_stack) m_stack->SetStopping(false);
        return;
    }
    // A step still running past the bound is in a call the stack cannot
    // interrupt. It touches only this object and the stack, which both
    // outlive it: the destructor joins the worker. The stack stays stopping
    // until then, or until the next open step.
    diag_warning("BLE: the stack is still busy; going on without waiting for it");
}

void BleSlots::OnRegisteredValue(int slot, const uint8_t* data, size_t size) {
    if (!ValidSlot(slot)) return;
    ReaderLock hold(m_delivery);
    if (m_slotGeneration[slot].load() != m_generation.load()) return;
    OnValueChanged(slot, data, size);
}

bool BleSlots::OpenBleFamily(HidApi& hid) {
    // Released on the worker, in order before any later connect step; the
    // records cleared below are out of their callbacks' reach already.
    RetireRegistrations();
    // Also the start after a session switch: the stack answers again.
    if (m_stack) m_stack->SetStopping(false);
    const std::vector<HidDeviceInfo> entries = hid.enumerate(kBleHidVendorId, 0);

    MutexLock lock(m_mutex);
    for (auto& device : m_bleDevices) device.SetTexts("", "");
    for (auto& record : m_bleSlots) {
        record.szPath.clear();
        record.address.clear();
        record.nDeviceId = 0;
    }
    m_bleCount = 0;

    int count = 0;
    const HidDeviceInfo* last = nullptr;
    for (const HidDeviceInfo& entry : entries) {
        // The vendor's wired devices are listed too; they are no BLE devices
        // and would only take slots from them.
        if (entry.bus_type != kBusBluetooth) continue;
        // The collections of one device are listed one after the other and
        // make one slot. The address tells two devices of one product apart.
        if (last && entry.vendor_id == last->vendor_id && entry.product_id == last->product_id &&
            SameIgnoringCase(entry.serial_number, last->serial_number))
            continue;
        last = &entry;
        // More runs than slots: the first ten, in enumeration order.
        if (count >= kBleSlotCount) break;
        m_bleSlots[count].szPath = entry.path;
        m_bleSlots[count].address = entry.serial_number;
        char vid[16], pid[16];
        std::snprintf(vid, sizeof vid, "VID&02%04x", entry.vendor_id);
        std::snprintf(pid, sizeof pid, "PID&%04x", entry.product_id);
        m_bleDevices[count].SetTexts(vid, pid, entry.serial_number);
        ++count;
    }
    m_bleCount = count;
    return count > 0;
}

void BleSlots::ConnectBleSlots() {
    const int count = m_bleCount.load();
    const unsigned generation = m_generation.load();
    Post([this, count, generation] {
        for (int k = 0; k < count; ++k) {
            // An open step came since: these slots are gone.
            if (m_generation.load() != generation) return;
            if (m_bleDevices[k].HasEventHandle()) continue;
            m_slotGeneration[k] = generation;
            m_bleDevices[k].ConnectAndSubscribe(kBleValueChangedCallbacks[k], this,
                                                [this, generation] { return m_generation.load() == generation; });
            // Made for a slot that an open step rebuilt meanwhile and kept
            // after it took the device's registrations: released here.
            if (m_generation.load() != generation && m_stack)
                for (BleEventHandle handle : m_bleDevices[k].TakeEventHandles()) m_stack->UnregisterEvent(handle);
        }
    });
}

void BleSlots::HandleBleRemoval(const DeviceChange& change) {
    if (change.bus != kBusBluetooth || change.vendor_id != kBleHidVendorId) return;
    trace("BLE ------------DBT_DEVICEREMOVECOMPLETE.\n");
    std::vector<std::string> texts;
    {
        MutexLock lock(m_mutex);
        for (auto& record : m_bleSlots) {
            if (record.szPath.empty() || !SameIgnoringCase(record.szPath, change.path)) continue;
            char text[8];
            std::snprintf(text, sizeof text, "8400%02x", static_cast<unsigned>(record.nDeviceId.load()) & 0xFFu);
            texts.push_back(text);
            record.szPath.clear();
            record.nDeviceId = 0;
        }
    }
    // Sent after the lock: the pages' registry is never taken under another.
    for (const auto& text : texts) m_pages.broadcast(text);
}

std::vector<int> BleSlots::MatchingBleSlots(uint8_t deviceId) {
    std::vector<int> slots;
    const int count = m_bleCount.load();
    for (int k = 0; k < count; ++k)
        if (IdOf(k).load() == deviceId) slots.push_back(k);
    return slots;
}

int BleSlots::WriteBle(int slot, const uint8_t* data, int32_t length) {
    if (!ValidSlot(slot)) return 0;
    return m_bleDevices[slot].Write(data, length);
}

void BleSlots::SetBleBlockIndex(int slot, int blockIndex) {
    if (ValidSlot(slot)) m_bleBlockIndex[slot] = blockIndex;
}

int BleSlots::DeviceId(int slot) const {
    return ValidSlot(slot) ? IdOf(slot).load() : 0;
}

std::vector<BleSlotStatus> BleSlots::Snapshot() {
    std::vector<BleSlotStatus> slots;
    {
        MutexLock lock(m_mutex);
        const int count = m_bleCount.load();
        for (int k = 0; k < count && k < kBleSlotCount; ++k) {
            BleSlotStatus status;
            status.slot = k;
            status.deviceId = m_bleSlots[k].nDeviceId.load();
            status.node = m_bleSlots[k].szPath;
            status.address = m_bleSlots[k].address;
            slots.push_back(std::move(status));
        }
    }
    // Each device object has its own lock; none is taken under ours here.
    for (auto& status : slots) status.subscribed = m_bleDevices[status.slot].HasEventHandle();
    return slots;
}

}  // namespace orvex
