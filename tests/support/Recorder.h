// What a fake was told, from any thread, in order, with waits for it: the one
// store behind the log capture, the page fakes and the call logs.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace orvex::test {

template <typename T>
class Recorder {
public:
    void Add(T item) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.push_back(std::move(item));
        m_cv.notify_all();
    }
    std::vector<T> All() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.clear();
    }
    size_t Count(const T& item) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<size_t>(std::count(m_items.begin(), m_items.end(), item));
    }
    // Until done(items) holds; false after the time-out.
    template <typename Done>
    bool WaitFor(Done done, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return done(m_items); });
    }
    bool WaitForCount(size_t n, std::chrono::milliseconds timeout) {
        return WaitFor([n](const std::vector<T>& items) { return items.size() >= n; }, timeout);
    }
    bool WaitForItem(const T& item, std::chrono::milliseconds timeout) {
        return WaitFor([&](const std::vector<T>& i) { return std::find(i.begin(), i.end(), item) != i.end(); },
                       timeout);
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<T> m_items;
};

}  // namespace orvex::test
