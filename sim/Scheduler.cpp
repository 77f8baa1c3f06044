#include "sim/Scheduler.h"

#include <boost/asio/post.hpp>

#include "platform/Log.h"

namespace orvex::sim {

Scheduler::Scheduler()
    : m_work(boost::asio::make_work_guard(m_io)),
      m_timer(m_io),
      m_thread([this] { RunReportingFailure("simulator: scheduler stopped", [this] { m_io.run(); }); }) {}

Scheduler::~Scheduler() {
    Stop();
}

void Scheduler::Schedule(std::chrono::milliseconds delay, std::function<void()> task) {
    if (m_stopping) return;
    const auto due = std::chrono::steady_clock::now() + delay;
    // Posted in the order of the calls, so the sequence numbers keep it.
    boost::asio::post(m_io, [this, due, task = std::move(task)]() mutable {
        if (m_stopping) return;
        m_tasks.emplace(Due{due, m_sequence++}, std::move(task));
        Arm();
    });
}

void Scheduler::Stop() {
    m_stopping = true;
    if (!m_thread.joinable()) return;
    boost::asio::post(m_io, [this] {
        m_tasks.clear();
        m_timer.cancel();
        m_work.reset();
    });
    m_thread.join();
}

void Scheduler::Arm() {
    if (m_tasks.empty()) return;
    m_timer.expires_at(m_tasks.begin()->first.first);
    m_timer.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) RunDue();
    });
}

void Scheduler::RunDue() {
    while (!m_stopping && !m_tasks.empty() && m_tasks.begin()->first.first <= std::chrono::steady_clock::now()) {
        auto task = std::move(m_tasks.begin()->second);
        m_tasks.erase(m_tasks.begin());
        RunReportingFailure("simulator: delayed task failed", task);
    }
    if (!m_stopping) Arm();
}

}  // namespace orvex::sim
