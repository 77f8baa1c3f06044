// One thread for the simulator's delayed work (acknowledgements that a device
// sends some time after the report that caused them).
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
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
    using Due = std::pair<std::chrono::steady_clock::time_point, uint64_t>;
    void Arm();
    void RunDue();

    boost::asio::io_context m_io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_work;
    boost::asio::steady_timer m_timer;
    // The timer's own queue does not keep the order of tasks due at one
    // time: this one does. Scheduler thread only.
    std::map<Due, std::function<void()>> m_tasks;
    uint64_t m_sequence = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

}  // namespace orvex::sim
