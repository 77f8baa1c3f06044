#include "platform/windows/ProcessControl.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

// After windows.h, which they need.
#include <iphlpapi.h>
#include <tcpmib.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "platform/Native.h"
#include "platform/windows/InterfacePath.h"

namespace orvex {

SingleInstanceLock::~SingleInstanceLock() {
    if (m_mutex) CloseHandle(m_mutex);
}

SingleInstanceLock::Result SingleInstanceLock::Acquire(const std::string& name, std::string* error) {
    m_name = name;
    const std::wstring wide(name.begin(), name.end());
    m_mutex = CreateMutexW(nullptr, FALSE, wide.c_str());
    const DWORD created = GetLastError();
    if (m_mutex == nullptr) {
        // Another user's bridge holds the name with a mutex we may not open.
        if (created == ERROR_ACCESS_DENIED) return Result::AlreadyRunning;
        *error = "cannot create the mutex " + name + " (error " + std::to_string(created) + ")";
        return Result::Failed;
    }
    if (created == ERROR_ALREADY_EXISTS) {
        CloseHandle(m_mutex);
        m_mutex = nullptr;
        return Result::AlreadyRunning;
    }
    return Result::Acquired;
}

void PrepareProcess() {
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

// Ends the session window's thread.
constexpr UINT kEndWindow = WM_APP + 1;

// A process that has a window gets log-off and shutdown as window messages,
// not through the console handler, and only top-level windows receive them:
// a hidden one, never shown. A close request to it (taskkill without /F, the
// uninstaller) ends the bridge like Ctrl+C.
LRESULT CALLBACK SessionWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            if (wParam) RequestStop(true);
            return 0;
        case WM_CLOSE:
            RequestStop(false);
            return 0;
        case kEndWindow:
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

    std::promise<HWND> made;
    auto window = made.get_future();
    m_state->windowThread = std::thread([&made] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = SessionWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"OrvexBridgeSession";
        RegisterClassW(&windowClass);
        HWND hwnd = CreateWindowExW(0, windowClass.lpszClassName, L"orvex-bridge", WS_POPUP, 0, 0, 0, 0, nullptr,
                                    nullptr, windowClass.hInstance, nullptr);
        made.set_value(hwnd);
        if (!hwnd) return;
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    });
    m_state->window = window.get();
    // Headless Wine has no top-level windows.
    if (!m_state->window) diag_verbose("no session window: log-off and shutdown end the bridge without its shutdown");
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

PeerFilter NativePeerFilter() {
    // A loopback peer's owner would take the owning process of the peer's
    // socket and that process's token; every user's programs may reach the
    // port, as they may on a Linux machine without a socket table to read.
    return nullptr;
}

std::string DescribePortHolder(uint16_t port) {
    // The table of listening IPv4 sockets with their processes.
    std::vector<char> buffer(16 * 1024);
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD result = GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
        if (result == ERROR_INSUFFICIENT_BUFFER) {
            buffer.resize(size);
            continue;
        }
        if (result != NO_ERROR) break;
        const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = table->table[i];
            if (ntohs(static_cast<u_short>(row.dwLocalPort)) != port) continue;
            std::string text = "pid " + std::to_string(row.dwOwningPid);
            HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, row.dwOwningPid);
            if (process) {
                wchar_t name[MAX_PATH];
                DWORD length = MAX_PATH;
                if (QueryFullProcessImageNameW(process, 0, name, &length)) {
                    const std::string path = Narrow(std::wstring(name, length));
                    text += " (" + path.substr(path.find_last_of("\\/") + 1) + ")";
                }
                CloseHandle(process);
            }
            return text;
        }
        break;
    }
    return "another program";
}

long CurrentUserId() {
    return -1;
}

}  // namespace orvex
