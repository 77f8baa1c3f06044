#include "hid/HidDeviceManager.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <system_error>

#include "platform/Log.h"

namespace orvex {

namespace {
// Sent once on every new control handle of families 0x80 and 0x81.
const uint8_t kInitialFeatureReport[10] = {0x0C, 0x0A, 0x01, 0xFE, 0x01, 0xFE, 0x00, 0x00, 0x00, 0x00};

void ReportPermissionDenied(const std::string& path) {
    diag_error("permission denied opening " + path +
               "; install 70-orvex-bridge.rules into /etc/udev/rules.d, run 'udevadm control --reload-rules'"
               " and replug the device");
}
}  // namespace

HidDeviceManager::HidDeviceManager(HidApi& hid, Clock& clock, PageSink& pages, const Timings& timings)
    : m_hidApi(hid), m_clock(clock), m_pages(pages), m_timings(timings) {}

HidDeviceManager::~HidDeviceManager() {
    RequestStopAll();
    JoinAllReaders();
}

HidFamilyState* HidDeviceManager::Family(uint8_t family) {
    int index = 0;
    for (const auto& rules : kFamilies) {
        if (rules.transport != Transport::Hid) continue;
        if (rules.family == family) return &m_families[index];
        ++index;
    }
    return nullptr;
}

void HidDeviceManager::OpenHidFamily(uint8_t family) {
    const FamilyRules* rules = FindFamilyRules(family);
    HidFamilyState* state = Family(family);
    if (rules == nullptr || state == nullptr) return;

    StopFamilyReaders(family);
    {
        MutexLock lock(state->m_mutex);
        for (int s = 0; s < kSlotCount; ++s) {
            state->m_active[s] = HidCollectionRecord();
            state->m_control[s] = HidCollectionRecord();
            state->m_input[s] = HidCollectionRecord();
            state->m_reportsForwarded[s] = 0;
            state->m_lastReportNs[s] = 0;
        }
        state->m_nControlCount = 0;
        state->m_nInputCount = 0;
    }

    // Opening and the 200 ms pauses run without the lock; the command side
    // meanwhile sees the empty family and addresses nothing. The new records
    // appear all at once below.
    HidCollectionRecord control[kSlotCount];
    HidCollectionRecord input[kSlotCount];
    int controlCount = 0;
    int inputCount = 0;
    std::set<std::string> deniedPaths;  // one line per node, not per collection

    const std::vector<HidDeviceInfo> entries = m_hidApi.enumerate(kOrvexVendorId, rules->product_id);
    for (const HidDeviceInfo& entry : entries) {
        if (!FamilyTakesProduct(*rules, entry.vendor_id, entry.product_id)) continue;
        const UsagePair pair{entry.usage_page, entry.usage};
        // The control rule is tested first.
        const bool isControl = pair == rules->control;
        if (!isControl && !(pair == rules->input)) continue;
        int& count = isControl ? controlCount : inputCount;
        if (count >= kSlotCount) continue;  // first ten only; the rest stay closed

        HidOpenError error = HidOpenError::None;
        std::shared_ptr<HidDevice> handle = m_hidApi.open(entry, &error);
        if (!handle) {
            if (error == HidOpenError::PermissionDenied && deniedPaths.insert(entry.path).second)
                ReportPermissionDenied(entry.path);
            continue;
        }

        HidCollectionRecord& record = isControl ? control[count] : input[count];
        record.szToken = entry.pairing_key;
        (isControl ? record.hControl : record.hInput) = handle;
        record.nIndex = count;
        record.szPath = entry.path;
        if (rules->wired) record.wProductId = entry.product_id;
        ++count;

        if (isControl && rules->initial_feature) {
            // Its result does not matter: the device answers commands either way.
            handle->send_feature_report(kInitialFeatureReport, sizeof kInitialFeatureReport);
            m_clock.sleep_for(m_timings.initialFeaturePause);
        }
    }

    {
        MutexLock lock(state->m_mutex);
        for (int i = 0; i < kSlotCount; ++i) {
            state->m_control[i] = control[i];
            state->m_input[i] = input[i];
        }
        state->m_nControlCount = controlCount;
        state->m_nInputCount = inputCount;
    }

    // Readers wait in their device reads, so input handles stay in blocking
    // mode: the stop request wakes them instead.
    for (int s = 0; s < inputCount; ++s) StartReader(family, s);
}

void HidDeviceManager::StartReader(uint8_t family, int slot) {
    HidFamilyState* state = Family(family);
    try {
        state->m_hThread[slot] = std::thread([this, family, slot] { ReaderThreadProc(family, slot); });
    } catch (const std::system_error& e) {
        // The slot stays without a reader; later stops treat it as threadless.
        char family_text[8];
        std::snprintf(family_text, sizeof family_text, "%02x", family);
        diag_error(std::string("cannot start the reader of family ") + family_text + " slot " + std::to_string(slot) +
                   ": " + e.what());
    }
}

void HidDeviceManager::StopSlotReader(uint8_t family, int slot) {
    HidFamilyState* state = Family(family);
    if (state == nullptr || slot < 0 || slot >= kSlotCount) return;
    state->m_bStopRequest[slot].Set();
    // Joined without the family lock: the reader takes it to finish a report
    // it has already read.
    if (state->m_hThread[slot].joinable()) state->m_hThread[slot].join();
}

void HidDeviceManager::StopFamilyReaders(uint8_t family) {
    HidFamilyState* state = Family(family);
    if (state == nullptr) return;
    for (int s = 0; s < kSlotCount; ++s) {
        StopSlotReader(family, s);
        {
            MutexLock lock(state->m_mutex);
            state->m_bPaired[s] = 0;
        }
        state->m_bStopRequest[s].Clear();
    }
}

void HidDeviceManager::RequestStopAll() {
    for (uint8_t family : HidFamiliesBy(&FamilyRules::stopRank)) {
        HidFamilyState* state = Family(family);
        {
            MutexLock lock(state->m_mutex);
            for (int s = 0; s < kSlotCount; ++s) state->m_bPaired[s] = 0;
        }
        // Outside the family lock: waking a reader takes the lock its device
        // waits under.
        for (int s = 0; s < kSlotCount; ++s) state->m_bStopRequest[s].Set();
    }
}

void HidDeviceManager::JoinAllReaders() {
    for (uint8_t family : HidFamiliesBy(&FamilyRules::stopRank)) {
        HidFamilyState* state = Family(family);
        for (int s = 0; s < kSlotCount; ++s) {
            {
                MutexLock lock(state->m_mutex);
                state->m_bPaired[s] = 0;
            }
            if (state->m_hThread[s].joinable()) state->m_hThread[s].join();
        }
    }
}

void HidDeviceManager::CloseAll() {
    for (uint8_t family : HidFamiliesBy(&FamilyRules::stopRank)) {
        HidFamilyState* state = Family(family);
        {
            MutexLock lock(state->m_mutex);
            for (int s = 0; s < kSlotCount; ++s) {
                state->m_active[s] = HidCollectionRecord();
                state->m_control[s] = HidCollectionRecord();
                state->m_input[s] = HidCollectionRecord();
            }
            state->m_nControlCount = 0;
            state->m_nInputCount = 0;
        }
        for (int s = 0; s < kSlotCount; ++s) state->m_bStopRequest[s].Clear();
    }
}

std::vector<HidCommandPort::SlotTarget> HidDeviceManager::SelectSlots(uint8_t family, uint8_t deviceId) {
    std::vector<SlotTarget> targets;
    HidFamilyState* state = Family(family);
    if (state == nullptr) return targets;
    MutexLock lock(state->m_mutex);
    // Every slot, not only those below the control count: when a device's
    // control collection could not be opened, the next devices' slots lie past
    // it, and their commands would be lost.
    for (int i = 0; i < kSlotCount; ++i) {
        const HidCollectionRecord& input = state->m_input[i];
        if (!input.hInput || !state->m_active[i].hControl || input.nDeviceId != deviceId) continue;
        targets.push_back(SlotTarget{i, state->m_active[i].hControl});
    }
    return targets;
}

std::vector<HidSlotStatus> HidDeviceManager::Snapshot() {
    std::vector<HidSlotStatus> slots;
    for (const FamilyRules& rules : kFamilies) {
        const uint8_t family = rules.family;
        HidFamilyState* state = Family(family);
        if (state == nullptr) continue;
        MutexLock lock(state->m_mutex);
        for (int s = 0; s < kSlotCount; ++s) {
            const HidCollectionRecord& input = state->m_input[s];
            if (input.szPath.empty()) continue;
            HidSlotStatus status;
            status.family = family;
            status.slot = s;
            status.deviceId = input.nDeviceId;
            status.node = input.szPath;
            status.paired = state->m_bPaired[s] != 0;
            status.reports = state->m_reportsForwarded[s].load(std::memory_order_relaxed);
            status.lastReportNs = state->m_lastReportNs[s].load(std::memory_order_relaxed);
            slots.push_back(std::move(status));
        }
    }
    return slots;
}

}  // namespace orvex
