// The backends of the system the bridge is built for, chosen at build time,
// and the process-wide pieces that differ between systems.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/PeerFilter.h"
#include "platform/SessionWatch.h"

#ifdef _WIN32
#include "platform/windows/ProcessControl.h"
#include "platform/windows/WinBleStack.h"
#include "platform/windows/WinDeviceMonitor.h"
#include "platform/windows/WinHidApi.h"
#include "platform/windows/WinSession.h"
#else
#include "platform/linux/BluezStack.h"
#include "platform/linux/HidrawApi.h"
#include "platform/linux/LogindSession.h"
#include "platform/linux/OpenFileLimit.h"
#include "platform/linux/SingleInstance.h"
#include "platform/linux/SystemdNotify.h"
#include "platform/linux/UdevMonitor.h"
#endif

namespace orvex {

#ifdef _WIN32
using NativeHidApi = WinHidApi;
using NativeDeviceMonitor = WinDeviceMonitor;
using NativeBleStack = WinBleStack;
using NativeSession = WinSession;
#else
using NativeHidApi = HidrawApi;
using NativeDeviceMonitor = UdevMonitor;
using NativeBleStack = BluezStack;
using NativeSession = LogindSession;
#endif

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

}  // namespace orvex
