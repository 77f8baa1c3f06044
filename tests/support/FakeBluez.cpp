#include "support/FakeBluez.h"

#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

namespace orvex::test {

namespace {

using namespace std::chrono_literals;

constexpr auto kStartWait = 30s;
const char* kPython = "/usr/bin/python3";
const char* kDaemon = "/usr/bin/dbus-daemon";
const char* kControl = "org.orvex.FakeBluez";

const char* kBusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=@DIR@/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

bool WaitForOutput(ChildProcess& process, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kStartWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (process.Stdout().find(text) != std::string::npos) return true;
        if (process.Wait(0ms) >= 0) return process.Stdout().find(text) != std::string::npos;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

}  // namespace

std::string FakeBluez::Unavailable() {
    if (access(kDaemon, X_OK) != 0) return std::string(kDaemon) + " is missing: no private bus for a fake BlueZ";
    if (RunToEnd({kPython, "-c", "import dbus, dbus.mainloop.glib; from gi.repository import GLib"}, kStartWait)
            .status != 0)
        return std::string(kPython) + " lacks python3-dbus or the GLib bindings: no fake BlueZ";
    return "";
}

FakeBluez::FakeBluez(int unrelatedObjects) : m_unrelated(unrelatedObjects) {}

FakeBluez::~FakeBluez() {
    m_proxy.reset();
    m_control.reset();
    m_fake.reset();
    m_daemon.reset();
}

bool FakeBluez::Start(std::string* error) {
    std::string config = kBusConfig;
    config.replace(config.find("@DIR@"), 5, m_dir.path());
    std::ofstream(m_dir.path() + "/bus.conf") << config;
    return StartBus(error);
}

bool FakeBluez::StartBus(std::string* error) {
    m_daemon = std::make_unique<ChildProcess>(std::vector<std::string>{
        kDaemon, "--config-file=" + m_dir.path() + "/bus.conf", "--nofork", "--print-address=1"});
    if (!m_daemon->Started() || !WaitForOutput(*m_daemon, "\n")) {
        *error = "dbus-daemon did not start: " + m_daemon->Stderr();
        return false;
    }
    m_address = m_daemon->Stdout();
    m_address.erase(m_address.find('\n'));
    // Without the server's guid, as the system bus is named: a client given
    // one would not take the daemon that comes back at the same path.
    m_address.erase(std::min(m_address.find(",guid="), m_address.size()));
    if (!StartFake(error)) return false;
    try {
        m_control = sdbus::createSessionBusConnectionWithAddress(m_address);
        m_proxy = sdbus::createProxy(*m_control, "org.bluez", "/");
    } catch (const sdbus::Error& e) {
        *error = "no control connection: " + e.getMessage();
        return false;
    }
    return true;
}

bool FakeBluez::RestartBus(std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string address = m_address;
    m_proxy.reset();
    m_control.reset();
    // The bus first: BlueZ does not leave it before it goes.
    m_daemon.reset();
    m_fake.reset();
    // A killed daemon leaves its socket behind.
    unlink((m_dir.path() + "/bus").c_str());
    if (!StartBus(error)) return false;
    if (m_address != address) {
        *error = "the bus came back at " + m_address + ", not " + address;
        return false;
    }
    return true;
}

bool FakeBluez::StartFake(std::string* error) {
    m_fake = std::make_unique<ChildProcess>(
        std::vector<std::string>{kPython, ORVEX_FAKE_BLUEZ, m_address, std::to_string(m_unrelated)});
    if (!WaitForOutput(*m_fake, "ready")) {
        *error = "the fake BlueZ did not start: " + m_fake->Stderr();
        return false;
    }
    return true;
}

bool FakeBluez::Restart(std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fake.reset();
    return StartFake(error);
}

std::vector<FakeBluez::Write> FakeBluez::Writes() {
    std::vector<sdbus::Struct<sdbus::ObjectPath, std::vector<uint8_t>, std::string>> raw;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_proxy->callMethod("Writes").onInterface(kControl).storeResultsTo(raw);
    }
    std::vector<Write> writes;
    for (const auto& w : raw) writes.push_back(Write{w.get<0>(), w.get<1>(), w.get<2>()});
    return writes;
}

std::vector<std::string> FakeBluez::Events() {
    std::vector<std::string> events;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("Events").onInterface(kControl).storeResultsTo(events);
    return events;
}

unsigned FakeBluez::Calls(const std::string& method) {
    uint32_t count = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("Calls").onInterface(kControl).withArguments(method).storeResultsTo(count);
    return count;
}

void FakeBluez::Notify(const std::string& path, const std::vector<uint8_t>& value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("Notify").onInterface(kControl).withArguments(sdbus::ObjectPath(path), value);
}

void FakeBluez::NotifyStamped(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("NotifyStamped").onInterface(kControl).withArguments(sdbus::ObjectPath(path));
}

void FakeBluez::FailWrites(bool fail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("FailWrites").onInterface(kControl).withArguments(fail);
}

void FakeBluez::HoldWrites(double seconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("HoldWrites").onInterface(kControl).withArguments(seconds);
}

void FakeBluez::ReleaseWrites() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("ReleaseWrites").onInterface(kControl);
}

unsigned FakeBluez::HeldWrites() {
    uint32_t count = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("HeldWrites").onInterface(kControl).storeResultsTo(count);
    return count;
}

std::string FakeBluez::AddDevice(const std::string& address) {
    sdbus::ObjectPath path;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("AddDevice").onInterface(kControl).withArguments(address).storeResultsTo(path);
    return path;
}

void FakeBluez::SetConnected(const std::string& path, bool connected) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("SetConnected").onInterface(kControl).withArguments(sdbus::ObjectPath(path), connected);
}

void FakeBluez::RemoveDevice(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("RemoveDevice").onInterface(kControl).withArguments(sdbus::ObjectPath(path));
}

}  // namespace orvex::test
