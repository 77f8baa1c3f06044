#include <cstdio>
#include <string>

#include "app/CheckReport.h"
#include "app/Options.h"
#include "platform/HidApi.h"
#include "platform/Text.h"

namespace orvex::check {

namespace {

std::string Yes(bool value, const char* yes, const char* no) {
    return value ? yes : no;
}

}  // namespace

std::string Hex4(unsigned value) {
    const uint8_t bytes[] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    std::string text;
    AppendHex(text, bytes, 2, HexDigits::Upper);
    return text;
}

std::string Hex2(unsigned value) {
    const uint8_t byte = static_cast<uint8_t>(value);
    std::string text = "0x";
    AppendHex(text, &byte, 1, HexDigits::Upper);
    return text;
}

const char* BusName(uint16_t bus) {
    switch (bus) {
        case kBusUsb:
            return "usb";
        case kBusBluetooth:
            return "bluetooth";
        default:
            return "other";
    }
}

std::string Endpoint(const Report& report) {
    return report.address + ":" + std::to_string(report.port);
}

std::string DeviceName(const BleDevice& device) {
    return device.address + (device.name.empty() ? "" : " \"" + device.name + "\"");
}

Json ToJson(const Report& r) {
    Json json;
    json["version"] = kVersion;
    json["ok"] = r.problems.empty();
    json["problems"] = Json::array();
    for (const auto& p : r.problems) json["problems"].push_back({{"what", p.what}, {"fix", p.fix}});
    json["bridge"] = {{"running", r.lock.held}, {"known", r.lock.known}, {"lock", r.lock_path}};
    if (r.lock.held && r.lock.pid > 0) json["bridge"]["pid"] = r.lock.pid;
    if (!r.lock.error.empty()) json["bridge"]["error"] = r.lock.error;
    json["port"] = {{"address", r.address}, {"port", r.port}, {"checked", r.port_checked}};
    if (r.port_checked) {
        json["port"]["listening"] = r.listening;
        if (r.owner_known) json["port"]["by_bridge"] = r.by_bridge;
        json["port"]["listeners"] = Json::array();
        for (const auto& l : r.listeners) json["port"]["listeners"].push_back(l);
        if (r.listening && !r.by_bridge && r.holder.uid >= 0) {
            json["port"]["holder"] = {{"uid", r.holder.uid}};
            if (r.holder.pid > 0) json["port"]["holder"].update({{"pid", r.holder.pid}, {"program", r.holder.program}});
        }
    }
    // The same keys whether a session was found or not.
    if (r.session.found)
        json["session"] = {
            {"id", r.session.id}, {"active", r.session.active}, {"remote", r.session.remote}, {"why", nullptr}};
    else
        json["session"] = {{"id", nullptr}, {"why", r.session.why}, {"active", true}, {"remote", false}};
    Json hid = {{"simulated", r.simulated}, {"init_failed", r.hid_init_failed}, {"nodes", Json::array()}};
    for (const Node& node : r.nodes) {
        Json n = {{"path", node.path},
                  {"vendor_id", "0x" + Hex4(node.vendor_id)},
                  {"product_id", "0x" + Hex4(node.product_id)},
                  {"bus", BusName(node.bus)},
                  {"needed", node.needed},
                  {"can_open", node.can_open},
                  {"collections", Json::array()}};
        for (const Collection& c : node.collections) {
            Json families = Json::array();
            for (const auto& f : c.families) families.push_back({{"family", Hex2(f.family)}, {"role", f.role}});
            Json collection = {{"usage_page", "0x" + Hex4(c.usage_page)},
                               {"usage", "0x" + Hex4(c.usage)},
                               {"families", families},
                               {"can_open", c.can_open}};
            if (!c.can_open) collection["error"] = c.error;
            n["collections"].push_back(collection);
        }
        if (node.has_access) {
            const NodeAccess& a = node.access;
            n["access"] = {{"exists", a.exists},
                           {"error", a.open_error},
                           {"owner", a.owner},
                           {"group", a.group},
                           {"mode", a.mode},
                           {"acl", a.has_acl ? Json(a.acl) : Json(nullptr)},
                           {"acl_grants_user", a.acl_grants_user},
                           {"udev_tagged_uaccess", a.tagged_uaccess},
                           {"fix", a.fix}};
        }
        hid["nodes"].push_back(n);
    }
    if (!r.simulated)
        hid["udev_rule"] = {{"name", r.rule.name},
                            {"installed_in", r.rule.installed_in},
                            {"status", !r.rule.applies               ? kNotApplicable
                                       : r.rule.installed_in.empty() ? "not installed"
                                                                     : "installed"}};
    json["hid"] = hid;

    Json ble = {{"stack", r.ble.stack}, {"bus", r.ble.where}, {"answering", r.ble.answered}};
    if (!r.ble.answered) ble["error"] = r.ble.error;
    ble["adapters_status"] = r.ble.adapters_known ? "checked" : r.simulated ? "simulated" : kNotApplicable;
    ble["adapters"] = Json::array();
    for (const auto& a : r.ble.adapters)
        ble["adapters"].push_back({{"path", a.path}, {"address", a.address}, {"powered", a.powered}});
    ble["devices"] = Json::array();
    for (const auto& d : r.ble_devices)
        ble["devices"].push_back({{"address", d.address},
                                  {"name", d.name},
                                  {"vendor_id", "0x" + Hex4(d.vendor_id)},
                                  {"product_id", "0x" + Hex4(d.product_id)},
                                  {"paired", d.paired},
                                  {"connected", d.connected},
                                  {"services_resolved", d.services_resolved},
                                  {"write_characteristic", d.write_characteristic},
                                  {"notify_characteristic", d.notify_characteristic}});
    json["ble"] = ble;
    json["origins"] = {{"policy", r.origins.policy},
                       {"file", r.origins.file},
                       {"trusted", r.origins.trusted},
                       {"malformed_lines", Json::array()}};
    for (const auto& line : r.origins.contents.malformed) json["origins"]["malformed_lines"].push_back(line.first);
    if (r.origins.asked) {
        json["origins"]["pending"] = r.origins.pending;
        json["origins"]["denied"] = r.origins.denied;
    }
    return json;
}

void PrintText(const Report& r, std::ostream& out) {
    out << "orvex-bridge " << kVersion << "\n";
    if (!r.lock.known)
        out << "bridge: unknown (" << r.lock.error << ")\n";
    else if (r.lock.held)
        out << "bridge: running" << (r.lock.pid > 0 ? " (pid " + std::to_string(r.lock.pid) + ")" : "") << ", lock "
            << r.lock_path << "\n";
    else
        out << "bridge: not running (lock " << r.lock_path << " free)\n";
    if (!r.port_checked)
        out << "port: not checked (--port 0)\n";
    else if (!r.listening)
        out << "port: nothing listens on " << Endpoint(r) << "\n";
    else
        out << "port: " << Endpoint(r) << " listening"
            << (r.by_bridge                         ? ", by the bridge"
                : r.holder.pid > 0 || r.owner_known ? ", by another program: " + r.holder.text
                                                    : "")
            << "\n";
    if (!r.session.found)
        out << "session: none followed, the bridge always serves: " << r.session.why << "\n";
    else if (SessionInactive(r))
        out << "session: " << r.session.id << ", inactive: the bridge steps aside until it is active again\n";
    else
        out << "session: " << r.session.id
            << (r.session.remote ? ", remote: the bridge always serves\n" : ", active\n");

    out << "pages: policy " << r.origins.policy << ", " << r.origins.trusted << " trusted origin"
        << (r.origins.trusted == 1 ? "" : "s");
    if (r.origins.asked) out << ", " << r.origins.pending << " waiting, " << r.origins.denied << " denied";
    out << (r.origins.file.empty()
                ? std::string(" (no trust file: HOME is not set)")
                : " (" + r.origins.file + (r.origins.contents.exists ? "" : ", not written yet") + ")")
        << "\n";
    out << "HID nodes" << (r.simulated ? " (simulated)" : "") << ":" << (r.nodes.empty() ? " none" : "") << "\n";
    if (r.hid_init_failed) out << "  the HID library did not start\n";
    for (const Node& node : r.nodes) {
        out << "  " << node.path << "  " << Hex4(node.vendor_id) << ":" << Hex4(node.product_id) << " "
            << BusName(node.bus) << ": ";
        if (node.can_open) {
            out << "can open";
        } else if (!node.needed) {
            out << kNotNeeded;
        } else {
            out << "cannot open";
            if (node.has_access) {
                const NodeAccess& a = node.access;
                out << " (" << a.open_error << "): owner " << a.owner << ":" << a.group << ", mode " << a.mode
                    << ", ACL " << (a.has_acl ? a.acl : "none") << ", udev uaccess tag "
                    << Yes(a.tagged_uaccess, "set", "not set");
            }
        }
        out << "\n";
        for (const Collection& c : node.collections) {
            out << "    usage " << Hex4(c.usage_page) << ":" << Hex4(c.usage) << " ";
            if (c.families.empty()) out << "not used by the bridge";
            for (size_t i = 0; i < c.families.size(); ++i)
                out << (i ? ", " : "") << "family " << Hex2(c.families[i].family) << " "
                    << (std::string(c.families[i].role) == "ble" ? "(reached over BLE)" : c.families[i].role);
            if (!c.can_open && node.needed) out << " (" << c.error << ")";
            out << "\n";
        }
    }
    if (!r.simulated) {
        if (r.privileged) out << "note: run as root, so every node opens; run it as the desktop user to see theirs\n";
        if (!r.rule.applies) {
            out << "udev rule: " << kNotApplicable;
        } else {
            out << "udev rule " << r.rule.name << ": ";
            if (r.rule.installed_in.empty()) out << "not installed";
            for (size_t i = 0; i < r.rule.installed_in.size(); ++i)
                out << (i ? ", " : "installed in ") << r.rule.installed_in[i];
        }
        out << "\n";
    }

    const std::string stack = r.ble.stack == "simulated" ? "simulated stack"
                              : r.ble.stack == "bluez"   ? "BlueZ at " + r.ble.where
                                                         : "Windows GATT";
    if (r.ble.answered)
        out << "BLE (" << stack << "): answering\n";
    else
        out << "BLE (" << stack << "): not answering: " << r.ble.error << "\n";
    if (r.ble.answered && r.ble.adapters_known) {
        if (r.ble.adapters.empty()) out << "  no adapter\n";
        for (const auto& a : r.ble.adapters)
            out << "  adapter " << a.path << " " << a.address << ": " << Yes(a.powered, "powered", "off") << "\n";
    } else if (r.ble.answered && !r.simulated) {
        out << "  adapters: " << kNotApplicable << "\n";
    }
    for (const auto& d : r.ble_devices) {
        out << "  device " << DeviceName(d) << " " << Hex4(d.vendor_id) << ":" << Hex4(d.product_id) << ": "
            << Yes(d.paired, "paired", "not paired") << ", " << Yes(d.connected, "connected", "not connected");
        if (d.connected && !d.services_resolved)
            out << ", services not resolved yet";
        else if (d.connected)
            out << ", 0xFEE3 write " << Yes(d.write_characteristic, "present", "missing") << ", 0xFEE4 notify "
                << Yes(d.notify_characteristic, "present", "missing");
        out << "\n";
    }
    if (r.ble.answered && r.ble_devices.empty()) out << "  no BLE device of vendor 0x045E\n";

    for (const auto& p : r.problems) out << "problem: " << p.what << "; " << p.fix << "\n";
    out << "result: "
        << (r.problems.empty()
                ? std::string("everything needed works")
                : std::to_string(r.problems.size()) + (r.problems.size() == 1 ? " problem" : " problems"))
        << "\n";
}

}  // namespace orvex::check
