// A reader's wake-up: the stop request of one reader thread, in a form that a
// device read can wait on together with the device.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace orvex {

// What a device read waits on beside its device: an eventfd on Linux,
// readable while the wake is set; a manual-reset event's handle on Windows,
// signalled while it is set. The one type keeps ReaderWake's layout the same
// on both systems.
#ifdef _WIN32
using WakeWaitable = void*;
inline constexpr WakeWaitable kNoWakeWaitable = nullptr;
#else
using WakeWaitable = int;
inline constexpr WakeWaitable kNoWakeWaitable = -1;
#endif

// Set by whoever stops the reader, from any thread; cleared only while no
// reader uses it. A backend waits for it in one of two ways:
//  - on waitable(): poll(2) on Linux (the hidraw backend waits on its node and
//    this fd at once), WaitForMultipleObjects on Windows, beside an
//    overlapped read;
//  - a condition variable: while a Listener is attached, Set() notifies the
//    backend's condition variable under the backend's mutex, so a backend that
//    checks IsSet() under that mutex before waiting never misses it.
// The waitable is made on first use, so a process whose devices never wait on
// one (the simulator) holds none.
class ReaderWake {
public:
    ReaderWake() = default;
    ~ReaderWake();
    ReaderWake(const ReaderWake&) = delete;
    ReaderWake& operator=(const ReaderWake&) = delete;

    void Set();
    void Clear();
    bool IsSet() const { return m_set.load(); }

    // Blocks until the wake is set. For a reader with nothing left to read.
    void Wait();
    // Blocks until the wake is set or the time is up; true when set.
    bool WaitFor(std::chrono::milliseconds timeout);

    // kNoWakeWaitable when none can be had (the caller then waits in short
    // slices and looks at IsSet()).
    WakeWaitable waitable();

    // Attaches a backend's condition variable for the scope of one wait (one
    // reader per wake, so one at a time). Make it before locking mutex, and
    // let it go after unlocking: Set() locks the wake's own mutex and then
    // mutex.
    class Listener {
    public:
        Listener(ReaderWake& wake, std::mutex& mutex, std::condition_variable& cv);
        ~Listener();
        Listener(const Listener&) = delete;
        Listener& operator=(const Listener&) = delete;

    private:
        ReaderWake& m_wake;
        std::mutex& m_mutex;
        std::condition_variable& m_cv;
        friend class ReaderWake;
    };

private:
    std::atomic<bool> m_set{false};
    std::mutex m_mutex;  // guards m_waitable, m_listener and the own wait below
    std::condition_variable m_cv;
    WakeWaitable m_waitable = kNoWakeWaitable;
    Listener* m_listener = nullptr;
};

}  // namespace orvex
