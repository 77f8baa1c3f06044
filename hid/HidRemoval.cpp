// Removal of HID devices: the pages hear which device went, its records are
// cleared and its reader ends. Counts and control records stay, so a removed
// device leaves a hole until its family's next open step.
#include <cstdio>
#include <vector>

#include "hid/HidDeviceManager.h"
#include "platform/Log.h"

namespace orvex {

namespace {

std::string RemovalText(uint8_t family, int deviceId) {
    char text[8];
    std::snprintf(text, sizeof text, "%02x00%02x", family, static_cast<unsigned>(deviceId) & 0xFFu);
    return text;
}

}  // namespace

// Neither the broadcasts nor the joins happen under the family lock: the
// reader takes that lock for every report, and broadcasting takes the
// registry's.
//
// A reader that checked its record before the removal cleared it may still be
// sending that report's text; the removal text waits for it, so that the
// pages never hear of a report after they were told the device is gone. (A
// reader that checks after the clearing drops its report.)
void HidDeviceManager::RemoveFromFamily(uint8_t family, const std::string& path) {
    HidFamilyState* state = Family(family);
    if (state == nullptr) return;

    // The backend says which stored paths name the removed node: exactly on
    // Linux; on Windows without regard to letter case, since a removal's name
    // and the path SetupAPI listed differ in case ("VID_" against "vid_").
    auto removed = [this, &path](const std::string& stored) {
        return !stored.empty() && m_hidApi.same_path(stored, path);
    };
    std::vector<std::string> texts;
    std::vector<int> cleared;
    std::vector<int> stopped;
    {
        MutexLock lock(state->m_mutex);
        for (int s = 0; s < kSlotCount; ++s) {
            if (!removed(state->m_input[s].szPath)) continue;
            texts.push_back(RemovalText(family, state->m_input[s].nDeviceId));
            state->m_input[s] = HidCollectionRecord();
            cleared.push_back(s);
        }
        for (int s = 0; s < kSlotCount; ++s) {
            if (!removed(state->m_active[s].szPath)) continue;
            state->m_active[s] = HidCollectionRecord();
            stopped.push_back(s);
        }
        // Bounded by one broadcast; the lock is free meanwhile.
        auto forwarding = [&]() ORVEX_REQUIRES(state->m_mutex) {
            for (int s : cleared)
                if (state->m_bForwarding[s]) return true;
            return false;
        };
        while (forwarding()) state->m_forwarded.wait(lock);
    }
    // The stop requests stay set until the family's next open step.
    for (int s : stopped) StopSlotReader(family, s);
    for (const auto& text : texts) m_pages.broadcast(text);
}

// One node can concern several families: the receiver's node both 0x82 and
// 0x83, a wired node both 0x80 and 0x85 (which share one trace line).
void HidDeviceManager::HandleHidRemoval(const DeviceChange& change) {
    for (uint8_t family : HidFamiliesBy(&FamilyRules::stopRank)) {
        const FamilyRules& rules = *FindFamilyRules(family);
        if (!FamilyTakesProduct(rules, change.vendor_id, change.product_id)) continue;
        if (rules.removalTrace != nullptr) trace(rules.removalTrace);
        RemoveFromFamily(family, change.path);
    }
}

}  // namespace orvex
