// The process on Windows: the single-instance guard and the no-ops that stand
// for the Linux service manager and descriptor limit.
#pragma once

#include <string>

namespace orvex {

// The named mutex of the guard, created at start-up and held until the
// process ends. A second bridge finds it already existing.
class SingleInstanceLock {
public:
    SingleInstanceLock() = default;
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    enum class Result { Acquired, AlreadyRunning, Failed };
    Result Acquire(const std::string& name, std::string* error);
    // The mutex's name, for messages.
    std::string path() const { return m_name; }

private:
    void* m_mutex = nullptr;
    std::string m_name;
};

// No service manager to tell; nothing to raise (handles have no such limit).
inline void NotifyServiceReady(const std::string&) {}
inline void NotifyServiceStopping() {}
inline void RaiseOpenFileLimit() {}

}  // namespace orvex
