// The user's trusted page origins: one file, one origin a line, "#" comments
// and blank lines ignored. Written whole to a temporary file and renamed
// over, so that a reader never sees half of it; followed while the bridge
// runs, so that an edit needs no restart. Where the file lives, how it is
// written and how it is followed differ between systems (platform/linux/,
// platform/windows/); what it holds does not.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/TrustSeams.h"

namespace orvex {

// Linux: $XDG_CONFIG_HOME/orvex-bridge/trusted-origins, else under
// $HOME/.config. Windows: %APPDATA%\orvex-bridge\trusted-origins. "" when
// there is no such place.
std::string TrustFilePath();

// Replaces the file with text in one step, making its directory (private to
// the user) when missing. False with the reason.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error);

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
// removed. Linux watches the directory (made when missing) with inotify, as a
// rename puts a new file in place of the one a watch on the file would
// follow; Windows looks at the file's time and size every second.
class TrustFileWatcher {
public:
    TrustFileWatcher();
    ~TrustFileWatcher();  // Stop()
    TrustFileWatcher(const TrustFileWatcher&) = delete;
    TrustFileWatcher& operator=(const TrustFileWatcher&) = delete;

    bool Start(const std::string& path, std::function<void()> changed, std::string* error);
    void Stop();

    struct Impl;  // the system's way of following the file, and its thread

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace orvex
