// A Clock that does not wait: it records every pause and runs a test's hook
// at each one, so pacing is checked exactly and a test can act "during" a
// pause (a device answering, a reader setting a flag).
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/Clock.h"

namespace orvex::test {

class RecordingClock final : public Clock {
public:
    using Hook = std::function<void(std::chrono::milliseconds duration, size_t index)>;

    void sleep_for(std::chrono::milliseconds duration) override {
        Hook hook;
        size_t index;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            index = m_sleeps.size();
            m_sleeps.push_back(duration);
            hook = m_hook;
        }
        // Outside the lock: the hook may look at Sleeps() itself.
        if (hook) hook(duration, index);
    }

    // The pauses so far, in milliseconds, in order.
    std::vector<long> Sleeps() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<long> ms;
        for (auto d : m_sleeps) ms.push_back(static_cast<long>(d.count()));
        return ms;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sleeps.clear();
    }
    // Runs at every pause with its duration and its index since the last Clear.
    void SetHook(Hook hook) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hook = std::move(hook);
    }

private:
    std::mutex m_mutex;
    std::vector<std::chrono::milliseconds> m_sleeps;
    Hook m_hook;
};

}  // namespace orvex::test
