// The single-instance guard: an exclusive lock on a file named after the
// guard, held for the whole run.
#pragma once

#include <string>

namespace orvex {

// "<name>.lock" in $XDG_RUNTIME_DIR, else /tmp.
std::string SingleInstanceLockPath(const std::string& name);

class SingleInstanceLock {
public:
    SingleInstanceLock() = default;
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    enum class Result { Acquired, AlreadyRunning, Failed };
    // Locks SingleInstanceLockPath(name).
    Result Acquire(const std::string& name, std::string* error);
    std::string path() const { return m_path; }

private:
    int m_fd = -1;
    std::string m_path;
};

}  // namespace orvex
