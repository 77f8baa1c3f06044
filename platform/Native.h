// The device backends of the system the bridge is built for, chosen at build
// time. The services every system implements alike are declared in
// platform/System.h and platform/SessionWatch.h.
#pragma once

#include "platform/SessionWatch.h"
#include "platform/System.h"

#ifdef _WIN32
#include "platform/windows/WinBleStack.h"
#include "platform/windows/WinDeviceMonitor.h"
#include "platform/windows/WinHidApi.h"
#else
#include "platform/linux/BluezStack.h"
#include "platform/linux/HidrawApi.h"
#include "platform/linux/UdevMonitor.h"
#endif

namespace orvex {

#ifdef _WIN32
using NativeHidApi = WinHidApi;
using NativeDeviceMonitor = WinDeviceMonitor;
using NativeBleStack = WinBleStack;
#else
using NativeHidApi = HidrawApi;
using NativeDeviceMonitor = UdevMonitor;
using NativeBleStack = BluezStack;
#endif

}  // namespace orvex
