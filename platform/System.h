// The system-level services of the process, declared once here and
// implemented once per system (platform/linux/, platform/windows/), as a
// library with one header and one backend file per system: a change of a
// signature breaks both builds alike.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/PeerFilter.h"

namespace orvex {

// First thing in main: a page that vanishes mid-write must not kill the
// process (Linux: SIGPIPE ignored), and log lines leave byte for byte as
// written (Windows: stdout and stderr in binary mode, no "\r\n"). On
// Windows the bridge is a GUI program: started from a console, it writes
// into that console what would otherwise be lost.
void PrepareProcess();

// The requests to end the bridge stop the loop: SIGINT and SIGTERM on Linux;
// Ctrl+C, Ctrl+Break, closing the console, a close request to the hidden
// main window, log-off and shutdown on Windows, where it also makes that
// window.
// Windows ends a process once its handler of the last three returns, so
// that handler waits (bounded) until ShutdownDone() says the shutdown steps
// have run.
class StopRequests {
public:
    explicit StopRequests(boost::asio::io_context& loop);
    ~StopRequests();  // ShutdownDone()
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;
    void ShutdownDone();

    struct State;

private:
    std::shared_ptr<State> m_state;
};

// Where the single-instance guard of this name lives, for messages and
// --check: "<name>.lock" in $XDG_RUNTIME_DIR, else /tmp (Linux: a file
// locked with flock); the name itself (Windows: a named mutex).
std::string SingleInstanceLockPath(const std::string& name);

// The single-instance guard, held from Acquire until the object goes. A
// second bridge finds it taken.
class SingleInstanceLock {
public:
    SingleInstanceLock();
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    enum class Result { Acquired, AlreadyRunning, Failed };
    Result Acquire(const std::string& name, std::string* error);
    // SingleInstanceLockPath(name) once Acquire ran.
    std::string path() const { return m_path; }

    struct Held;  // the system's handle on the guard

private:
    std::string m_path;
    std::unique_ptr<Held> m_held;
};

// Readiness and shutdown notices to the service manager that started the
// bridge (Linux: Type=notify units; without NOTIFY_SOCKET nothing). Windows
// has no manager to tell: they do nothing there.
// "READY=1" with a status text for `systemctl status`.
void NotifyServiceReady(const std::string& status);
// "STATUS=" alone: what the bridge is doing while not ready (or no longer
// serving), for `systemctl status`.
void NotifyServiceStatus(const std::string& status);
// "STOPPING=1": shutdown has begun.
void NotifyServiceStopping();

// Raises the soft RLIMIT_NOFILE to the hard limit: every page, device node
// and bus connection is a descriptor, and the common soft limit of 1024 is
// soon reached by a client that opens connections in a loop. One verbose
// line when raised; nothing when it cannot be (the soft limit then stays).
// Windows handles have no such limit: nothing to raise.
void RaiseOpenFileLimit();

// Turns away loopback connections of programs that are not the user's
// (Linux: another user's, from the kernel's socket table; Windows: from the
// TCP table's owning process and that process's token).
PeerFilter NativePeerFilter();

// Who holds a TCP port the bridge could not take, for the message that says
// so: "pid 1234 (orvex-bridge, uid 1000)" on Linux, "pid 1234
// (orvex-bridge.exe)" on Windows.
std::string DescribePortHolder(uint16_t port);

// The user the bridge runs as, for /status: the uid on Linux, -1 where
// users have no number.
long CurrentUserId();

}  // namespace orvex
