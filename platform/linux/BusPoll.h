// The poll(2) side of a thread that runs an sd-bus connection itself, and
// the tasks other threads hand it.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "platform/linux/DBus.h"

namespace orvex {

// Poll time-out in milliseconds for sd-bus's absolute CLOCK_MONOTONIC time
// in microseconds; UINT64_MAX (nothing pending) waits without end.
inline int BusPollTimeout(uint64_t deadlineUs) {
    if (deadlineUs == UINT64_MAX) return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    if (deadlineUs <= nowUs) return 0;
    return static_cast<int>(std::min<uint64_t>((deadlineUs - nowUs + 999) / 1000, INT_MAX));
}

// Makes the thread's wait below return; -1 does nothing.
inline void WakeBusThread(int wakeFd) {
    if (wakeFd < 0) return;
    const uint64_t one = 1;
    (void)!write(wakeFd, &one, sizeof one);
}

// Runs the tasks handed to the thread, in order; one that throws is reported
// and the others still run.
inline void RunBusTasks(const std::vector<std::function<void()>>& tasks, const char* what) {
    for (const auto& task : tasks) RunReportingFailure(what, task);
}

struct BusWait {
    int error = 0;        // poll failed with this errno: the thread cannot go on
    bool hangUp = false;  // the bus connection's descriptor closed or failed
};

// One wait of such a thread: until its wake descriptor (an eventfd, drained
// here) or the bus has something, or sd-bus's next time-out; idle, with
// nothing pending on the bus, without end. A null connection: the wake
// descriptor alone. Throws sdbus::Error when the connection cannot give what
// to wait for.
inline BusWait WaitForBusOrWake(dbus::Connection* connection, int wakeFd) {
    // The library's own event descriptor (where it has one) says that
    // messages wait in its queue although the bus has nothing to read.
    pollfd fds[3] = {{wakeFd, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
    int timeout = -1;
    if (connection) {
        const dbus::PollData data = dbus::GetPollData(*connection);
        fds[1] = {data.fd, data.events, 0};
        fds[2] = {data.eventFd, POLLIN, 0};
        timeout = BusPollTimeout(data.deadlineUs);
    }
    BusWait result;
    if (poll(fds, connection ? 3 : 1, timeout) < 0) {
        if (errno != EINTR) result.error = errno;
        return result;
    }
    if (fds[0].revents & POLLIN) {
        uint64_t count = 0;
        (void)!read(wakeFd, &count, sizeof count);
    }
    result.hangUp = connection && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL));
    return result;
}

}  // namespace orvex
