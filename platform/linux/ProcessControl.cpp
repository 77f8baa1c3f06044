// The process-level services of platform/System.h on Linux.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <boost/asio/signal_set.hpp>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/Log.h"
#include "platform/System.h"
#include "platform/linux/PeerUid.h"
#include "platform/linux/ProcProbe.h"

namespace orvex {

void PrepareProcess() {
    std::signal(SIGPIPE, SIG_IGN);
}

struct StopRequests::State {
    explicit State(boost::asio::io_context& loop) : signals(loop, SIGINT, SIGTERM) {}
    boost::asio::signal_set signals;
};

StopRequests::StopRequests(boost::asio::io_context& loop) : m_state(std::make_shared<State>(loop)) {
    m_state->signals.async_wait([&loop](const boost::system::error_code& ec, int) {
        if (!ec) loop.stop();
    });
}

StopRequests::~StopRequests() {
    ShutdownDone();
}

void StopRequests::ShutdownDone() {}

PeerFilter NativePeerFilter() {
    return ForeignLoopbackPeer;
}

std::string DescribePortHolder(uint16_t port) {
    return DescribeHolder(FindPortHolder(port));
}

long CurrentUserId() {
    return static_cast<long>(getuid());
}

std::string SingleInstanceLockPath(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir = (runtime && *runtime) ? runtime : "/tmp";
    return dir + "/" + name + ".lock";
}

struct SingleInstanceLock::Held {
    explicit Held(int fd) : fd(fd) {}
    ~Held() { close(fd); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    const int fd;
};

SingleInstanceLock::SingleInstanceLock() = default;
SingleInstanceLock::~SingleInstanceLock() = default;

SingleInstanceLock::Result SingleInstanceLock::Acquire(const std::string& name, std::string* error) {
    m_path = SingleInstanceLockPath(name);
    const int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error) *error = "cannot open " + m_path + ": " + std::strerror(errno);
        return Result::Failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close(fd);
        if (err == EWOULDBLOCK) return Result::AlreadyRunning;
        if (error) *error = "cannot lock " + m_path + ": " + std::strerror(err);
        return Result::Failed;
    }
    m_held = std::make_unique<Held>(fd);
    return Result::Acquired;
}

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

void RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const std::string to = limit.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(limit.rlim_max);
    diag_verbose("open-file limit raised from " + std::to_string(before) + " to " + to);
}

}  // namespace orvex
