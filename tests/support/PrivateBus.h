// A private D-Bus bus: a dbus-daemon of its own in a temporary directory,
// for the fakes of system services (fake_bluez.py, fake_logind.py) that the
// bridge finds there through DBUS_SYSTEM_BUS_ADDRESS.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/Process.h"

namespace orvex::test {

class PrivateBus {
public:
    // Empty when a private bus and a python3-dbus fake can run here, else
    // the reason.
    static std::string Unavailable();

    // The daemon; false with the reason when it did not start.
    bool Start(std::string* error);
    // The daemon ends and its socket goes; Start brings it back at the same
    // address.
    void Stop();
    const std::string& address() const { return m_address; }

    // Runs /usr/bin/python3 script args... with the bus address as first
    // argument, until it prints "ready"; null with the reason otherwise.
    std::unique_ptr<ChildProcess> StartFake(const std::string& script, const std::vector<std::string>& args,
                                            std::string* error);

private:
    TempDir m_dir;
    std::unique_ptr<ChildProcess> m_daemon;
    std::string m_address;
};

// Waits (bounded) until the process's stdout holds text; false when it
// ended or the time ran out first.
bool WaitForOutput(ChildProcess& process, const std::string& text);

}  // namespace orvex::test
