// What --check found, between the probes that fill it in (Check.cpp) and the
// two renderings of it (CheckOutput.cpp).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "platform/TrustFile.h"
#include "platform/linux/BluezProbe.h"
#include "platform/linux/LogindSession.h"
#include "platform/linux/NodeAccess.h"
#include "platform/linux/ProcProbe.h"

namespace orvex::check {

using Json = nlohmann::ordered_json;

struct Problem {
    std::string what;
    std::string fix;
};

struct FamilyRole {
    uint8_t family;
    const char* role;  // "control", "input", "ble"
};

// Why a collection that no HID family claims (a BLE device's, another
// product's) was not opened.
constexpr const char* kNotNeeded = "not opened: not needed";

struct Collection {
    uint16_t usage_page = 0;
    uint16_t usage = 0;
    std::vector<FamilyRole> families;
    bool can_open = false;
    std::string error;
};

struct Node {
    std::string path;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint16_t bus = 0;
    std::vector<Collection> collections;
    bool needed = false;  // the bridge opens it (a HID family claims a collection); else not tried
    bool can_open = true;
    bool has_access = false;  // real node that could not be opened: why
    NodeAccess access;
};

struct Report {
    bool simulated = false;
    std::string lock_path;
    FlockHolder lock;
    bool port_checked = false;
    std::string address;
    uint16_t port = 0;
    std::vector<TcpListener> listeners;
    bool listening = false;    // on the address the page reaches
    bool owner_known = false;  // whether the bridge's sockets could be read
    bool by_bridge = false;    // the listener is the running bridge's
    SocketHolder holder;       // of the listener when it is not the bridge's
    LoginSessionInfo session;
    bool hid_init_failed = false;
    std::vector<Node> nodes;
    std::vector<std::string> rule_installed_in;
    BleSnapshot ble;
    std::vector<BleDeviceInfo> ble_devices;  // of the BLE vendor, paired or connected
    std::vector<Problem> problems;
    // Which pages may use the devices.
    struct {
        std::string policy;
        std::string file;  // "" when no place for it is known
        TrustFileContents contents;
        size_t trusted = 0;  // the file's and --allow-origin's
        bool asked = false;  // the running bridge told its numbers
        size_t pending = 0;
        size_t denied = 0;
    } origins;
};

// Whether the bridge is meant to serve now: a bridge whose session is not in
// front steps aside and leaves the port to the one that is.
inline bool SessionInactive(const Report& r) {
    return r.session.found && !r.session.remote && !r.session.active;
}

std::string Hex4(unsigned value);
std::string Hex2(unsigned value);
const char* BusName(uint16_t bus);
std::string Endpoint(const Report& report);
std::string DeviceName(const BleDeviceInfo& device);

// The report as one JSON object, and as text for people.
Json ToJson(const Report& r);
void PrintText(const Report& r, std::ostream& out);

}  // namespace orvex::check
