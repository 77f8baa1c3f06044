// The hidden main window of the bridge on Windows, which StopRequests
// (platform/System.h) makes: what else hears its messages.
#pragma once

#include <functional>

namespace orvex {

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
