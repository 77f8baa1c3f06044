// The app's side of page trust: the command-line edits of the trust file, and
// the pieces a running bridge puts around its OriginTrust (the file, its
// watch, the desktop question).
#pragma once

#include <memory>
#include <string>

#include "app/Options.h"
#include "bridge/OriginTrust.h"
#include "platform/TrustFile.h"

namespace orvex {

class NotificationAsker;

// --trust, --untrust and --list-trusted: 0, 1 when the file cannot be
// written, 2 for a malformed origin.
int RunTrustCommand(const Options& options);
bool IsTrustCommand(const Options& options);
// Where the user answers: the console on a loopback address the browser reaches.
std::string ConsoleUrl(const std::string& listenAddress, uint16_t port);

class AppTrust {
public:
    // Reads the trust file, follows it, and asks on the desktop under ask.
    // Stop() before trust goes.
    AppTrust(const Options& options, OriginTrust& trust);
    ~AppTrust() { Stop(); }
    void Stop();

private:
    OriginTrust& m_trust;
    std::unique_ptr<TrustFileStore> m_store;
    TrustFileWatcher m_watcher;
    std::shared_ptr<NotificationAsker> m_asker;  // the desktop question; none on Windows, which has the console only
};

}  // namespace orvex
