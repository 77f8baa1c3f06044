#include "ble/BleSlots.h"

#include <cstdio>
#include <system_error>

#include "platform/Log.h"

namespace orvex {

namespace {

// compat: BLE device paths are compared without case, unlike HID paths: the
// paths BLE removals name have always been matched that way.
bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return BleUpperCase(a) == BleUpperCase(b);
}

}  // namespace

BleSlots::BleSlots(BleStack* stack, PageSink& pages) : m_stack(stack), m_pages(pages) {
    for (auto& device : m_bleDevices) device.SetStack(stack);
}

BleSlots::~BleSlots() {
    UnregisterAll();
}

void BleSlots::WaitForConnect() {
    if (m_connect.joinable()) m_connect.join();
}

void BleSlots::ReleaseRegistrations() {
    // No lock of ours is held: a release waits for the stack's running
    // callbacks, and those must never wait for us.
    for (auto& device : m_bleDevices) {
        for (BleEventHandle handle : device.TakeEventHandles())
            if (m_stack) m_stack->UnregisterEvent(handle);
    }
}

void BleSlots::UnregisterAll() {
    WaitForConnect();
    ReleaseRegistrations();
}

bool BleSlots::OpenBleFamily(HidApi& hid) {
    // A connect step still under way would register on the slots rebuilt below.
    WaitForConnect();
    // Returns only when no callback of the registrations still runs, so the
    // records cleared below cannot be written by a late one.
    ReleaseRegistrations();
    const std::vector<HidDeviceInfo> entries = hid.enumerate(kBleHidVendorId, 0);

    std::lock_guard<std::mutex> lock(m_mutex);
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
    WaitForConnect();
    const int count = m_bleCount.load();
    try {
        m_connect = std::thread([this, count] {
            for (int k = 0; k < count; ++k) {
                if (m_bleDevices[k].HasEventHandle()) continue;
                m_bleDevices[k].ConnectAndSubscribe(kBleValueChangedCallbacks[k], this);
            }
        });
    } catch (const std::system_error& e) {
        diag_error(std::string("cannot start the BLE connect step: ") + e.what());
    }
}

void BleSlots::HandleBleRemoval(const DeviceChange& change) {
    if (change.bus != kBusBluetooth || change.vendor_id != kBleHidVendorId) return;
    trace("BLE ------------DBT_DEVICEREMOVECOMPLETE.\n");
    std::vector<std::string> texts;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
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

std::vector<BleSlotStatus> BleSlots::Snapshot() {
    std::vector<BleSlotStatus> slots;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
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
