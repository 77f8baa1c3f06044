#include "app/Check.h"

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/COrvexApp.h"
#include "app/CheckReport.h"
#include "app/Trust.h"
#include "ble/BleSlots.h"
#include "ble/CBleDevice.h"
#include "hid/HidFamilies.h"
#include "platform/Log.h"
#include "platform/System.h"
#include "platform/Text.h"
#include "sim/Simulator.h"

namespace orvex {

namespace check {

namespace {

// The running bridge's own /status over loopback, bounded; null when it
// does not answer (an older bridge, the console turned off).
Json RunningStatus(const std::string& address, uint16_t port) {
    namespace ip = boost::asio::ip;
    boost::system::error_code ec;
    ip::address_v4 host = ip::make_address_v4(address == "0.0.0.0" ? "127.0.0.1" : address, ec);
    if (ec) host = ip::address_v4::loopback();
    const std::string request =
        "GET /status HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n\r\n";
    std::string answer;
    boost::asio::io_context io;
    ip::tcp::socket socket(io);
    socket.async_connect({host, port}, [&](const boost::system::error_code& connected) {
        if (connected) return;
        boost::asio::async_write(socket, boost::asio::buffer(request),
                                 [&](const boost::system::error_code& sent, size_t) {
                                     if (sent) return;
                                     // To the end of the answer ("Connection: close").
                                     boost::asio::async_read(socket, boost::asio::dynamic_buffer(answer),
                                                             [](const boost::system::error_code&, size_t) {});
                                 });
    });
    io.run_for(std::chrono::seconds(2));
    const size_t body = answer.find("\r\n\r\n");
    if (answer.compare(0, 12, "HTTP/1.1 200") != 0 || body == std::string::npos) return nullptr;
    Json status = Json::parse(answer.substr(body + 4), nullptr, false);
    return status.is_discarded() ? Json(nullptr) : status;
}

void CheckOrigins(const Options& options, Report* report) {
    auto& o = report->origins;
    o.policy = OriginPolicyName(options.origins);
    o.file = TrustFilePath();
    if (!o.file.empty()) o.contents = ReadTrustFile(o.file);
    std::vector<std::string> trusted = o.contents.origins;
    trusted.insert(trusted.end(), options.server.allowed_origins.begin(), options.server.allowed_origins.end());
    std::sort(trusted.begin(), trusted.end());
    o.trusted = static_cast<size_t>(std::unique(trusted.begin(), trusted.end()) - trusted.begin());
    if (!report->lock.held || !report->listening) return;
    const Json status = RunningStatus(report->address, report->port);
    if (!status.is_object() || !status.contains("origins")) return;
    const Json& running = status["origins"];
    o.asked = true;
    o.policy = running.value("policy", o.policy);
    o.trusted = running.value("trusted", o.trusted);
    o.pending = running.value("pending", size_t{0});
    o.denied = running.value("denied", size_t{0});
}

// The families whose open steps take this collection, as HidDeviceManager
// and BleSlots choose them.
std::vector<FamilyRole> FamiliesOf(const HidDeviceInfo& entry) {
    std::vector<FamilyRole> roles;
    if (entry.vendor_id == kOrvexVendorId) {
        for (uint8_t family : HidFamiliesBy(&FamilyRules::stopRank)) {
            const FamilyRules* rules = FindFamilyRules(family);
            if (!FamilyTakesProduct(*rules, entry.vendor_id, entry.product_id)) continue;
            const UsagePair pair{entry.usage_page, entry.usage};
            if (pair == rules->control)
                roles.push_back({family, "control"});
            else if (pair == rules->input)
                roles.push_back({family, "input"});
        }
    } else if (entry.vendor_id == kBleHidVendorId && entry.bus_type == kBusBluetooth) {
        roles.push_back({kBleFamily, "ble"});
    }
    return roles;
}

const char* OpenErrorText(HidOpenError error) {
    switch (error) {
        case HidOpenError::PermissionDenied:
            return "permission denied";
        case HidOpenError::NotFound:
            return "not found";
        default:
            return "cannot open";
    }
}

void CheckHid(HidApi& hid, bool simulated, Report* report) {
    if (hid.init() != 0) {
        report->hid_init_failed = true;
        return;
    }
    std::vector<HidDeviceInfo> entries = hid.enumerate(kOrvexVendorId, 0);
    for (auto& entry : hid.enumerate(kBleHidVendorId, 0))
        if (entry.bus_type == kBusBluetooth) entries.push_back(entry);

    std::map<std::string, size_t> byPath;
    for (const HidDeviceInfo& entry : entries) {
        auto it = byPath.find(entry.path);
        if (it == byPath.end()) {
            Node node;
            node.path = entry.path;
            node.vendor_id = entry.vendor_id;
            node.product_id = entry.product_id;
            node.bus = entry.bus_type;
            report->nodes.push_back(node);
            it = byPath.emplace(entry.path, report->nodes.size() - 1).first;
        }
        Node& node = report->nodes[it->second];
        Collection collection;
        collection.usage_page = entry.usage_page;
        collection.usage = entry.usage;
        collection.families = FamiliesOf(entry);
        bool needed = false;
        for (const auto& role : collection.families)
            if (role.family != kBleFamily) needed = true;
        if (needed) {
            HidOpenError error = HidOpenError::None;
            // Opened and closed again at once: a node may be opened many
            // times, and a running bridge keeps its own handles.
            collection.can_open = hid.open(entry, &error) != nullptr;
            if (!collection.can_open) collection.error = OpenErrorText(error);
            node.needed = true;
            node.can_open = node.can_open && collection.can_open;
        } else {
            // BLE devices are reached over GATT, and the udev rule grants
            // nothing on their HID nodes: what the bridge never opens is not
            // opened here either.
            collection.error = kNotNeeded;
        }
        node.collections.push_back(collection);
    }
    for (Node& node : report->nodes) node.can_open = node.can_open && node.needed;
    if (!simulated) ProbeNodeAccess(report);
}

}  // namespace

// A stack behind the seam (the simulator's, Windows') seen the way BlueZ's
// objects are: a node per device, its service interface (named with vendor,
// product and address) and the characteristics of its first service.
Ble BleOfStack(BleStack& stack, const std::string& name) {
    Ble snapshot;
    snapshot.stack = name;
    snapshot.where = name;
    snapshot.answered = true;
    const std::vector<std::string> interfaces = stack.ServiceInterfaces();
    for (const BleDeviceNode& node : stack.DeviceNodes()) {
        BleDevice device;
        const std::string prefix = "BTHLE\\Dev_";
        const std::string id = node.hardware_ids.empty() ? "" : node.hardware_ids.front();
        const std::string compact = id.compare(0, prefix.size(), prefix) == 0 ? id.substr(prefix.size()) : "";
        for (size_t i = 0; i < compact.size(); ++i) {
            if (i > 0 && i % 2 == 0) device.address += ':';
            device.address += AsciiUpper(compact[i]);
        }
        device.name = node.friendly_name;
        device.paired = true;
        device.connected = !node.disconnected;
        for (const std::string& name : interfaces) {
            const std::string upper = AsciiUpper(name);
            if (compact.empty() || upper.find("_" + AsciiUpper(compact) + "\\") == std::string::npos) continue;
            unsigned vendor = 0, product = 0;
            const size_t vid = upper.find("VID&02"), pid = upper.find("PID&");
            if (vid == std::string::npos || pid == std::string::npos ||
                std::sscanf(upper.c_str() + vid + 6, "%4x", &vendor) != 1 ||
                std::sscanf(upper.c_str() + pid + 4, "%4x", &product) != 1)
                continue;
            device.has_ids = true;
            device.vendor_id = static_cast<uint16_t>(vendor);
            device.product_id = static_cast<uint16_t>(product);
            device.services_resolved = device.connected;
            if (!device.connected) break;
            auto handle = stack.OpenService(name);
            std::vector<BleGattService> services;
            std::vector<BleGattCharacteristic> characteristics;
            if (handle && handle->GetServices(&services) == 0 && !services.empty() &&
                handle->GetCharacteristics(services.front(), &characteristics) == 0) {
                for (const auto& c : characteristics) {
                    if (c.uuid.value == kBleWriteCharacteristic && c.is_writable) device.write_characteristic = true;
                    if (c.uuid.value == kBleNotifyCharacteristic && c.is_notifiable)
                        device.notify_characteristic = true;
                }
            }
            break;
        }
        snapshot.devices.push_back(device);
    }
    return snapshot;
}

namespace {

void FindProblems(Report* report) {
    auto problem = [report](std::string what, std::string fix) {
        report->problems.push_back({std::move(what), std::move(fix)});
    };
    const Report& r = *report;

    if (r.lock.known && !r.lock.held) {
        if (r.port_checked && r.listening)
            problem(
                "no bridge runs for this user, and another program listens on " + Endpoint(r) + ": " + r.holder.text,
                "stop that program, then " + FixText(Fix::StartBridge));
        else
            problem("no bridge is running for this user", FixText(Fix::StartBridge));
    } else if (r.port_checked && SessionInactive(r)) {
        // Stepped aside on purpose, maybe for another session's bridge: no fault.
    } else if (r.port_checked && !r.listening) {
        problem("nothing listens on " + Endpoint(r) + ", where the page connects",
                FixText(r.lock.held ? Fix::ServerFailed : Fix::StartBridge));
    } else if (r.port_checked && r.lock.held && r.owner_known && !r.by_bridge) {
        problem("another program listens on " + Endpoint(r) + " in place of the running bridge: " + r.holder.text,
                "stop that program, then " + FixText(Fix::RestartBridge));
    }

    if (r.hid_init_failed) problem("the HID library does not start", FixText(Fix::HidLibrary));

    if (!r.origins.contents.error.empty())
        problem("the trusted origins cannot be read: " + r.origins.contents.error,
                "make the file readable by this user, or remove it and answer the page's question again");
    for (const auto& [number, text] : r.origins.contents.malformed)
        problem(r.origins.file + " line " + std::to_string(number) + " is not an origin: " + text,
                "write one origin a line as scheme://host[:port] (orvex-bridge --trust ORIGIN does), or remove "
                "the line");

    bool anyDevice = false;
    for (const Node& node : r.nodes) {
        anyDevice = anyDevice || node.needed || node.bus == kBusBluetooth;
        if (!node.needed || node.can_open) continue;
        const std::string what =
            node.path + " (" + Hex4(node.vendor_id) + ":" + Hex4(node.product_id) + ") cannot be opened" +
            (node.has_access && !node.access.open_error.empty() ? " (" + node.access.open_error + ")" : "");
        problem(what, node.has_access ? node.access.fix : "re-plug the device");
    }

    bool anyPowered = false;
    for (const auto& adapter : r.ble.adapters) anyPowered = anyPowered || adapter.powered;
    if (r.ble.answered && r.ble.adapters_known && !r.ble_devices.empty() && !anyPowered)
        problem(r.ble.adapters.empty() ? "no Bluetooth adapter is present" : "no Bluetooth adapter is powered on",
                r.ble.adapters.empty() ? "plug in or enable a Bluetooth adapter" : "bluetoothctl power on");
    for (const BleDevice& device : r.ble_devices) {
        anyDevice = true;
        if (!device.connected || !device.services_resolved) continue;
        if (!device.write_characteristic || !device.notify_characteristic) {
            problem("BLE device " + DeviceName(device) + " lacks the 0xFEE3 write or 0xFEE4 notify characteristic",
                    FixText(Fix::RereadBleServices, device.address));
            continue;
        }
        // The bridge finds BLE devices through their HID nodes.
        bool hasNode = false;
        for (const Node& node : r.nodes)
            hasNode = hasNode || (node.bus == kBusBluetooth && node.vendor_id == device.vendor_id &&
                                  node.product_id == device.product_id);
        if (!hasNode)
            problem(
                "BLE device " + DeviceName(device) + " is connected but has no HID node, by which the bridge finds it",
                FixText(Fix::ReconnectBle, device.address));
    }
    if (!anyDevice)
        problem("no Orvex device found", r.ble.answered
                                             ? "plug in a device, or pair and connect a BLE device"
                                             : "plug in a device; BLE devices also need " + FixText(Fix::StartBle));
}

}  // namespace

}  // namespace check

int RunCheck(const Options& options) {
    using namespace check;
    Report report;
    report.simulated = !options.simulate.empty();
    std::unique_ptr<sim::Simulator> simulator;
    if (report.simulated) {
        std::string error;
        simulator = sim::Simulator::LoadScenarioFile(options.simulate, &error);
        if (!simulator) {
            diag_error(error);
            return 2;
        }
    }

    report.lock_path = SingleInstanceLockPath(kInstanceName);
    report.address = options.server.address;
    report.port = options.server.port;
    report.port_checked = options.server.port != 0;
    ProbeInstance(&report);
    report.session = ProbeSession();
    if (simulator) {
        CheckHid(simulator->hid(), true, &report);
        report.ble = BleOfStack(simulator->ble(), "simulated");
    } else {
        CheckHid(*SystemHid(), false, &report);
        report.ble = ProbeBle();
    }
    for (const auto& device : report.ble.devices)
        if (device.has_ids && device.vendor_id == kBleHidVendorId && (device.paired || device.connected))
            report.ble_devices.push_back(device);
    CheckOrigins(options, &report);
    FindProblems(&report);

    if (options.json)
        std::cout << ToJson(report).dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    else
        PrintText(report, std::cout);
    std::cout.flush();
    return report.problems.empty() ? 0 : 1;
}

}  // namespace orvex
