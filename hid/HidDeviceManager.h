// The HID device manager: open steps, reader threads and removals of the five
// HID families.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hid/HidFamilies.h"
#include "platform/Clock.h"
#include "platform/HidApi.h"

namespace orvex {

class HidDeviceManager {
public:
    HidDeviceManager(HidApi& hid, Clock& clock);
    ~HidDeviceManager();  // stops and joins every reader
    HidDeviceManager(const HidDeviceManager&) = delete;
    HidDeviceManager& operator=(const HidDeviceManager&) = delete;

    // Rebuilds one family (0x80, 0x81, 0x82, 0x83 or 0x85) from a fresh enumeration.
    void OpenHidFamily(uint8_t family);
    // Ends every reader of one family and forgets them.
    void StopFamilyReaders(uint8_t family);

    // Shutdown: every stop request set and pairing cleared, without waiting...
    void RequestStopAll();
    // ...then every reader joined, in the order 0x81, 0x82, 0x83, 0x80, 0x85.
    void JoinAllReaders();

    // Null for a code that is not a HID family.
    HidFamilyState* Family(uint8_t family);

    // The command side's view of one slot, copied under the family lock.
    struct SlotTarget {
        int slot;
        std::shared_ptr<HidDevice> control;  // m_active[slot].hControl, may be null
    };
    // Slots 0 .. m_nControlCount-1 whose m_input[i].nDeviceId equals deviceId,
    // in ascending order.
    std::vector<SlotTarget> SelectSlots(uint8_t family, uint8_t deviceId);

    std::atomic<int> m_bAcked81[kSlotCount] = {};

    HidFamilyState m_hid80;
    HidFamilyState m_hid81;
    HidFamilyState m_hid82;
    HidFamilyState m_hid83;
    HidFamilyState m_hid85;

private:
    HidApi& m_hidApi;
    Clock& m_clock;
};

// The pairing token of a path: its fifth "&"-separated field (runs of
// separators count as one, leading ones skipped); empty with fewer fields.
std::string GetPathToken(const std::string& path);

}  // namespace orvex
