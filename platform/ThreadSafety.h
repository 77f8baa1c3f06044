// Locks that clang's -Wthread-safety can follow: a field marked
// ORVEX_GUARDED_BY(m) is only touched with m held, and a function marked
// ORVEX_REQUIRES(m) is only called with it held, checked at compile time.
// Other compilers see plain mutexes.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define ORVEX_TSA(x) __attribute__((x))
#else
#define ORVEX_TSA(x)
#endif

#define ORVEX_CAPABILITY(x) ORVEX_TSA(capability(x))
#define ORVEX_SCOPED_CAPABILITY ORVEX_TSA(scoped_lockable)
#define ORVEX_GUARDED_BY(x) ORVEX_TSA(guarded_by(x))
#define ORVEX_PT_GUARDED_BY(x) ORVEX_TSA(pt_guarded_by(x))
#define ORVEX_REQUIRES(...) ORVEX_TSA(requires_capability(__VA_ARGS__))
#define ORVEX_REQUIRES_SHARED(...) ORVEX_TSA(requires_shared_capability(__VA_ARGS__))
#define ORVEX_ACQUIRE(...) ORVEX_TSA(acquire_capability(__VA_ARGS__))
#define ORVEX_ACQUIRE_SHARED(...) ORVEX_TSA(acquire_shared_capability(__VA_ARGS__))
#define ORVEX_RELEASE(...) ORVEX_TSA(release_capability(__VA_ARGS__))
#define ORVEX_RELEASE_SHARED(...) ORVEX_TSA(release_shared_capability(__VA_ARGS__))
#define ORVEX_RELEASE_GENERIC(...) ORVEX_TSA(release_generic_capability(__VA_ARGS__))
#define ORVEX_EXCLUDES(...) ORVEX_TSA(locks_excluded(__VA_ARGS__))

namespace orvex {

class ORVEX_CAPABILITY("mutex") Mutex {
public:
    void lock() ORVEX_ACQUIRE() { m_mutex.lock(); }
    void unlock() ORVEX_RELEASE() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

class ORVEX_CAPABILITY("mutex") SharedMutex {
public:
    void lock() ORVEX_ACQUIRE() { m_mutex.lock(); }
    void unlock() ORVEX_RELEASE() { m_mutex.unlock(); }
    void lock_shared() ORVEX_ACQUIRE_SHARED() { m_mutex.lock_shared(); }
    void unlock_shared() ORVEX_RELEASE_SHARED() { m_mutex.unlock_shared(); }

private:
    std::shared_mutex m_mutex;
};

// Holds the mutex for its scope. It can be let go and taken again, as
// std::condition_variable_any does while it waits:
//   MutexLock lock(m_mutex);
//   while (!ready) m_changed.wait(lock);   // m_changed: condition_variable_any
// (the predicate forms of wait hide the guarded reads from the analysis).
class ORVEX_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ORVEX_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~MutexLock() ORVEX_RELEASE() {
        if (m_held) m_mutex.unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void lock() ORVEX_ACQUIRE() {
        m_mutex.lock();
        m_held = true;
    }
    void unlock() ORVEX_RELEASE() {
        m_held = false;
        m_mutex.unlock();
    }

private:
    Mutex& m_mutex;
    bool m_held = true;
};

class ORVEX_SCOPED_CAPABILITY WriterLock {
public:
    explicit WriterLock(SharedMutex& mutex) ORVEX_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~WriterLock() ORVEX_RELEASE() { m_mutex.unlock(); }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

private:
    SharedMutex& m_mutex;
};

class ORVEX_SCOPED_CAPABILITY ReaderLock {
public:
    explicit ReaderLock(SharedMutex& mutex) ORVEX_ACQUIRE_SHARED(mutex) : m_mutex(mutex) { m_mutex.lock_shared(); }
    ~ReaderLock() ORVEX_RELEASE_GENERIC() { m_mutex.unlock_shared(); }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

private:
    SharedMutex& m_mutex;
};

}  // namespace orvex
