#include "sim/Scheduler.h"

#include "platform/Log.h"

namespace orvex::sim {

Scheduler::Scheduler() : m_thread([this] { Run(); }) {}

Scheduler::~Scheduler() {
    Stop();
}

void Scheduler::Schedule(std::chrono::milliseconds delay, std::function<void()> task) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping) return;
    m_tasks.emplace(std::make_pair(std::chrono::steady_clock::now() + delay, m_sequence++), std::move(task));
    m_cv.notify_one();
}

void Scheduler::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_tasks.clear();
        m_cv.notify_one();
    }
    if (m_thread.joinable()) m_thread.join();
}

void Scheduler::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        if (m_tasks.empty()) {
            m_cv.wait(lock);
            continue;
        }
        const auto due = m_tasks.begin()->first.first;
        if (std::chrono::steady_clock::now() < due) {
            m_cv.wait_until(lock, due);
            continue;
        }
        auto task = std::move(m_tasks.begin()->second);
        m_tasks.erase(m_tasks.begin());
        // Tasks take the simulator's lock; running them under ours would
        // order the two locks against Schedule callers that hold it.
        lock.unlock();
        RunReportingFailure("simulator: delayed task failed", task);
        task = nullptr;
        lock.lock();
    }
}

}  // namespace orvex::sim
