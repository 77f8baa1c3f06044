// One QEMU (TCG) guest of the real-kernel suites, driven from here: booted
// from a kernel and an initramfs, its agent's TCP port and any other guest
// ports forwarded to loopback ports of this machine, and a line exchange
// with the agent: one request line; "- ..." data lines and a last
// "ok ..." or "err ..." back.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/SimBridge.h"

namespace orvex::test {

// The program's full path from PATH, or "".
std::string FindInPath(const std::string& program);

// A guest's kernel and initramfs, as tests/kernel/build-initramfs.sh makes them.
struct GuestImage {
    std::string kernel;
    std::string initrd;
};
enum class ImageBuild { Built, Skipped, Failed };
// Runs build-initramfs.sh with these arguments (bash from PATH) and reads the
// kernel= and initrd= lines it prints. Skipped (status 77: it cannot build
// here) and Failed come with the reason in *why.
ImageBuild BuildGuestImage(const std::string& script, const std::vector<std::string>& args, GuestImage* image,
                           std::string* why);

struct GuestReply {
    bool ok = false;
    std::string status;  // after "ok " or "err "
    std::vector<std::string> lines;
};

class QemuGuest {
public:
    struct Options {
        std::string kernel, initrd, append;
        std::vector<std::string> qemuArgs;  // more arguments (serial ports, ...)
        uint16_t agentPort = 7000;          // in the guest
        std::vector<uint16_t> forwards;     // more guest ports to forward
        int smp = 2;
        std::chrono::seconds bootTimeout{240};
        int limitSeconds = 540;  // QEMU is killed after this, whatever happens
    };
    enum class Boot { Running, Skipped, Failed };

    QemuGuest() = default;
    ~QemuGuest();
    QemuGuest(const QemuGuest&) = delete;
    QemuGuest& operator=(const QemuGuest&) = delete;

    // Boots and waits until the agent answers "ping" with "pong". why: the
    // reason when skipped or failed.
    Boot Start(const Options& options, std::string* why);
    GuestReply Ask(const std::string& request, std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // The loopback port that reaches the guest's port.
    uint16_t HostPort(uint16_t guestPort) const;
    // The console's last bytes, for failure messages.
    std::string Console() const;
    // Asks the agent to power off and waits for QEMU's end; false when it
    // had to be killed.
    bool PowerOff(std::chrono::seconds timeout = std::chrono::seconds(60));
    bool Running() const { return m_running; }

private:
    std::unique_ptr<ChildProcess> m_qemu;
    SimControlClient m_control;
    std::map<uint16_t, uint16_t> m_ports;  // guest port -> loopback port
    bool m_running = false;
};

}  // namespace orvex::test
