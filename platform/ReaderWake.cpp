#include "platform/ReaderWake.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>

namespace orvex {

#ifdef _WIN32

ReaderWake::~ReaderWake() {
    if (m_event) CloseHandle(m_event);
}

void ReaderWake::Clear() {
    m_set.store(false);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_event) ResetEvent(m_event);
}

void* ReaderWake::event() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_event) {
        // Made signalled when a Set() came before the event existed.
        m_event = CreateEventW(nullptr, TRUE, m_set.load() ? TRUE : FALSE, nullptr);
    }
    return m_event;
}

#else

ReaderWake::~ReaderWake() {
    if (m_fd >= 0) ::close(m_fd);
}

void ReaderWake::Clear() {
    m_set.store(false);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0) {
        uint64_t count = 0;
        while (::read(m_fd, &count, sizeof count) < 0 && errno == EINTR) {
        }
    }
}

#endif

void ReaderWake::Set() {
    // The flag first: a listener that looks at it under its own mutex after
    // the notification below is certain to see it.
    m_set.store(true);
    std::lock_guard<std::mutex> lock(m_mutex);
#ifdef _WIN32
    if (m_event) SetEvent(m_event);
#else
    if (m_fd >= 0) {
        const uint64_t one = 1;
        // Only fails when the counter is full, and then it is readable anyway.
        while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
#endif
    if (m_listener) {
        { std::lock_guard<std::mutex> listenerLock(m_listener->m_mutex); }
        m_listener->m_cv.notify_all();
    }
    m_cv.notify_all();
}

void ReaderWake::Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_set.load(); });
}

bool ReaderWake::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [this] { return m_set.load(); });
}

#ifndef _WIN32
int ReaderWake::fd() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0) {
        // Tried again at every call: the descriptor table may have room later.
        m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        // A Set() before the fd existed left only the flag.
        if (m_fd >= 0 && m_set.load()) {
            const uint64_t one = 1;
            while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
            }
        }
    }
    return m_fd;
}
#endif

ReaderWake::Listener::Listener(ReaderWake& wake, std::mutex& mutex, std::condition_variable& cv)
    : m_wake(wake), m_mutex(mutex), m_cv(cv) {
    std::lock_guard<std::mutex> lock(m_wake.m_mutex);
    m_wake.m_listener = this;
}

ReaderWake::Listener::~Listener() {
    std::lock_guard<std::mutex> lock(m_wake.m_mutex);
    if (m_wake.m_listener == this) m_wake.m_listener = nullptr;
}

}  // namespace orvex
