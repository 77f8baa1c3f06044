// Simulated devices described as data: what a scenario file holds and what the
// control socket's "set" changes. One struct feeds the simulator and the tests.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <set>
#include <string>
#include <vector>

namespace orvex::sim {

struct UsagePair {
    uint16_t usage_page = 0;
    uint16_t usage = 0;
    bool operator==(const UsagePair& other) const { return usage_page == other.usage_page && usage == other.usage; }
};

// The collections that make a device answer feature or output queries.
constexpr UsagePair kFeatureControl{0x000B, 0x0000};
constexpr UsagePair kOutputControl{0xFF01, 0x0002};
constexpr uint16_t kInputUsagePage = 0x000A;
constexpr uint16_t kVendorInputUsagePage = 0xFF00;

enum class OpenFailure { None, Permission, Other };

struct Behaviour {
    bool ack = true;
    uint8_t ack_status = 0;
    int ack_delay_ms = 20;
    int ack_after = 0;
    int reject_feature = 0;
    bool silent = false;
    std::map<uint8_t, std::vector<uint8_t>> answers;  // query code -> answer bytes
    OpenFailure open_error = OpenFailure::None;
    std::set<int> fail_open_collections;
};

struct DeviceSpec {
    std::string name;
    std::string bus = "usb";  // "usb" or "ble"
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint8_t device_id = 1;
    bool attached = true;
    std::vector<UsagePair> collections;
    Behaviour behaviour;
    // BLE devices ("bus":"ble") only.
    std::string address;                          // default: one of its own per device
    bool connected = true;                        // its Bluetooth node is connected (while attached)
    bool writable = true;                         // its write characteristic has the write property
    std::vector<uint16_t> cccd_handles = {0x15};  // descriptors of its notify characteristic
};

// Collections a device has when the scenario does not list them.
std::vector<UsagePair> DefaultCollections(uint16_t product_id);

// Parses a whole scenario ({"devices": [...]}). False with a message naming
// the device and field at fault.
bool ParseScenario(const nlohmann::json& scenario, std::vector<DeviceSpec>* devices, std::string* error);

// Applies behaviour fields (an object holding only behaviour fields) on top of
// *behaviour. All or nothing: on failure *behaviour is unchanged. The names of
// the fields given are added to *given when not null.
bool ApplyBehaviour(const nlohmann::json& fields, size_t collection_count, Behaviour* behaviour,
                    std::set<std::string>* given, std::string* error);

bool IsBehaviourField(const std::string& key);

// An integer given as a JSON number, a decimal string or a "0x..." string,
// within [min, max]. The message names the field.
bool ParseInteger(const nlohmann::json& value, const std::string& field, int64_t min, int64_t max, int64_t* out,
                  std::string* error);

// Strict hex: even number of digits, nothing else. Empty text is no bytes.
// text as a JSON string. Scenario texts come from users: a message that
// quotes them must stay valid JSON when the control socket sends it back.
std::string Quote(const std::string& text);
bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes, std::string* error);
std::string ToHex(const std::vector<uint8_t>& bytes);

}  // namespace orvex::sim
