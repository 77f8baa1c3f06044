#include "support/QemuGuest.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace orvex::test {

using namespace std::chrono_literals;
using SteadyTime = std::chrono::steady_clock;

ImageBuild BuildGuestImage(const std::string& script, const std::vector<std::string>& args, GuestImage* image,
                           std::string* why) {
    std::vector<std::string> command{FindInPath("bash"), script};
    command.insert(command.end(), args.begin(), args.end());
    // Downloading the kernel package on a fresh machine is the slow part.
    const RunResult built = RunToEnd(command, std::chrono::minutes(8));
    if (built.status == 77) {
        *why = built.err.empty() ? "the guest cannot be built here" : built.err.substr(0, built.err.find('\n'));
        return ImageBuild::Skipped;
    }
    std::stringstream lines(built.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("kernel=", 0) == 0) image->kernel = line.substr(7);
        if (line.rfind("initrd=", 0) == 0) image->initrd = line.substr(7);
    }
    if (built.status != 0 || image->kernel.empty() || image->initrd.empty()) {
        *why = "building the guest failed (status " + std::to_string(built.status) + "):\n" + built.err;
        return ImageBuild::Failed;
    }
    return ImageBuild::Built;
}

std::string FindInPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return dir + "/" + program;
    return "";
}

QemuGuest::~QemuGuest() {
    if (m_qemu && m_qemu->Wait(0ms) < 0) {
        m_qemu->Signal(SIGTERM);
        m_qemu->Wait(15s);
    }
}

QemuGuest::Boot QemuGuest::Start(const Options& options, std::string* why) {
    if (FindInPath("qemu-system-x86_64").empty()) {
        *why = "qemu-system-x86_64 is missing (Debian package qemu-system-x86)";
        return Boot::Skipped;
    }
    std::vector<uint16_t> guestPorts{options.agentPort};
    guestPorts.insert(guestPorts.end(), options.forwards.begin(), options.forwards.end());
    // A port can be taken between our look and QEMU's bind: a few tries.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string forwards = "user,id=net0,restrict=on";
        m_ports.clear();
        {
            std::vector<std::unique_ptr<TakenPort>> taken;
            for (uint16_t guestPort : guestPorts) {
                taken.push_back(std::make_unique<TakenPort>());
                if (taken.back()->port() == 0) {
                    *why = "no free loopback port for QEMU's forwards";
                    return Boot::Skipped;
                }
                m_ports[guestPort] = taken.back()->port();
                forwards +=
                    ",hostfwd=tcp:127.0.0.1:" + std::to_string(taken.back()->port()) + "-:" + std::to_string(guestPort);
            }
        }
        // timeout(1) bounds QEMU even if this program is killed; the guest's
        // own watchdog powers it off before that.
        std::vector<std::string> argv = {FindInPath("timeout"), "--kill-after=10", std::to_string(options.limitSeconds),
                                         FindInPath("qemu-system-x86_64")};
        std::istringstream fixed(
            "-accel tcg -m 512 -nodefaults -no-user-config -display none -serial stdio -no-reboot "
            "-device e1000,netdev=net0");
        for (std::string word; fixed >> word;) argv.push_back(word);
        argv.insert(argv.end(), {"-smp", std::to_string(options.smp)});
        argv.insert(argv.end(), options.qemuArgs.begin(), options.qemuArgs.end());
        // On an emulated processor of a busy host the kernel's early timer
        // checks go wrong: the IO-APIC timer check can miss its ticks and
        // panic the guest (no_timer_check), and the processor's clock can be
        // measured several times too slow, so that the guest's time runs
        // ahead of the host's and two-second hardware time-outs end in under
        // one (seen in CI: a Bluetooth controller's reset "timed out"). The
        // HPET counts QEMU's own clock, right whatever the load.
        argv.insert(argv.end(), {"-netdev", forwards, "-kernel", options.kernel, "-initrd", options.initrd, "-append",
                                 options.append + " no_timer_check clocksource=hpet"});
        m_qemu = std::make_unique<ChildProcess>(argv);
        const auto started = SteadyTime::now();
        while (SteadyTime::now() - started < options.bootTimeout) {
            if (m_qemu->Wait(0ms) >= 0) break;
            if (m_control.ConnectTcp(m_ports[options.agentPort]) && Ask("ping", 5s).status == "pong") {
                m_running = true;
                return Boot::Running;
            }
            m_control.Close();
            std::this_thread::sleep_for(500ms);
        }
        if (m_qemu->Wait(0ms) < 0) {
            *why = "the guest's agent did not answer within " + std::to_string(options.bootTimeout.count()) + " s";
            return Boot::Failed;
        }
        m_qemu->FinishOutput();
        const std::string err = m_qemu->Stderr();
        if (err.find("forwarding") != std::string::npos) continue;
        if (std::chrono::duration<double>(SteadyTime::now() - started).count() < 15 && m_qemu->Stdout().empty()) {
            *why = "qemu-system-x86_64 cannot run a TCG guest here: " + err.substr(0, err.find('\n'));
            return Boot::Skipped;
        }
        *why = "the guest ended during boot";
        return Boot::Failed;
    }
    *why = "QEMU found no free loopback port for its forwards";
    return Boot::Skipped;
}

GuestReply QemuGuest::Ask(const std::string& request, std::chrono::milliseconds timeout) {
    GuestReply reply;
    m_control.Send(request + "\n");
    const auto deadline = SteadyTime::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyTime::now());
        const std::string line = left.count() > 0 ? m_control.ReadLine(left) : "";
        if (line.empty()) {
            // A late reply would be taken for the next request's.
            m_control.Close();
            reply.status = "no reply to '" + request + "'";
            return reply;
        }
        if (line.rfind("- ", 0) == 0) {
            reply.lines.push_back(line.substr(2));
            continue;
        }
        reply.ok = line.rfind("ok", 0) == 0;
        const size_t space = line.find(' ');
        reply.status = space == std::string::npos ? "" : line.substr(space + 1);
        return reply;
    }
}

uint16_t QemuGuest::HostPort(uint16_t guestPort) const {
    auto it = m_ports.find(guestPort);
    return it == m_ports.end() ? 0 : it->second;
}

std::string QemuGuest::Console() const {
    if (!m_qemu) return "";
    const std::string out = m_qemu->Stdout() + m_qemu->Stderr();
    return out.size() > 4000 ? out.substr(out.size() - 4000) : out;
}

bool QemuGuest::PowerOff(std::chrono::seconds timeout) {
    if (m_running) Ask("poweroff", 10s);
    m_control.Close();
    m_running = false;
    if (!m_qemu || m_qemu->Wait(timeout) >= 0) return true;
    m_qemu->Signal(SIGTERM);
    m_qemu->Wait(15s);
    return false;
}

}  // namespace orvex::test
