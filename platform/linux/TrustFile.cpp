#include "platform/TrustFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/Log.h"

namespace orvex {

namespace {

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Makes every missing directory of dir, the last one private to the user.
bool MakeDirectories(const std::string& dir, std::string* error) {
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot make " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
    if (!MakeDirectories(DirectoryOf(path), error)) return false;
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = fchmod(fd, 0600) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    const int saved = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temporary.c_str(), path.c_str()) == 0) return true;
    *error = "cannot write " + path + ": " + std::strerror(ok ? errno : saved);
    unlink(temporary.c_str());
    return false;
}

std::string TrustFilePath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    // Relative values are invalid and are ignored, as the basedir rules say.
    if (config && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') return "";
        base = std::string(home) + "/.config";
    }
    return base + "/orvex-bridge/trusted-origins";
}

struct TrustFileWatcher::Impl {
    ~Impl() {
        if (thread.joinable()) {
            const uint64_t one = 1;
            (void)!write(wake, &one, sizeof one);
            thread.join();
        }
        if (inotify >= 0) close(inotify);
        if (wake >= 0) close(wake);
    }
    void Run();

    std::string name;
    std::function<void()> changed;
    int inotify = -1;
    int wake = -1;
    std::thread thread;
};

TrustFileWatcher::TrustFileWatcher() = default;

TrustFileWatcher::~TrustFileWatcher() {
    Stop();
}

bool TrustFileWatcher::Start(const std::string& path, std::function<void()> changed, std::string* error) {
    Stop();
    const std::string dir = DirectoryOf(path);
    auto impl = std::make_unique<Impl>();
    impl->name = path.substr(path.rfind('/') + 1);
    impl->changed = std::move(changed);
    if (!MakeDirectories(dir, error)) return false;
    impl->inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    impl->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl->inotify < 0 || impl->wake < 0 ||
        inotify_add_watch(impl->inotify, dir.c_str(),
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE) < 0) {
        *error = "cannot watch " + dir + ": " + std::strerror(errno);
        return false;
    }
    Impl* running = impl.get();
    impl->thread = std::thread([running] { running->Run(); });
    m_impl = std::move(impl);
    return true;
}

void TrustFileWatcher::Stop() {
    m_impl.reset();
}

void TrustFileWatcher::Impl::Run() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{wake, POLLIN, 0}, {inotify, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            diag_error(std::string("trusted origins no longer followed: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents & POLLIN) return;
        bool ours = false;
        for (;;) {
            const ssize_t n = read(inotify, buffer, sizeof buffer);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                // IN_CREATE alone is the empty file before its first write.
                if (event->len > 0 && name == event->name && !(event->mask & IN_CREATE)) ours = true;
                if (event->mask & IN_Q_OVERFLOW) ours = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        if (!ours) continue;
        try {
            changed();
        } catch (const std::exception& e) {
            diag_error(std::string("trusted origins: ") + e.what());
        }
    }
}

}  // namespace orvex
