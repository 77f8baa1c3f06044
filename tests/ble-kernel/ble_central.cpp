// orvex-ble-central: what a user does once in bluetoothctl, in the BLE suite's
// central guest. Registers a pairing agent with no input and no output (so
// the kernel pairs just-works, and bluetoothd refuses pairing without an
// agent), finds the first device advertising HID (0x1812), connects to it
// (bluetoothd's HID-over-GATT pairs and bonds), trusts it, prints
// "central: paired ADDRESS" and then keeps serving the agent until killed.
// Exit status 1, with the reason on stderr, when a step fails in time.
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/linux/DBus.h"

namespace {

using Dict = std::map<std::string, sdbus::Variant>;
using Managed = std::map<sdbus::ObjectPath, std::map<std::string, Dict>>;
const char* const kAdapter = "org.bluez.Adapter1";
const char* const kDevice = "org.bluez.Device1";
const char* const kHid = "00001812-0000-1000-8000-00805f9b34fb";

// Dispatches bus messages until done() holds or ms pass (ms < 0: for ever).
bool Pump(orvex::dbus::Connection& bus, int ms, const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        while (orvex::dbus::ProcessPending(bus)) {
        }
        if (done && done()) return true;
        if (ms >= 0 && std::chrono::steady_clock::now() >= until) return false;
        const auto data = orvex::dbus::GetPollData(bus);
        // Wakes every 100 ms at least: done() may look at more than the bus,
        // and the library's time-outs are never further away than that here.
        pollfd fds[2] = {{data.fd, data.events, 0}, {data.eventFd, POLLIN, 0}};
        poll(fds, 2, 100);
    }
}

int Fail(const std::string& why) {
    std::fprintf(stderr, "central: %s\n", why.c_str());
    return 1;
}

int Run(orvex::dbus::Connection& bus) {
    auto agent = orvex::dbus::CreateObject(bus, "/orvex/agent");
    orvex::dbus::MethodTable()
        .Add("Release", [] {})
        .Add("Cancel", [] {})
        .Add("RequestConfirmation", [](const sdbus::ObjectPath&, uint32_t) {})
        .Add("RequestAuthorization", [](const sdbus::ObjectPath&) {})
        .Add("AuthorizeService", [](const sdbus::ObjectPath&, const std::string&) {})
        .Export(*agent, "org.bluez.Agent1");
    auto manager = orvex::dbus::CreateProxy(bus, "org.bluez", "/org/bluez");
    manager->callMethod("RegisterAgent")
        .onInterface("org.bluez.AgentManager1")
        .withArguments(sdbus::ObjectPath("/orvex/agent"), std::string("NoInputNoOutput"));
    manager->callMethod("RequestDefaultAgent")
        .onInterface("org.bluez.AgentManager1")
        .withArguments(sdbus::ObjectPath("/orvex/agent"));

    auto root = orvex::dbus::CreateProxy(bus, "org.bluez", "/");
    std::string device;
    auto found = [&] {
        Managed managed;
        root->callMethod("GetManagedObjects").onInterface("org.freedesktop.DBus.ObjectManager").storeResultsTo(managed);
        for (const auto& [path, interfaces] : managed) {
            auto it = interfaces.find(kDevice);
            if (it == interfaces.end()) continue;
            auto uuids = it->second.find("UUIDs");
            if (uuids == it->second.end()) continue;
            for (const auto& uuid : uuids->second.get<std::vector<std::string>>())
                if (uuid == kHid) device = path;
        }
        return !device.empty();
    };
    auto adapter = orvex::dbus::CreateProxy(bus, "org.bluez", "/org/bluez/hci0");
    adapter->setProperty("Powered").onInterface(kAdapter).toValue(true);
    adapter->callMethod("SetDiscoveryFilter")
        .onInterface(kAdapter)
        .withArguments(Dict{{"Transport", sdbus::Variant(std::string("le"))}});
    adapter->callMethod("StartDiscovery").onInterface(kAdapter);
    if (!Pump(bus, 90000, found)) return Fail("no device advertising HID within 90 s");
    adapter->callMethod("StopDiscovery").onInterface(kAdapter);

    auto dev = orvex::dbus::CreateProxy(bus, "org.bluez", device);
    // Asynchronous: the agent answers while bluetoothd connects and pairs.
    bool answered = false;
    std::string error;
    orvex::dbus::CallAsync(
        *dev, orvex::dbus::CreateMethodCall(*dev, kDevice, "Connect"),
        [&](sdbus::MethodReply*, const sdbus::Error* e) {
            answered = true;
            if (e) error = e->what();
        },
        std::chrono::seconds(90));
    if (!Pump(bus, 100000, [&] { return answered; })) return Fail("Connect: no answer");
    if (!error.empty()) return Fail("Connect: " + error);
    auto property = [&](const char* name) {
        try {
            return dev->getProperty(name).onInterface(kDevice).get<bool>();
        } catch (const sdbus::Error&) {
            return false;
        }
    };
    if (!Pump(bus, 90000, [&] { return property("ServicesResolved") && property("Paired"); }))
        return Fail("not paired with resolved services within 90 s");
    dev->setProperty("Trusted").onInterface(kDevice).toValue(true);
    std::printf("central: paired %s\n", dev->getProperty("Address").onInterface(kDevice).get<std::string>().c_str());
    std::fflush(stdout);
    Pump(bus, -1, {});
    return 0;
}

}  // namespace

int main() {
    try {
        auto bus = orvex::dbus::SystemBus();
        return Run(*bus);
    } catch (const sdbus::Error& e) {
        return Fail(e.what());
    }
}
