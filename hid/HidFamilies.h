// The record of one opened collection and the ten-slot table of one HID
// family (the families themselves are rows of families/Families.h).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "families/Families.h"
#include "platform/HidApi.h"
#include "platform/ReaderWake.h"
#include "platform/ThreadSafety.h"

namespace orvex {

constexpr int kSlotCount = 10;

// One opened collection. A plain value: copied whole, cleared by assigning an
// empty record. Handles are shared so that a cleared or replaced record closes
// its device once no reader or command still uses it.
struct HidCollectionRecord {
    std::shared_ptr<HidDevice> hControl;
    std::shared_ptr<HidDevice> hInput;
    std::string szPath;
    int nIndex = 0;
    std::string szToken;
    uint16_t wProductId = 0;
    int nDeviceId = 0;
};

// One family's table. m_mutex guards records, counts and pairing flags; readers
// hold it only to update ids and pairing, the command side only to pick slots.
struct HidFamilyState {
    Mutex m_mutex;
    std::thread m_hThread[kSlotCount];
    HidCollectionRecord m_active[kSlotCount] ORVEX_GUARDED_BY(m_mutex);
    HidCollectionRecord m_control[kSlotCount] ORVEX_GUARDED_BY(m_mutex);
    HidCollectionRecord m_input[kSlotCount] ORVEX_GUARDED_BY(m_mutex);
    int m_nControlCount ORVEX_GUARDED_BY(m_mutex) = 0;
    int m_nInputCount ORVEX_GUARDED_BY(m_mutex) = 0;
    int m_bPaired[kSlotCount] ORVEX_GUARDED_BY(m_mutex) = {};
    // The stop request is the reader's wake-up: setting it ends a reader that
    // waits in its device read at once.
    ReaderWake m_bStopRequest[kSlotCount];
    // Set while a reader sends a report text it checked against its record;
    // a removal that cleared the record waits for it (m_forwarded) before its
    // own text goes out, so that no report text follows a removal text.
    bool m_bForwarding[kSlotCount] ORVEX_GUARDED_BY(m_mutex) = {};
    std::condition_variable_any m_forwarded;

    // The slot's traffic as /status shows it: written by the slot's reader
    // alone, read without the lock, cleared by the open step.
    std::atomic<uint64_t> m_reportsForwarded[kSlotCount] = {};
    std::atomic<int64_t> m_lastReportNs[kSlotCount] = {};  // steady clock; 0: none yet
    void NoteReportForwarded(int slot) {
        m_lastReportNs[slot].store(std::chrono::steady_clock::now().time_since_epoch().count(),
                                   std::memory_order_relaxed);
        m_reportsForwarded[slot].fetch_add(1, std::memory_order_relaxed);
    }
};

}  // namespace orvex
