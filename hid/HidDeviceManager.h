// The HID device manager: open steps, reader threads and removals of the five
// HID families.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bridge/PageSink.h"
#include "hid/HidFamilies.h"
#include "platform/Clock.h"
#include "platform/DeviceMonitor.h"
#include "platform/HidApi.h"
#include "platform/Timings.h"

namespace orvex {

// One occupied input slot as the console shows it.
struct HidSlotStatus {
    uint8_t family = 0;
    int slot = 0;
    int deviceId = 0;
    std::string node;
    bool paired = false;
    uint64_t reports = 0;      // report texts forwarded since the slot was opened
    int64_t lastReportNs = 0;  // steady clock of the last one; 0: none
};

class HidDeviceManager {
public:
    // Report and removal texts go to pages.
    HidDeviceManager(HidApi& hid, Clock& clock, PageSink& pages, const Timings& timings = Timings());
    ~HidDeviceManager();  // stops and joins every reader
    HidDeviceManager(const HidDeviceManager&) = delete;
    HidDeviceManager& operator=(const HidDeviceManager&) = delete;

    // Rebuilds one family (0x80, 0x81, 0x82, 0x83 or 0x85) from a fresh
    // enumeration. Main loop thread only.
    void OpenHidFamily(uint8_t family);
    // Ends every reader of one family and forgets them; pairing flags and stop
    // requests end up cleared.
    void StopFamilyReaders(uint8_t family);
    // Ends the reader of one slot: sets its stop request, joins the thread
    // (without holding the family lock, so the reader can finish a report it
    // has already read) and
    // forgets it. The stop request stays set, as removal wants; a slot without
    // a reader only gets the request. Main loop thread only.
    void StopSlotReader(uint8_t family, int slot);

    // Shutdown: every stop request set and pairing cleared, without waiting...
    void RequestStopAll();
    // ...then every reader joined, in the order 0x81, 0x82, 0x83, 0x80, 0x85.
    void JoinAllReaders();
    // After both: every record of every family forgotten, so that no device
    // handle stays open, and the stop requests cleared for the next open step.
    // Main loop thread only.
    void CloseAll();

    // The body of a slot's reader thread: reads report after report until its
    // stop request is set. Never throws.
    void ReaderThreadProc(uint8_t family, int slot);
    // One read of one slot: waits for one report (or the stop request),
    // updates the device id and pairing, and broadcasts the report text. False
    // when nothing more can come: the slot was cleared or its device failed.
    bool ReadHidReport(uint8_t family, int slot);

    // Every slot holding an input record, family by family (0x80, 0x81, 0x82,
    // 0x83, 0x85), each family copied under its own lock. Any thread.
    std::vector<HidSlotStatus> Snapshot();

    // Null for a code that is not a HID family.
    HidFamilyState* Family(uint8_t family);
    PageSink& pages() { return m_pages; }

    // The command side's view of one slot, copied under the family lock.
    struct SlotTarget {
        int slot;
        std::shared_ptr<HidDevice> control;  // m_active[slot].hControl, may be null
    };
    // Every slot that holds an input record and a paired control handle and
    // whose m_input[i].nDeviceId equals deviceId, in ascending order.
    std::vector<SlotTarget> SelectSlots(uint8_t family, uint8_t deviceId);

    // ---- Removal (hot-plug), in hid/HidRemoval.cpp --------------------------
    // One handler per family group, each deciding alone from the event's vendor
    // and product ids whether the removed node concerns it. Main loop thread.
    void HandleHidRemoval81(const DeviceChange& change);
    void HandleHidRemoval82(const DeviceChange& change);
    void HandleHidRemoval83(const DeviceChange& change);
    void HandleHidRemovalWired(const DeviceChange& change);  // 0x80, then 0x85
    // ---- end of removal --------------------------------------------------------

    std::atomic<int> m_bAcked81[kSlotCount] = {};

    HidFamilyState m_hid80;
    HidFamilyState m_hid81;
    HidFamilyState m_hid82;
    HidFamilyState m_hid83;
    HidFamilyState m_hid85;

private:
    void StartReader(uint8_t family, int slot);

    HidApi& m_hidApi;
    Clock& m_clock;
    PageSink& m_pages;
    const Timings m_timings;
};

// Equality of pairing tokens, ignoring ASCII letter case.
bool SameToken(const std::string& a, const std::string& b);

// The upstream text of one input report: family code, "01" and report bytes
// 0 to 4, lower-case hex; missing bytes read as zero.
std::string FormatReportText(uint8_t family, const uint8_t* report, size_t length);

}  // namespace orvex
