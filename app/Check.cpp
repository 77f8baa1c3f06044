#include "app/Check.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
#include "platform/Text.h"
#include "platform/linux/BluezProbe.h"
#include "platform/linux/HidrawApi.h"
#include "platform/linux/LogindSession.h"
#include "platform/linux/NodeAccess.h"
#include "platform/linux/ProcProbe.h"
#include "platform/linux/SingleInstance.h"
#include "sim/Simulator.h"

namespace orvex {

namespace check {

namespace {

constexpr auto kBusTimeout = std::chrono::seconds(5);
constexpr const char* kStartBridge = "start it: systemctl --user start orvex-bridge (or run orvex-bridge)";

// The running bridge's own /status over loopback, bounded; null when it
// does not answer (an older bridge, the console turned off).
Json RunningStatus(const std::string& address, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (inet_pton(AF_INET, address == "0.0.0.0" ? "127.0.0.1" : address.c_str(), &to.sin_addr) != 1)
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    const std::string request =
        "GET /status HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n\r\n";
    bool sent = false;
    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    for (int rounds = 0; rounds < 40; ++rounds) {  // 2 s at most
        pollfd p{fd, static_cast<short>(sent ? POLLIN : POLLOUT), 0};
        if (poll(&p, 1, 50) <= 0) continue;
        if (!sent) {
            sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
            if (!sent) break;
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
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
    if (simulated) return;
    const UdevPaths paths;
    report->rule_installed_in = FindInstalledRule(paths);
    for (Node& node : report->nodes) {
        if (node.can_open || !node.needed) continue;
        node.has_access = true;
        node.access = InspectNodeAccess(node.path, paths, geteuid());
    }
}

// The simulated stack seen the way BlueZ's objects are: a node per device,
// its service interface (named with vendor, product and address) and the
// characteristics of its first service.
BleSnapshot SimulatedBle(BleStack& stack) {
    BleSnapshot snapshot;
    snapshot.answered = true;
    snapshot.where = "simulated";
    const std::vector<std::string> interfaces = stack.ServiceInterfaces();
    for (const BleDeviceNode& node : stack.DeviceNodes()) {
        BleDeviceInfo device;
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

void CheckInstance(const Options& options, Report* report) {
    report->lock_path = SingleInstanceLockPath(kInstanceName);
    report->lock = FindFlockHolder(report->lock_path);
    report->address = options.server.address;
    report->port = options.server.port;
    report->port_checked = options.server.port != 0;
    if (!report->port_checked) return;
    for (const TcpListener& listener : FindTcpListeners(report->port)) {
        report->listeners.push_back(listener);
        const bool reaches =
            listener.address == report->address || listener.address == "0.0.0.0" || listener.address == "::";
        if (!reaches) continue;
        report->listening = true;
        bool known = false;
        if (report->lock.held && ProcessHasSocket(report->lock.pid, listener.inode, &known)) report->by_bridge = true;
        report->owner_known = report->owner_known || known;
    }
    if (report->listening && !report->by_bridge) report->holder = FindPortHolder(report->port);
}

void FindProblems(Report* report) {
    auto problem = [report](std::string what, std::string fix) {
        report->problems.push_back({std::move(what), std::move(fix)});
    };
    const Report& r = *report;

    if (r.lock.known && !r.lock.held) {
        if (r.port_checked && r.listening)
            problem("no bridge runs for this user, and another program listens on " + Endpoint(r) + ": " +
                        DescribeHolder(r.holder),
                    "stop that program, then " + std::string(kStartBridge));
        else
            problem("no bridge is running for this user", kStartBridge);
    } else if (r.port_checked && SessionInactive(r)) {
        // Stepped aside on purpose, maybe for another session's bridge: no fault.
    } else if (r.port_checked && !r.listening) {
        problem("nothing listens on " + Endpoint(r) + ", where the page connects",
                r.lock.held ? "the running bridge was started with other --port or --listen options or could not "
                              "start its server: see journalctl --user -u orvex-bridge, then systemctl --user "
                              "restart orvex-bridge"
                            : kStartBridge);
    } else if (r.port_checked && r.lock.held && r.owner_known && !r.by_bridge) {
        problem("another program listens on " + Endpoint(r) +
                    " in place of the running bridge: " + DescribeHolder(r.holder),
                "stop that program, then systemctl --user restart orvex-bridge");
    }

    if (r.hid_init_failed)
        problem("the HID library does not start",
                "check that /sys is mounted and hidraw is available (modprobe hidraw)");

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
    if (r.ble.answered && r.ble.where != "simulated" && !r.ble_devices.empty() && !anyPowered)
        problem(r.ble.adapters.empty() ? "no Bluetooth adapter is present" : "no Bluetooth adapter is powered on",
                r.ble.adapters.empty() ? "plug in or enable a Bluetooth adapter" : "bluetoothctl power on");
    for (const BleDeviceInfo& device : r.ble_devices) {
        anyDevice = true;
        if (!device.connected || !device.services_resolved) continue;
        if (!device.write_characteristic || !device.notify_characteristic) {
            problem("BLE device " + DeviceName(device) + " lacks the 0xFEE3 write or 0xFEE4 notify characteristic",
                    "remove and pair it again (bluetoothctl remove " + device.address +
                        ") so that BlueZ reads its services anew");
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
                "disconnect and connect it again (bluetoothctl disconnect/connect " + device.address +
                    "); BlueZ's input plugin must be enabled");
    }
    if (!anyDevice)
        problem("no Orvex device found",
                r.ble.answered ? "plug in a device, or pair and connect a BLE device"
                               : "plug in a device; BLE devices also need BlueZ (sudo systemctl start bluetooth)");
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

    CheckInstance(options, &report);
    report.session = LookUpLoginSession(getuid(), kBusTimeout);
    if (simulator) {
        CheckHid(simulator->hid(), true, &report);
        report.ble = SimulatedBle(simulator->ble());
    } else {
        HidrawApi hid;
        CheckHid(hid, false, &report);
        report.ble = ProbeBluez("", kBusTimeout);
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
