#include "platform/linux/SystemdNotify.h"

#include <systemd/sd-daemon.h>

#include <cstring>

#include "platform/Log.h"

namespace orvex {

namespace {

void Notify(const std::string& state) {
    const int result = sd_notify(0, state.c_str());
    // A manager that cannot be told is no reason to stop serving: at worst it
    // gives up waiting and restarts the unit, which says so itself.
    if (result < 0) diag_warning("cannot notify the service manager: " + std::string(std::strerror(-result)));
}

}  // namespace

void NotifyServiceReady(const std::string& status) {
    Notify("READY=1\nSTATUS=" + status);
}

void NotifyServiceStatus(const std::string& status) {
    Notify("STATUS=" + status);
}

void NotifyServiceStopping() {
    Notify("STOPPING=1");
}

}  // namespace orvex
