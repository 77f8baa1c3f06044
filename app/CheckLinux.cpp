// The probes of --check on Linux: the lock file and /proc for a running
// bridge and the port, logind for the session, hidraw nodes with their
// permissions and the udev rule, BlueZ on the system bus.
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "app/CheckReport.h"
#include "platform/linux/BluezProbe.h"
#include "platform/linux/HidrawApi.h"
#include "platform/linux/LogindSession.h"
#include "platform/linux/NodeAccess.h"
#include "platform/linux/ProcProbe.h"

namespace orvex::check {

namespace {

constexpr auto kBusTimeout = std::chrono::seconds(5);

PortHolder HolderOf(const SocketHolder& holder) {
    return {holder.uid, holder.pid, holder.program, DescribeHolder(holder)};
}

}  // namespace

void ProbeInstance(Report* report) {
    const FlockHolder lock = FindFlockHolder(report->lock_path);
    report->lock = {lock.known, lock.held, lock.pid, lock.error};
    if (!report->port_checked) return;
    for (const TcpListener& listener : FindTcpListeners(report->port)) {
        report->listeners.push_back(listener.address);
        const bool reaches =
            listener.address == report->address || listener.address == "0.0.0.0" || listener.address == "::";
        if (!reaches) continue;
        report->listening = true;
        bool known = false;
        if (report->lock.held && ProcessHasSocket(report->lock.pid, listener.inode, &known)) report->by_bridge = true;
        report->owner_known = report->owner_known || known;
    }
    if (report->listening && !report->by_bridge) report->holder = HolderOf(FindPortHolder(report->port));
}

Session ProbeSession() {
    const LoginSessionInfo info = LookUpLoginSession(getuid(), kBusTimeout);
    return {info.found, info.why, info.id, info.active, info.remote};
}

std::unique_ptr<HidApi> SystemHid() {
    return std::make_unique<HidrawApi>();
}

void ProbeNodeAccess(Report* report) {
    report->privileged = geteuid() == 0;
    const UdevPaths paths;
    report->rule.applies = true;
    report->rule.name = kUdevRuleName;
    report->rule.installed_in = FindInstalledRule(paths);
    for (Node& node : report->nodes) {
        if (node.can_open || !node.needed) continue;
        const orvex::NodeAccess a = InspectNodeAccess(node.path, paths, geteuid());
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", a.mode);
        node.has_access = true;
        node.access = {a.exists,  a.open_error, a.owner_name,      a.group_name,     mode,
                       a.has_acl, a.acl,        a.acl_grants_user, a.tagged_uaccess, a.fix};
    }
}

Ble ProbeBle() {
    const BleSnapshot bluez = ProbeBluez("", kBusTimeout);
    Ble ble;
    ble.stack = "bluez";
    ble.where = bluez.where;
    ble.answered = bluez.answered;
    ble.error = bluez.error;
    ble.adapters_known = true;
    ble.adapters = bluez.adapters;
    ble.devices = bluez.devices;
    return ble;
}

std::string FixText(Fix fix, const std::string& device) {
    switch (fix) {
        case Fix::StartBridge:
            return "start it: systemctl --user start orvex-bridge (or run orvex-bridge)";
        case Fix::RestartBridge:
            return "systemctl --user restart orvex-bridge";
        case Fix::ServerFailed:
            return "the running bridge was started with other --port or --listen options or could not start its "
                   "server: see journalctl --user -u orvex-bridge, then systemctl --user restart orvex-bridge";
        case Fix::HidLibrary:
            return "check that /sys is mounted and hidraw is available (modprobe hidraw)";
        case Fix::StartBle:
            return "BlueZ (sudo systemctl start bluetooth)";
        case Fix::RereadBleServices:
            return "remove and pair it again (bluetoothctl remove " + device +
                   ") so that BlueZ reads its services anew";
        case Fix::ReconnectBle:
            return "disconnect and connect it again (bluetoothctl disconnect/connect " + device +
                   "); BlueZ's input plugin must be enabled";
    }
    return "";
}

}  // namespace orvex::check
