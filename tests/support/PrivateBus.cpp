#include "support/PrivateBus.h"

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

std::string PrivateBus::Unavailable() {
    if (access(kDaemon, X_OK) != 0) return std::string(kDaemon) + " is missing: no private bus for a fake";
    if (RunToEnd({kPython, "-c", "import dbus, dbus.mainloop.glib; from gi.repository import GLib"}, kStartWait)
            .status != 0)
        return std::string(kPython) + " lacks python3-dbus or the GLib bindings: no fake on a private bus";
    return "";
}

bool PrivateBus::Start(std::string* error) {
    std::string config = kBusConfig;
    config.replace(config.find("@DIR@"), 5, m_dir);
    std::ofstream(m_dir + "/bus.conf") << config;
    m_daemon = std::make_unique<ChildProcess>(
        std::vector<std::string>{kDaemon, "--config-file=" + m_dir + "/bus.conf", "--nofork", "--print-address=1"});
    if (!m_daemon->Started() || !WaitForOutput(*m_daemon, "\n")) {
        *error = "dbus-daemon did not start: " + m_daemon->Stderr();
        return false;
    }
    m_address = m_daemon->Stdout();
    m_address.erase(m_address.find('\n'));
    // Without the server's guid, as the system bus is named: a client given
    // one would not take the daemon that comes back at the same path.
    m_address.erase(std::min(m_address.find(",guid="), m_address.size()));
    return true;
}

void PrivateBus::Stop() {
    m_daemon.reset();
    // A killed daemon leaves its socket behind.
    unlink((m_dir + "/bus").c_str());
}

std::unique_ptr<ChildProcess> PrivateBus::StartFake(const std::string& script, std::vector<std::string> args,
                                                    std::string* error) {
    args.insert(args.begin(), {kPython, script});
    auto fake = std::make_unique<ChildProcess>(std::move(args));
    if (!WaitForOutput(*fake, "ready")) {
        *error = script + " did not start: " + fake->Stderr();
        return nullptr;
    }
    return fake;
}

}  // namespace orvex::test
