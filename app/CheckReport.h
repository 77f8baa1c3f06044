// What --check found: one report on every system, filled in by the shared
// probes of Check.cpp and the system's own (CheckLinux.cpp,
// CheckWindows.cpp), and rendered once (CheckOutput.cpp), as text and as JSON
// with the same keys everywhere.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "platform/BleInventory.h"
#include "platform/TrustFile.h"

namespace orvex {
class BleStack;
class HidApi;
}  // namespace orvex

namespace orvex::check {

using Json = nlohmann::ordered_json;

// What a probe says where the system has no such thing.
constexpr const char* kNotApplicable = "not applicable on this system";

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

// Why a node the bridge needs cannot be opened, where the system tells
// (Linux: owner, mode, access control list, udev's tag).
struct NodeAccess {
    bool exists = false;
    std::string open_error;
    std::string owner, group;
    std::string mode;  // "0660"
    bool has_acl = false;
    std::string acl;
    bool acl_grants_user = false;
    bool tagged_uaccess = false;
    std::string fix;
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

// Whether a bridge runs: its single-instance guard.
struct Instance {
    bool known = false;  // the guard could be examined
    bool held = false;
    long pid = 0;       // 0: unknown
    std::string error;  // why it is not known
};

// Who listens on the port when it is not the bridge.
struct PortHolder {
    long uid = -1;  // -1: unknown
    long pid = 0;   // 0: unknown
    std::string program;
    std::string text;  // for people: "pid 1234 (orvex-bridge, uid 1000)"
};

struct Session {
    bool found = false;
    std::string why;  // when not found: why there is no session to follow
    std::string id;
    bool active = true;
    bool remote = false;
};

using BleAdapter = BleAdapterInfo;
using BleDevice = BleDeviceInfo;

struct Ble {
    std::string stack;  // "bluez", "windows", "simulated"
    std::string where;  // BlueZ's bus address; else the stack's name
    bool answered = false;
    std::string error;            // why it did not answer
    bool adapters_known = false;  // the stack lists its adapters (BlueZ)
    std::vector<BleAdapter> adapters;
    std::vector<BleDevice> devices;
};

// The udev rule that grants the desktop user the device nodes (Linux).
struct Rule {
    bool applies = false;
    std::string name;
    std::vector<std::string> installed_in;
};

struct Report {
    bool simulated = false;
    bool privileged = false;  // run as root: every node opens
    std::string lock_path;    // the guard's file or name
    Instance lock;
    bool port_checked = false;
    std::string address;
    uint16_t port = 0;
    std::vector<std::string> listeners;  // addresses listening on the port, where the system lists them
    bool listening = false;              // on the address the page reaches
    bool owner_known = false;            // whether the bridge's sockets could be read
    bool by_bridge = false;              // the listener is the running bridge's
    PortHolder holder;                   // of the listener when it is not the bridge's
    Session session;
    bool hid_init_failed = false;
    std::vector<Node> nodes;
    Rule rule;
    Ble ble;
    std::vector<BleDevice> ble_devices;  // of the BLE vendor, paired or connected
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

// The system's probes (CheckLinux.cpp, CheckWindows.cpp).
// Whether a bridge runs, and who listens on the port (address, port and
// port_checked are set).
void ProbeInstance(Report* report);
Session ProbeSession();
std::unique_ptr<HidApi> SystemHid();
// Why the needed nodes that did not open cannot be, and the udev rule.
void ProbeNodeAccess(Report* report);
Ble ProbeBle();
// What the user does about a problem, in the system's own words; device
// names a BLE device where the fix needs one.
enum class Fix { StartBridge, RestartBridge, ServerFailed, HidLibrary, StartBle, RereadBleServices, ReconnectBle };
std::string FixText(Fix fix, const std::string& device = "");

// A stack behind the BLE seam, as BlueZ's objects show it (Check.cpp).
Ble BleOfStack(BleStack& stack, const std::string& name);

std::string Hex4(unsigned value);
std::string Hex2(unsigned value);
const char* BusName(uint16_t bus);
std::string Endpoint(const Report& report);
std::string DeviceName(const BleDevice& device);

// The report as one JSON object, and as text for people.
Json ToJson(const Report& r);
void PrintText(const Report& r, std::ostream& out);

}  // namespace orvex::check
