// The reader threads: one per opened input collection, polling every readerPoll.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>

#include "hid/HidDeviceManager.h"
#include "platform/Log.h"

namespace orvex {

namespace {
constexpr size_t kReportBufferSize = 100;
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
    // The sleep comes before the check, so a stop that arrives during a poll
    // takes effect after the following sleep.
    bool sleepFirst = true;
    while (true) {
        try {
            if (sleepFirst) m_clock.sleep_for(m_timings.readerPoll);
            sleepFirst = false;
            if (state->m_bStopRequest[slot] != 0) return;
            ReadHidReport(family, slot);
            sleepFirst = true;
        } catch (const std::exception& e) {
            // One bad poll must not end the slot's reader; the next one retries
            // after the usual pause.
            diag_error(std::string("reader poll failed: ") + e.what());
            sleepFirst = true;
        } catch (...) {
            diag_error("reader poll failed");
            sleepFirst = true;
        }
    }
}

void HidDeviceManager::ReadHidReport(uint8_t family, int slot) {
    HidFamilyState* state = Family(family);
    if (state == nullptr || slot < 0 || slot >= kSlotCount) return;

    uint8_t report[kReportBufferSize] = {};
    std::shared_ptr<HidDevice> input;
    {
        std::lock_guard<std::mutex> lock(state->m_mutex);
        input = state->m_input[slot].hInput;
    }
    if (!input) return;  // cleared by a removal

    // The device is read without the lock: commands and removals must not
    // wait on it.
    const int result = state->m_bPollWithTimeout[slot] ? input->read_timeout(report, sizeof report, 0)
                                                       : input->read(report, sizeof report);
    if (result <= 0) return;  // nothing waiting and errors alike: the next poll retries
    const size_t length = std::min<size_t>(static_cast<size_t>(result), sizeof report);
    const uint8_t deviceId = report[1];

    {
        std::lock_guard<std::mutex> lock(state->m_mutex);
        // A removal (or a rebuild) replaced the record while the device was
        // read: the report belongs to a device the pages were told is gone,
        // and must not give the cleared slot an id again.
        if (state->m_input[slot].hInput != input) return;
        state->m_input[slot].nDeviceId = deviceId;
        for (int k = 0; k < state->m_nControlCount && k < kSlotCount; ++k) {
            HidCollectionRecord& control = state->m_control[k];
            if (!SameToken(control.szToken, state->m_input[slot].szToken)) continue;
            control.hInput = input;
            control.nDeviceId = deviceId;
            if (state->m_bPaired[slot] == 0) {
                state->m_bPaired[slot] = 1;
                state->m_active[slot] = control;
            }
            break;
        }
    }

    // Set before the broadcast, so a command waiting for the flag never sees
    // the text first.
    if (family == 0x81 && report[2] == 0x50) m_bAcked81[slot] = report[3] == 0 ? 1 : 0;

    state->NoteReportForwarded(slot);
    m_pages.broadcast(FormatReportText(family, report, length));
}

}  // namespace orvex
