// One thread for the simulator's delayed work (acknowledgements that a device
// sends some time after the report that caused them).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace orvex::sim {

class Scheduler {
public:
    Scheduler();
    ~Scheduler();  // Stop()
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Runs task on the scheduler thread after delay; tasks due at the same
    // time run in the order they were scheduled. Ignored once stopped.
    void Schedule(std::chrono::milliseconds delay, std::function<void()> task);
    // Drops pending tasks, waits for a running one and joins. Idempotent.
    // Must not be called from a task.
    void Stop();

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::map<std::pair<std::chrono::steady_clock::time_point, uint64_t>, std::function<void()>> m_tasks;
    uint64_t m_sequence = 0;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace orvex::sim
