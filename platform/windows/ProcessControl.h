// The process on Windows: the single-instance guard and the no-ops that stand
// for the Linux service manager and descriptor limit.
#pragma once

#include <boost/asio/io_context.hpp>
#include <string>

#include "platform/SessionWatch.h"

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
inline void NotifyServiceStatus(const std::string&) {}
inline void NotifyServiceStopping() {}
inline void RaiseOpenFileLimit() {}

// A bridge started at log-on runs in its user's desktop session and ends
// with it (StopRequests); another user's session on the same machine has
// its own bridge, which cannot take the port while this one serves. There
// is no switch between sessions to follow: always active.
class WinSession final : public SessionWatch {
public:
    bool Find(std::string* why) {
        *why = "Windows ends the bridge with its session";
        return false;
    }
    bool remote() const { return false; }
    void start(boost::asio::io_context&, Handler) override {}
    void stop() override {}
    bool active() const override { return true; }
    std::string id() const override { return ""; }
};

}  // namespace orvex
