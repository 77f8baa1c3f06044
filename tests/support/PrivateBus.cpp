#include "support/PrivateBus.h"

#include <unistd.h>

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

}  // namespace

bool WaitForOutput(ChildProcess& process, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kStartWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (process.Stdout().find(text) != std::string::npos) return true;
        if (process.Wait(0ms) >= 0) return process.Stdout().find(text) != std::string::npos;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::string PrivateBus::Unavailable() {
    if (access(kDaemon, X_OK) != 0) return std::string(kDaemon) + " is missing: no private bus for a fake service";
    if (RunToEnd({kPython, "-c", "import dbus, dbus.mainloop.glib; from gi.repository import GLib"}, kStartWait)
            .status != 0)
        return std::string(kPython) + " lacks python3-dbus or the GLib bindings: no fake service";
    return "";
}

bool PrivateBus::Start(std::string* error) {
    const std::string config = m_dir.path() + "/bus.conf";
    if (access(config.c_str(), F_OK) != 0) {
        std::string text = kBusConfig;
        text.replace(text.find("@DIR@"), 5, m_dir.path());
        std::ofstream(config) << text;
    }
    m_daemon = std::make_unique<ChildProcess>(
        std::vector<std::string>{kDaemon, "--config-file=" + config, "--nofork", "--print-address=1"});
    if (!m_daemon->Started() || !WaitForOutput(*m_daemon, "\n")) {
        *error = "dbus-daemon did not start: " + m_daemon->Stderr();
        return false;
    }
    std::string address = m_daemon->Stdout();
    address.erase(address.find('\n'));
    // Without the server's guid, as the system bus is named: a client given
    // one would not take the daemon that comes back at the same path.
    address.erase(std::min(address.find(",guid="), address.size()));
    if (!m_address.empty() && address != m_address) {
        *error = "the bus came back at " + address + ", not " + m_address;
        return false;
    }
    m_address = address;
    return true;
}

void PrivateBus::Stop() {
    m_daemon.reset();
    // A killed daemon leaves its socket behind.
    unlink((m_dir.path() + "/bus").c_str());
}

std::unique_ptr<ChildProcess> PrivateBus::StartFake(const std::string& script, const std::vector<std::string>& args,
                                                    std::string* error) {
    std::vector<std::string> argv{kPython, script, m_address};
    argv.insert(argv.end(), args.begin(), args.end());
    auto fake = std::make_unique<ChildProcess>(argv);
    if (!WaitForOutput(*fake, "ready")) {
        *error = script + " did not start: " + fake->Stderr();
        return nullptr;
    }
    return fake;
}

}  // namespace orvex::test
