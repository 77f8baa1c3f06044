// The HID device manager: open steps, reader threads and removals of the five
// HID families.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bridge/PageSink.h"
#include "families/HidCommandPort.h"
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

class HidDeviceManager final : public HidCommandPort {
public:
    // Report and removal texts go to pages.
    HidDeviceManager(HidApi& hid, Clock& clock, PageSink& pages, const Timings& timings = Timings());
    ~HidDeviceManager() override;  // stops and joins every reader
    HidDeviceManager(const HidDeviceManager&) = delete;
    HidDeviceManager& operator=(const HidDeviceManager&) = delete;

    // Rebuilds one HID family from a fresh enumeration. Main loop thread only.
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
    // ...then every reader joined, families by their stop rank.
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

    // Every slot holding an input record, family by family in the table's
    // order, each family copied under its own lock. Any thread.
    std::vector<HidSlotStatus> Snapshot();

    PageSink& pages() { return m_pages; }

    // HidCommandPort. Any thread.
    std::vector<SlotTarget> SelectSlots(uint8_t family, uint8_t deviceId) override;
    std::atomic<int>& AckFlag(int slot) override { return m_bAcked81[slot]; }

    // Removal (hot-plug), in hid/HidRemoval.cpp: every HID family that takes
    // the event's vendor and product, by stop rank, traces its removal line
    // and forgets the removed node's records. Main loop thread.
    void HandleHidRemoval(const DeviceChange& change);

private:
    // Tests that stop a reader from inside its broadcast reach the family
    // state through this.
    friend struct HidManagerAccess;

    // Null for a code that is not a HID family.
    HidFamilyState* Family(uint8_t family);
    void StartReader(uint8_t family, int slot);
    void RemoveFromFamily(uint8_t family, const std::string& path);

    std::atomic<int> m_bAcked81[kSlotCount] = {};
    HidFamilyState m_families[kHidFamilyCount];  // the HID rows of kFamilies, in order

    HidApi& m_hidApi;
    Clock& m_clock;
    PageSink& m_pages;
    const Timings m_timings;
};

// The upstream text of one input report: family code, "01" and report bytes
// 0 to 4, lower-case hex; missing bytes read as zero.
std::string FormatReportText(uint8_t family, const uint8_t* report, size_t length);

}  // namespace orvex
