// A private D-Bus bus (a dbus-daemon of its own, session type) for the fakes
// of system services written in python3-dbus, and the way those fakes start.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/Process.h"

namespace orvex::test {

class PrivateBus {
public:
    // Empty when a private bus and a python3-dbus fake can run here, else the reason.
    static std::string Unavailable();

    explicit PrivateBus(std::string dir) : m_dir(std::move(dir)) {}
    // The bus at unix:path=DIR/bus; false with the reason.
    bool Start(std::string* error);
    // Ends the daemon and removes its socket, so that it can start again at
    // the same address.
    void Stop();
    const std::string& address() const { return m_address; }

    // Runs /usr/bin/python3 script args... and waits for its "ready" line.
    static std::unique_ptr<ChildProcess> StartFake(const std::string& script, std::vector<std::string> args,
                                                   std::string* error);

private:
    const std::string m_dir;
    std::unique_ptr<ChildProcess> m_daemon;
    std::string m_address;
};

}  // namespace orvex::test
