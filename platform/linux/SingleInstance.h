// The single-instance guard: an exclusive lock on a file named after the
// guard, held for the whole run.
#pragma once

#include <string>

namespace orvex {

class SingleInstanceLock {
public:
    SingleInstanceLock() = default;
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    enum class Result { Acquired, AlreadyRunning, Failed };
    // Lock file "<name>.lock" in $XDG_RUNTIME_DIR, else /tmp.
    Result Acquire(const std::string& name, std::string* error);
    std::string path() const { return m_path; }

private:
    int m_fd = -1;
    std::string m_path;
};

}  // namespace orvex
