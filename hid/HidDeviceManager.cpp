#include "hid/HidDeviceManager.h"

namespace orvex {

namespace {
const FamilyRules kFamilies[] = {
    {0x80, 0, {0x000B, 0x0000}, {0x000A, 0x0000}, true, true},
    {0x81, kProductVireo, {0x000B, 0x0000}, {0x000A, 0x0000}, false, true},
    {0x82, kProductSabre, {0xFF00, 0x0001}, {0x000A, 0x0000}, false, false},
    {0x83, kProductSabre, {0xFF01, 0x0002}, {0xFF00, 0x0001}, false, false},
    {0x85, 0, {0xFF01, 0x0002}, {0xFF00, 0x0001}, true, false},
};
}  // namespace

const FamilyRules* FindFamilyRules(uint8_t family) {
    for (const auto& rules : kFamilies)
        if (rules.family == family) return &rules;
    return nullptr;
}

HidDeviceManager::HidDeviceManager(HidApi& hid, Clock& clock) : m_hidApi(hid), m_clock(clock) {}

HidDeviceManager::~HidDeviceManager() {
    RequestStopAll();
    JoinAllReaders();
}

HidFamilyState* HidDeviceManager::Family(uint8_t family) {
    switch (family) {
    case 0x80: return &m_hid80;
    case 0x81: return &m_hid81;
    case 0x82: return &m_hid82;
    case 0x83: return &m_hid83;
    case 0x85: return &m_hid85;
    default: return nullptr;
    }
}

void HidDeviceManager::OpenHidFamily(uint8_t) {
    // Discovery and opening arrive with the device manager.
}

void HidDeviceManager::StopFamilyReaders(uint8_t) {}

void HidDeviceManager::RequestStopAll() {
    for (uint8_t family : {0x81, 0x82, 0x83, 0x80, 0x85}) {
        HidFamilyState* state = Family(family);
        std::lock_guard<std::mutex> lock(state->m_mutex);
        for (int s = 0; s < kSlotCount; ++s) {
            state->m_bPaired[s] = 0;
            state->m_bStopRequest[s] = 1;
        }
    }
}

void HidDeviceManager::JoinAllReaders() {
    for (uint8_t family : {0x81, 0x82, 0x83, 0x80, 0x85}) {
        HidFamilyState* state = Family(family);
        for (int s = 0; s < kSlotCount; ++s) {
            {
                std::lock_guard<std::mutex> lock(state->m_mutex);
                state->m_bPaired[s] = 0;
            }
            if (state->m_hThread[s].joinable()) state->m_hThread[s].join();
            state->m_dwThreadId[s] = std::thread::id();
        }
    }
}

std::vector<HidDeviceManager::SlotTarget> HidDeviceManager::SelectSlots(uint8_t family, uint8_t deviceId) {
    std::vector<SlotTarget> targets;
    HidFamilyState* state = Family(family);
    if (state == nullptr) return targets;
    std::lock_guard<std::mutex> lock(state->m_mutex);
    for (int i = 0; i < state->m_nControlCount && i < kSlotCount; ++i)
        if (state->m_input[i].nDeviceId == deviceId) targets.push_back(SlotTarget{i, state->m_active[i].hControl});
    return targets;
}

std::string GetPathToken(const std::string& path) {
    int field = 0;
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '&') ++i;
        if (i >= path.size()) break;
        size_t end = path.find('&', i);
        if (end == std::string::npos) end = path.size();
        if (++field == 5) return path.substr(i, std::min<size_t>(end - i, 259));
        i = end;
    }
    return std::string();
}

}  // namespace orvex
