#include "platform/TrustFile.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/Log.h"
#include "platform/windows/InterfacePath.h"

namespace orvex {

namespace {

std::string ErrorText(DWORD error) {
    return "error " + std::to_string(error);
}

// The file's time and size, or none when it is missing: enough to see a
// replacement, an edit or a removal between two looks.
struct FileStamp {
    bool exists = false;
    FILETIME written{};
    ULONGLONG size = 0;
    bool operator==(const FileStamp& other) const {
        return exists == other.exists && CompareFileTime(&written, &other.written) == 0 && size == other.size;
    }
};

FileStamp StampOf(const std::string& path) {
    FileStamp stamp;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data)) {
        stamp.exists = true;
        stamp.written = data.ftLastWriteTime;
        stamp.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return stamp;
}

}  // namespace

std::string TrustFilePath() {
    // The roaming profile's application data: the user's own, closed to other
    // users by the profile's permissions.
    const wchar_t* appData = _wgetenv(L"APPDATA");
    if (!appData || !appData[0]) return "";
    return Narrow(appData) + "\\orvex-bridge\\trusted-origins";
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
    const std::string dir = path.substr(0, path.rfind('\\'));
    if (!CreateDirectoryW(Widen(dir).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        *error = "cannot make " + dir + ": " + ErrorText(GetLastError());
        return false;
    }
    const std::wstring temporary = Widen(path + ".new");
    HANDLE file =
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot write " + path + ": " + ErrorText(GetLastError());
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size() && FlushFileBuffers(file);
    DWORD failure = ok ? 0 : GetLastError();
    CloseHandle(file);
    if (ok && MoveFileExW(temporary.c_str(), Widen(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (ok) failure = GetLastError();
    *error = "cannot write " + path + ": " + ErrorText(failure);
    DeleteFileW(temporary.c_str());
    return false;
}

struct TrustFileWatcher::Impl {
    ~Impl() {
        if (!thread.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        wake.notify_all();
        thread.join();
    }
    void Changed();

    std::string path;
    std::function<void()> changed;
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
};

TrustFileWatcher::TrustFileWatcher() = default;

TrustFileWatcher::~TrustFileWatcher() {
    Stop();
}

// A directory change notification would do without the looks, but a look a
// second costs nothing that matters and is the same on every file system
// Windows and Wine give a profile.
bool TrustFileWatcher::Start(const std::string& path, std::function<void()> changed, std::string*) {
    Stop();
    m_impl = std::make_unique<Impl>();
    Impl* impl = m_impl.get();
    impl->path = path;
    impl->changed = std::move(changed);
    // Looked at here, so that a write after Start returns is a change.
    impl->thread = std::thread([impl, seen = StampOf(path)]() mutable {
        std::unique_lock<std::mutex> lock(impl->mutex);
        while (!impl->wake.wait_for(lock, std::chrono::seconds(1), [impl] { return impl->stop; })) {
            lock.unlock();
            const FileStamp now = StampOf(impl->path);
            if (!(now == seen)) {
                seen = now;
                impl->Changed();
            }
            lock.lock();
        }
    });
    return true;
}

void TrustFileWatcher::Stop() {
    m_impl.reset();
}

// One change seen: tell the bridge.
void TrustFileWatcher::Impl::Changed() {
    try {
        changed();
    } catch (const std::exception& e) {
        diag_error(std::string("trusted origins: ") + e.what());
    }
}

}  // namespace orvex
