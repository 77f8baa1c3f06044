#include "ble/BleSlots.h"

#include <cstdio>

#include "bridge/server.h"
#include "platform/Log.h"

namespace orvex {

namespace {

std::string SlotText(const char* format, int a) {
    char text[32];
    std::snprintf(text, sizeof text, format, a);
    return text;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return BleUpperCase(a) == BleUpperCase(b);
}

}  // namespace

BleSlots::BleSlots(BleStack* stack) : m_stack(stack) {
    for (auto& device : m_bleDevices) device.SetStack(stack);
}

BleSlots::~BleSlots() {
    UnregisterAll();
}

void BleSlots::UnregisterAll() {
    for (auto& device : m_bleDevices) {
        for (BleEventHandle handle : device.TakeEventHandles())
            if (m_stack) m_stack->UnregisterEvent(handle);
    }
}

bool BleSlots::OpenBleFamily(HidApi& hid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& device : m_bleDevices) {
        device.SetTexts("", "");
        // Returns only when no callback of the registration still runs, so
        // the records cleared below cannot be written by a late one.
        for (BleEventHandle handle : device.TakeEventHandles())
            if (m_stack) m_stack->UnregisterEvent(handle);
    }
    for (auto& record : m_bleSlots) {
        record.szPath.clear();
        record.nDeviceId = 0;
    }
    m_bleCount = 0;

    int count = 0;
    uint16_t lastVendor = 0, lastProduct = 0;
    for (const HidDeviceInfo& entry : hid.enumerate(kBleHidVendorId, 0)) {
        // The vendor's wired devices are listed too; they are no BLE devices
        // and would only take slots from them.
        if (entry.bus_type != kBusBluetooth) continue;
        if (entry.vendor_id == lastVendor && entry.product_id == lastProduct) continue;
        lastVendor = entry.vendor_id;
        lastProduct = entry.product_id;
        // More runs than slots: the first ten, in enumeration order.
        if (count >= kBleSlotCount) break;
        m_bleSlots[count].szPath = entry.path;
        char vid[16], pid[16];
        std::snprintf(vid, sizeof vid, "VID&02%04x", entry.vendor_id);
        std::snprintf(pid, sizeof pid, "PID&%04x", entry.product_id);
        m_bleDevices[count].SetTexts(vid, pid);
        ++count;
    }
    m_bleCount = count;
    return count > 0;
}

void BleSlots::ConnectBleSlots() {
    const int count = m_bleCount.load();
    for (int k = 0; k < count; ++k) {
        if (m_bleDevices[k].HasEventHandle()) continue;
        m_bleDevices[k].ConnectAndSubscribe(kBleValueChangedCallbacks[k], this);
    }
}

void BleSlots::HandleBleRemoval(const DeviceChange& change) {
    if (change.bus != kBusBluetooth || change.vendor_id != kBleHidVendorId) return;
    trace("BLE ------------DBT_DEVICEREMOVECOMPLETE.\n");
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& record : m_bleSlots) {
        if (record.szPath.empty() || !SameIgnoringCase(record.szPath, change.path)) continue;
        broadcast_text(SlotText("8400%02x", record.nDeviceId.load() & 0xFF));
        record.szPath.clear();
        record.nDeviceId = 0;
    }
}

std::vector<int> BleSlots::MatchingBleSlots(uint8_t deviceId) {
    std::vector<int> slots;
    const int count = m_bleCount.load();
    for (int k = 0; k < count; ++k)
        if (m_bleSlots[k].nDeviceId.load() == deviceId) slots.push_back(k);
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
    return ValidSlot(slot) ? m_bleSlots[slot].nDeviceId.load() : 0;
}

std::string BleSlots::Path(int slot) {
    if (!ValidSlot(slot)) return {};
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bleSlots[slot].szPath;
}

}  // namespace orvex
