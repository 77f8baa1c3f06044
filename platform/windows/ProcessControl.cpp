#include "platform/windows/ProcessControl.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <wtsapi32.h>

#include <cstdio>
#include <future>
#include <mutex>
#include <thread>

#include "platform/Log.h"
#include "platform/System.h"

namespace orvex {

std::string SingleInstanceLockPath(const std::string& name) {
    return name;
}

struct SingleInstanceLock::Held {
    explicit Held(HANDLE mutex) : mutex(mutex) {}
    ~Held() { CloseHandle(mutex); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    const HANDLE mutex;
};

SingleInstanceLock::SingleInstanceLock() = default;
SingleInstanceLock::~SingleInstanceLock() = default;

SingleInstanceLock::Result SingleInstanceLock::Acquire(const std::string& name, std::string* error) {
    m_path = SingleInstanceLockPath(name);
    const std::wstring wide(name.begin(), name.end());
    HANDLE mutex = CreateMutexW(nullptr, FALSE, wide.c_str());
    const DWORD created = GetLastError();
    if (mutex == nullptr) {
        // Another user's bridge holds the name with a mutex we may not open.
        if (created == ERROR_ACCESS_DENIED) return Result::AlreadyRunning;
        *error = "cannot create the mutex " + name + " (error " + std::to_string(created) + ")";
        return Result::Failed;
    }
    if (created == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return Result::AlreadyRunning;
    }
    m_held = std::make_unique<Held>(mutex);
    return Result::Acquired;
}

// No service manager to tell; nothing to raise (handles have no such limit).
void NotifyServiceReady(const std::string&) {}
void NotifyServiceStatus(const std::string&) {}
void NotifyServiceStopping() {}
void RaiseOpenFileLimit() {}

namespace {

// Whether a standard handle leads somewhere without a console: a pipe or a
// file that the starting program gave.
bool LeadsToPipeOrFile(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    const DWORD type = GetFileType(handle);
    return type == FILE_TYPE_PIPE || type == FILE_TYPE_DISK;
}

// The bridge is a GUI program, so that nothing shows at log-on; started from
// a console it has none of its own. Output that would be lost goes to the
// console of the program that started it, if that has one: --help,
// --version, --check and errors then appear there. (The shell does not wait
// for a GUI program; the console twin orvex-bridge.com does, and hands on
// its exit status.)
void UseTheParentsConsole() {
    const bool out = LeadsToPipeOrFile(STD_OUTPUT_HANDLE), err = LeadsToPipeOrFile(STD_ERROR_HANDLE);
    if ((out && err) || GetConsoleWindow() != nullptr) return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    if (!out) std::freopen("CONOUT$", "w", stdout);
    if (!err) std::freopen("CONOUT$", "w", stderr);
}

}  // namespace

void PrepareProcess() {
    UseTheParentsConsole();
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

// One set of handlers per process: the console's handler and the session's
// end arrive on threads of the system and reach the loop through here.
struct StopRequests::State {
    boost::asio::io_context* loop = nullptr;
    std::mutex mutex;
    HANDLE done = nullptr;  // manual-reset, set by ShutdownDone
    HWND window = nullptr;
    bool hearsSessions = false;
    SessionMessage sessionListener;  // under g_stateMutex
    std::thread windowThread;
    ~State() {
        if (done) CloseHandle(done);
    }
};

namespace {

// Windows gives a console-close or end-of-session handler about 5 s (20 s
// at shutdown) before it ends the process anyway.
constexpr DWORD kShutdownGraceMs = 4500;

std::mutex g_stateMutex;
std::shared_ptr<StopRequests::State> g_state;

// Stops the loop; for the events after which Windows ends the process, waits
// until the shutdown steps have run.
void RequestStop(bool waitForShutdown) {
    std::shared_ptr<StopRequests::State> state;
    {
        // Under the lock: once StopRequests is gone, its loop may be too.
        std::lock_guard<std::mutex> lock(g_stateMutex);
        state = g_state;
        if (!state) return;
        state->loop->stop();
    }
    if (waitForShutdown) WaitForSingleObject(state->done, kShutdownGraceMs);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            RequestStop(false);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            RequestStop(true);
            return TRUE;
        default:
            return FALSE;
    }
}

// Ends the window's thread.
constexpr UINT kEndWindow = WM_APP + 1;

void DeliverSessionMessage(WPARAM event, LPARAM session) {
    SessionMessage listener;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        if (g_state) listener = g_state->sessionListener;
    }
    if (listener) listener(static_cast<unsigned>(event), static_cast<unsigned long>(session));
}

// The hidden main window: a top-level window, never shown. A process that
// has a window gets log-off and shutdown as window messages, not through the
// console handler, and only top-level windows receive them. A close request
// to it (the uninstaller, taskkill without /F) ends the bridge like Ctrl+C.
// Session changes arrive here too.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            if (wParam) RequestStop(true);
            return 0;
        case WM_CLOSE:
            RequestStop(false);
            return 0;
        case WM_WTSSESSION_CHANGE:
            DeliverSessionMessage(wParam, lParam);
            return 0;
        case kEndWindow:
            WTSUnRegisterSessionNotification(window);
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

StopRequests::StopRequests(boost::asio::io_context& loop) : m_state(std::make_shared<State>()) {
    m_state->loop = &loop;
    m_state->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        g_state = m_state;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    struct Made {
        HWND window;
        bool hearsSessions;
    };
    std::promise<Made> made;
    auto result = made.get_future();
    m_state->windowThread = std::thread([&made] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = MainWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kMainWindowClass;
        RegisterClassW(&windowClass);
        HWND hwnd = CreateWindowExW(0, windowClass.lpszClassName, L"orvex-bridge", WS_POPUP, 0, 0, 0, 0, nullptr,
                                    nullptr, windowClass.hInstance, nullptr);
        // Where no top-level window can be made (Wine without a display): a
        // message-only one still takes close requests and session changes.
        if (!hwnd)
            hwnd = CreateWindowExW(0, windowClass.lpszClassName, L"orvex-bridge", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   windowClass.hInstance, nullptr);
        const bool sessions = hwnd && WTSRegisterSessionNotification(hwnd, NOTIFY_FOR_THIS_SESSION);
        made.set_value({hwnd, sessions});
        if (!hwnd) return;
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    });
    const Made window = result.get();
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        m_state->window = window.window;
        m_state->hearsSessions = window.hearsSessions;
    }
    if (!window.window) diag_warning("no hidden window: log-off and shutdown end the bridge without its shutdown");
}

StopRequests::~StopRequests() {
    ShutdownDone();
    if (m_state->window) PostMessageW(m_state->window, kEndWindow, 0, 0);
    if (m_state->windowThread.joinable()) m_state->windowThread.join();
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        if (g_state == m_state) g_state.reset();
    }
    // A handler may still hold the state (and its event) for a moment.
}

void StopRequests::ShutdownDone() {
    if (m_state->done) SetEvent(m_state->done);
}

void SetSessionListener(SessionMessage listener) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    if (g_state) g_state->sessionListener = std::move(listener);
}

void* HiddenMainWindow() {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_state ? g_state->window : nullptr;
}

bool HiddenMainWindowHearsSessions() {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_state && g_state->hearsSessions;
}

long CurrentUserId() {
    return -1;
}

}  // namespace orvex
