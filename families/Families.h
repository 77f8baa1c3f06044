// Every device family in one row: which collections the device manager opens,
// how commands and queries reach a slot, which hot-plug timer rebuilds it,
// where it stands in the start-up and shutdown orders, and what its removal
// traces. The device manager, the command protocol, the hot-plug handling,
// --check and /status read it; tests/sim/device_contract_test.cpp checks the
// console's copy (console/protocol.js) against it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace orvex {

constexpr uint16_t kOrvexVendorId = 0x1D57;
constexpr uint16_t kProductVireo = 0xFA60;  // family 0x81
constexpr uint16_t kProductSabre = 0xFA65;  // families 0x82 and 0x83

struct UsagePair {
    uint16_t usage_page;
    uint16_t usage;
    bool operator==(const UsagePair& o) const { return usage_page == o.usage_page && usage == o.usage; }
};

enum class Transport : uint8_t { Hid, Ble };
// How a command frame reaches a slot's device.
enum class CommandRoute : uint8_t {
    Feature,              // feature reports; the page hears nothing back
    AcknowledgedFeature,  // feature reports until the reader sees the device's acknowledgement
    Output,               // output reports
    Ble,                  // the BLE slots' write characteristic
};
// How a query is answered.
enum class QueryRoute : uint8_t {
    Feature,  // feature request, then the answer's feature report
    Output,   // output request, answered in input reports
    Refused,  // the device cannot answer: the failure text at once
    Ble,      // answered later as a notification
};

// Hot-plug timers that rebuild families a second after their last arrival.
// Families sharing a timer are rebuilt together, in the table's order.
constexpr int IDT_OPEN_81 = 54;
constexpr int IDT_OPEN_82 = 55;
constexpr int IDT_OPEN_WIRED = 56;
constexpr int IDT_OPEN_83 = 57;
constexpr int IDT_OPEN_BLE = 58;

// The BLE slots' family, the table's one Transport::Ble row.
constexpr uint8_t kBleFamily = 0x84;

struct FamilyRules {
    uint8_t family;
    Transport transport;
    uint16_t product_id;  // enumeration filter; 0 lists every product
    UsagePair control;
    UsagePair input;
    bool wired;            // product ids 0xFA60 and 0xFA65 excluded
    bool initial_feature;  // 10-byte feature report 0x0C and 200 ms at open
    CommandRoute commands;
    QueryRoute queries;
    int openTimer;
    // Start-up opens HID families by ascending openRank (BLE after them).
    // Shutdown stops, joins and closes them, removals visit them and --check
    // lists their roles by ascending stopRank. Row order is /status's.
    uint8_t openRank;
    uint8_t stopRank;
    // Traced once per removal event that concerns the family; null: traced by
    // the family before it in stopRank, which shares its removal handler.
    const char* removalTrace;
};

// clang-format off
constexpr FamilyRules kFamilies[] = {
    {0x80, Transport::Hid, 0, {0x000B, 0x0000}, {0x000A, 0x0000}, true, true,
     CommandRoute::Feature, QueryRoute::Feature, IDT_OPEN_WIRED, 4, 3,
     "Wired ------------DBT_DEVICEREMOVECOMPLETE.\n"},
    {0x81, Transport::Hid, kProductVireo, {0x000B, 0x0000}, {0x000A, 0x0000}, false, true,
     CommandRoute::AcknowledgedFeature, QueryRoute::Feature, IDT_OPEN_81, 0, 0,
     "DBT_DEVICEREMOVECOMPLETE.\n"},
    // compat: the 0x82 handler has always traced its removals as "Vireo"; logs
    // compared across versions rely on the line as it is.
    {0x82, Transport::Hid, kProductSabre, {0xFF00, 0x0001}, {0x000A, 0x0000}, false, false,
     CommandRoute::Output, QueryRoute::Refused, IDT_OPEN_82, 1, 1,
     "Vireo ----------------- DBT_DEVICEREMOVECOMPLETE.\n"},
    {0x83, Transport::Hid, kProductSabre, {0xFF01, 0x0002}, {0xFF00, 0x0001}, false, false,
     CommandRoute::Output, QueryRoute::Output, IDT_OPEN_83, 2, 2,
     "Sabre ----------------- DBT_DEVICEREMOVECOMPLETE.\n"},
    {kBleFamily, Transport::Ble, 0, {0, 0}, {0, 0}, false, false,
     CommandRoute::Ble, QueryRoute::Ble, IDT_OPEN_BLE, 5, 5, nullptr},
    {0x85, Transport::Hid, 0, {0xFF01, 0x0002}, {0xFF00, 0x0001}, true, false,
     CommandRoute::Output, QueryRoute::Output, IDT_OPEN_WIRED, 3, 4, nullptr},
};
// clang-format on

constexpr int CountHidFamilies() {
    int count = 0;
    for (const auto& rules : kFamilies) count += rules.transport == Transport::Hid ? 1 : 0;
    return count;
}
constexpr int kHidFamilyCount = CountHidFamilies();

// Null for a code that is no family.
constexpr const FamilyRules* FindFamily(uint8_t family) {
    for (const auto& rules : kFamilies)
        if (rules.family == family) return &rules;
    return nullptr;
}

// Null for a code that is not a HID family.
constexpr const FamilyRules* FindFamilyRules(uint8_t family) {
    const FamilyRules* rules = FindFamily(family);
    return rules != nullptr && rules->transport == Transport::Hid ? rules : nullptr;
}

// Whether a node of this vendor and product belongs to the HID family.
constexpr bool FamilyTakesProduct(const FamilyRules& rules, uint16_t vendor, uint16_t product) {
    if (rules.transport != Transport::Hid || vendor != kOrvexVendorId) return false;
    if (rules.product_id != 0 && product != rules.product_id) return false;
    return !(rules.wired && (product == kProductVireo || product == kProductSabre));
}

// The HID families' codes by ascending rank (&FamilyRules::openRank or
// &FamilyRules::stopRank).
inline std::vector<uint8_t> HidFamiliesBy(uint8_t FamilyRules::*rank) {
    std::vector<const FamilyRules*> rows;
    for (const auto& rules : kFamilies)
        if (rules.transport == Transport::Hid) rows.push_back(&rules);
    std::sort(rows.begin(), rows.end(),
              [rank](const FamilyRules* a, const FamilyRules* b) { return a->*rank < b->*rank; });
    std::vector<uint8_t> codes;
    for (const FamilyRules* rules : rows) codes.push_back(rules->family);
    return codes;
}

}  // namespace orvex
