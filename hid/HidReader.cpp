// The reader threads: one per opened input collection, each waiting in its
// device read until a report comes or its stop request is set.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "hid/HidDeviceManager.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace orvex {

namespace {
constexpr size_t kReportBufferSize = 100;
// After an unexpected failure, before the slot is read again; a stop request
// still ends the wait at once.
constexpr std::chrono::milliseconds kRetryAfterFailure{100};
}  // namespace

std::string FormatReportText(uint8_t family, const uint8_t* report, size_t length) {
    uint8_t b[5] = {};
    for (size_t i = 0; i < 5 && i < length; ++i) b[i] = report[i];
    char text[32];
    std::snprintf(text, sizeof text, "%02x01%02x%02x%02x%02x%02x", family, b[0], b[1], b[2], b[3], b[4]);
    return text;
}

void HidDeviceManager::ReaderThreadProc(uint8_t family, int slot) {
    HidFamilyState* state = Family(family);
    if (state == nullptr || slot < 0 || slot >= kSlotCount) return;
    ReaderWake& stop = state->m_bStopRequest[slot];
    while (!stop.IsSet()) {
        // A cleared slot or a failed device gives nothing more until the
        // next open step: waiting for the stop request, not retrying, keeps
        // an unplugged device from costing a core.
        bool more = true;
        // One bad report must not end the slot's reader, nor may a failure
        // that repeats spin it.
        if (!RunReportingFailure("reader failed", [&] { more = ReadHidReport(family, slot); }))
            stop.WaitFor(kRetryAfterFailure);
        else if (!more)
            stop.Wait();
    }
}

bool HidDeviceManager::ReadHidReport(uint8_t family, int slot) {
    HidFamilyState* state = Family(family);
    if (state == nullptr || slot < 0 || slot >= kSlotCount) return false;

    uint8_t report[kReportBufferSize] = {};
    std::shared_ptr<HidDevice> input;
    {
        MutexLock lock(state->m_mutex);
        input = state->m_input[slot].hInput;
    }
    if (!input) return false;  // cleared by a removal

    // The device is read without the lock: commands and removals must not
    // wait on it.
    const int result = input->read_wait(report, sizeof report, state->m_bStopRequest[slot]);
    if (result < 0) return false;
    if (result == 0) return true;  // woken by the stop request
    const size_t length = std::min<size_t>(static_cast<size_t>(result), sizeof report);
    const uint8_t deviceId = report[1];

    {
        MutexLock lock(state->m_mutex);
        // A removal (or a rebuild) replaced the record while the device was
        // read: the report belongs to a device the pages were told is gone,
        // and must not give the cleared slot an id again.
        if (state->m_input[slot].hInput != input) return true;
        state->m_bForwarding[slot] = true;
        state->m_input[slot].nDeviceId = deviceId;
        for (int k = 0; k < state->m_nControlCount && k < kSlotCount; ++k) {
            HidCollectionRecord& control = state->m_control[k];
            if (!AsciiEqualIgnoringCase(control.szToken, state->m_input[slot].szToken)) continue;
            control.hInput = input;
            control.nDeviceId = deviceId;
            if (state->m_bPaired[slot] == 0) {
                state->m_bPaired[slot] = 1;
                state->m_active[slot] = control;
            }
            break;
        }
    }

    // Cleared however the broadcast ends.
    struct Forwarded {
        HidFamilyState& state;
        int slot;
        ~Forwarded() {
            MutexLock lock(state.m_mutex);
            state.m_bForwarding[slot] = false;
            state.m_forwarded.notify_all();
        }
    } forwarded{*state, slot};

    // Set before the broadcast, so a command waiting for the flag never sees
    // the text first.
    if (FindFamilyRules(family)->commands == CommandRoute::AcknowledgedFeature && report[2] == 0x50)
        m_bAcked81[slot] = report[3] == 0 ? 1 : 0;

    state->NoteReportForwarded(slot);
    m_pages.broadcast(FormatReportText(family, report, length));
    return true;
}

}  // namespace orvex
