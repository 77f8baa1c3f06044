// The user's trusted page origins: one file under $XDG_CONFIG_HOME (or
// ~/.config), one origin a line, "#" comments and blank lines ignored.
// Written whole to a temporary file and renamed over, so that a reader never
// sees half of it; watched with inotify, so that an edit needs no restart.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge/OriginTrust.h"

namespace orvex {

// $XDG_CONFIG_HOME/orvex-bridge/trusted-origins, else under $HOME/.config;
// "" when neither is set.
std::string TrustFilePath();

struct TrustFileContents {
    bool exists = false;
    std::string error;                                   // could not be read (not: missing)
    std::vector<std::string> origins;                    // in file order
    std::vector<std::pair<int, std::string>> malformed;  // line number, text
};
TrustFileContents ReadTrustFile(const std::string& path);

// Adds (trusted) or removes every line of origin, keeping the rest of the
// file as it was; creates the file and its directory when missing. False
// with the reason when it cannot be written.
bool EditTrustFile(const std::string& path, const std::string& origin, bool trusted, std::string* error);

class TrustFileStore final : public TrustStore {
public:
    explicit TrustFileStore(std::string path) : m_path(std::move(path)) {}
    std::vector<std::string> Load() override;
    bool Save(const std::string& origin, bool trusted, std::string* error) override;

private:
    const std::string m_path;
};

// Calls changed on its own thread after the file was written, replaced or
// removed. Watches the directory (made when missing), as a rename puts a new
// file in place of the one a watch on the file would follow.
class TrustFileWatcher {
public:
    TrustFileWatcher() = default;
    ~TrustFileWatcher();  // Stop()
    TrustFileWatcher(const TrustFileWatcher&) = delete;
    TrustFileWatcher& operator=(const TrustFileWatcher&) = delete;

    bool Start(const std::string& path, std::function<void()> changed, std::string* error);
    void Stop();

private:
    void Run();

    std::string m_name;
    std::function<void()> m_changed;
    int m_inotify = -1;
    int m_wake = -1;
    std::thread m_thread;
};

}  // namespace orvex
