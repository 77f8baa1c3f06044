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
    if (m_waitable) CloseHandle(m_waitable);
}

void ReaderWake::Clear() {
    m_set.store(false);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_waitable) ResetEvent(m_waitable);
}

WakeWaitable ReaderWake::waitable() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_waitable) {
        // Made signalled when a Set() came before the event existed.
        m_waitable = CreateEventW(nullptr, TRUE, m_set.load() ? TRUE : FALSE, nullptr);
    }
    return m_waitable;
}

#else

ReaderWake::~ReaderWake() {
    if (m_waitable >= 0) ::close(m_waitable);
}

void ReaderWake::Clear() {
    m_set.store(false);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_waitable >= 0) {
        uint64_t count = 0;
        while (::read(m_waitable, &count, sizeof count) < 0 && errno == EINTR) {
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
    if (m_waitable) SetEvent(m_waitable);
#else
    if (m_waitable >= 0) {
        const uint64_t one = 1;
        // Only fails when the counter is full, and then it is readable anyway.
        while (::write(m_waitable, &one, sizeof one) < 0 && errno == EINTR) {
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
WakeWaitable ReaderWake::waitable() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_waitable < 0) {
        // Tried again at every call: the descriptor table may have room later.
        m_waitable = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        // A Set() before the fd existed left only the flag.
        if (m_waitable >= 0 && m_set.load()) {
            const uint64_t one = 1;
            while (::write(m_waitable, &one, sizeof one) < 0 && errno == EINTR) {
            }
        }
    }
    return m_waitable;
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
