// Whether the tests run under Wine, whose devices are known (two virtual HID
// devices, no Bluetooth), rather than on a Windows machine with its own.
#pragma once

#include <windows.h>

namespace orvex::test {

inline bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace orvex::test
