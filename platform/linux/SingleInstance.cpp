#include "platform/linux/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace orvex {

std::string SingleInstanceLockPath(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir = (runtime && *runtime) ? runtime : "/tmp";
    return dir + "/" + name + ".lock";
}

SingleInstanceLock::~SingleInstanceLock() {
    if (m_fd >= 0) close(m_fd);
}

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
    m_fd = fd;
    return Result::Acquired;
}

}  // namespace orvex
