// orvex-bridge.com, the console twin of the Windows bridge (a GUI program,
// so that nothing shows at log-on). A shell that is given "orvex-bridge"
// finds the .com before the .exe; the twin starts the .exe beside it with the
// same arguments and the shell's own input and output, waits for it and hands
// its exit status back. Ctrl+C and the console's end become a close request
// to the bridge's hidden main window, which runs its shutdown.
#include <windows.h>

#include <atomic>
#include <string>

#include "platform/windows/ProcessControl.h"

namespace {

std::atomic<DWORD> g_bridge{0};          // its process id
std::atomic<HANDLE> g_process{nullptr};  // its process

// What follows the program's name on the command line, as it was typed.
std::wstring Arguments(const wchar_t* line) {
    const wchar_t* p = line;
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    return p;
}

// The bridge's hidden main window: top-level, or message-only where the
// bridge could make no top-level one.
void AskTheBridgeToClose() {
    for (HWND parent : {HWND(nullptr), HWND_MESSAGE}) {
        HWND window = nullptr;
        while ((window = FindWindowExW(parent, window, orvex::kMainWindowClass, nullptr)) != nullptr) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == g_bridge.load()) PostMessageW(window, WM_CLOSE, 0, 0);
        }
    }
}

// The twin stays to hand on the status. Windows ends the twin a few seconds
// after closing the console, log-off or shutdown; the bridge gets that long.
BOOL WINAPI OnConsoleControl(DWORD event) {
    AskTheBridgeToClose();
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && g_process.load())
        WaitForSingleObject(g_process.load(), 4500);
    return TRUE;
}

void Inheritable(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle && handle != INVALID_HANDLE_VALUE)
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
}

}  // namespace

int main() {
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
        if (length == 0) return 1;
        if (length < self.size()) {
            self.resize(length);
            break;
        }
        self.resize(self.size() * 2);
    }
    const size_t dot = self.find_last_of(L'.');
    const size_t slash = self.find_last_of(L"\\/");
    const std::wstring bridge =
        (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash) ? self.substr(0, dot) : self) +
        L".exe";
    std::wstring command = L"\"" + bridge + L"\"" + Arguments(GetCommandLineW());

    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) Inheritable(which);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(bridge.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        const DWORD error = GetLastError();
        const std::string text =
            "orvex-bridge: cannot start orvex-bridge.exe beside this program (error " + std::to_string(error) + ")\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return 1;
    }
    g_bridge = process.dwProcessId;
    g_process = process.hProcess;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    CloseHandle(process.hThread);
    // As long as the bridge runs: the twin is the bridge to the shell.
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    g_process = nullptr;
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
