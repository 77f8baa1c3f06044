// Readiness and shutdown notices to the service manager that started the
// bridge (Type=notify units). Without NOTIFY_SOCKET they do nothing.
#pragma once

#include <string>

namespace orvex {

// "READY=1" with a status text for `systemctl status`.
void NotifyServiceReady(const std::string& status);
// "STATUS=" alone: what the bridge is doing while not ready (or no longer
// serving), for `systemctl status`.
void NotifyServiceStatus(const std::string& status);
// "STOPPING=1": shutdown has begun.
void NotifyServiceStopping();

}  // namespace orvex
