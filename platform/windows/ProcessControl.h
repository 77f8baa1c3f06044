// The process on Windows: the single-instance guard, the hidden main window's
// messages, and the no-ops that stand for the Linux service manager and
// descriptor limit.
#pragma once

#include <functional>
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
inline void NotifyServiceStatus(const std::string&) {}
inline void NotifyServiceStopping() {}
inline void RaiseOpenFileLimit() {}

// The class of the hidden main window; the uninstaller finds this user's
// bridge by it (packaging/windows/orvex-bridge.nsi).
constexpr wchar_t kMainWindowClass[] = L"OrvexBridgeMain";

// The hidden main window's session-change messages (WM_WTSSESSION_CHANGE),
// on the window's thread: the event (WTS_CONSOLE_CONNECT, ...) and the
// session it concerns. One listener at a time; an empty one stops. The
// window is StopRequests', registered for these messages when it is made.
using SessionMessage = std::function<void(unsigned event, unsigned long session)>;
void SetSessionListener(SessionMessage listener);
// The hidden main window while StopRequests lives (null without one), and
// whether it hears session changes.
void* HiddenMainWindow();
bool HiddenMainWindowHearsSessions();

}  // namespace orvex
