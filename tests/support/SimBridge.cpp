#include "support/SimBridge.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <future>
#include <stdexcept>

#include "support/Process.h"

namespace orvex::test {

namespace {

// Far beyond any step of the bridge; only a hung loop takes this long.
constexpr auto kLoopTimeout = std::chrono::seconds(120);

}  // namespace

SimBridge::SimBridge(const std::string& scenarioJson, Clock* clock, const Timings& timings, BleStack* ble)
    : m_clock(clock ? clock : &m_steady), m_work(boost::asio::make_work_guard(m_loop)) {
    std::string error;
    m_sim = sim::Simulator::LoadScenarioText(scenarioJson, &error);
    if (!m_sim) throw std::runtime_error("scenario: " + error);
    BridgeSettings settings;
    settings.server.address = "127.0.0.1";
    settings.server.port = 0;
    settings.origins = OriginPolicy::Any;
    settings.simulated = true;
    m_run = std::make_unique<BridgeRun>(
        m_loop, Backends{m_sim->hid(), &m_sim->monitor(), ble ? ble : &m_sim->ble(), *m_clock, timings}, settings);
    m_thread = std::thread([this] {
        // A handler that throws is a test failure, not the end of the process.
        while (true) {
            try {
                m_loop.run();
                return;
            } catch (const std::exception& e) {
                ADD_FAILURE() << "a handler on the bridge's loop threw: " << e.what();
            } catch (...) {
                ADD_FAILURE() << "a handler on the bridge's loop threw";
            }
        }
    });
    BridgeRun::Outcome outcome = BridgeRun::Outcome::ListenFailed;
    try {
        RunOnLoop([&] { outcome = m_run->Start(&error); });
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (outcome != BridgeRun::Outcome::Serving) {
        Shutdown();
        throw std::runtime_error("the bridge did not start: " + error);
    }
}

SimBridge::~SimBridge() {
    Shutdown();
}

void SimBridge::Shutdown() {
    if (m_thread.joinable()) {
        try {
            RunOnLoop([this] { m_run->Stop(); });
        } catch (const std::exception& e) {
            ADD_FAILURE() << "shutdown failed: " << e.what();
        }
        m_work.reset();
        m_loop.stop();
        m_thread.join();
    }
    // Its timers belong to the loop: gone before the loop is.
    m_run.reset();
    m_sim.reset();
}

uint16_t SimBridge::port() {
    return m_run->pages().port();
}

void SimBridge::RunOnLoop(std::function<void()> fn) {
    if (std::this_thread::get_id() == m_thread.get_id()) {
        fn();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    boost::asio::post(m_loop, [fn = std::move(fn), done] {
        try {
            fn();
            done->set_value();
        } catch (...) {
            done->set_exception(std::current_exception());
        }
    });
    if (future.wait_for(kLoopTimeout) != std::future_status::ready)
        throw std::runtime_error("the bridge's loop did not run the task within 120 s");
    future.get();
}

// ---------------------------------------------------------------------------

SimControlClient::~SimControlClient() {
    Close();
}

bool SimControlClient::Connect(const std::string& path, std::string* error) {
    Close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        if (error) *error = "path too long";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0 || connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        if (error) *error = std::strerror(errno);
        Close();
        return false;
    }
    return true;
}

bool SimControlClient::ConnectTcp(uint16_t port, std::string* error) {
    Close();
    m_fd = ConnectLoopback(port);
    if (m_fd < 0 && error) *error = std::strerror(errno);
    return m_fd >= 0;
}

void SimControlClient::Send(const std::string& text) {
    size_t sent = 0;
    while (m_fd >= 0 && sent < text.size()) {
        const ssize_t n = send(m_fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

std::string SimControlClient::ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_fd >= 0) {
        const size_t end = m_buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "";
        pollfd fd{m_fd, POLLIN, 0};
        const int ready = poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return "";
        char buffer[4096];
        const ssize_t n = read(m_fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "";
        m_buffer.append(buffer, static_cast<size_t>(n));
    }
    return "";
}

std::string SimControlClient::Exchange(const std::string& text, std::chrono::milliseconds timeout) {
    Send(text);
    return ReadLine(timeout);
}

bool SimControlClient::WaitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_fd >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd fd{m_fd, POLLIN, 0};
        const int ready = poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[4096];
        const ssize_t n = read(m_fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        m_buffer.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

void SimControlClient::ShutdownWrite() {
    if (m_fd >= 0) shutdown(m_fd, SHUT_WR);
}

void SimControlClient::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    m_buffer.clear();
}

std::unique_ptr<SimBridge> SimBridge::StartOrExplain(const std::string& scenarioJson, Clock* clock, std::string* whyNot,
                                                     const Timings& timings, BleStack* ble) {
    try {
        return std::make_unique<SimBridge>(scenarioJson, clock, timings, ble);
    } catch (const std::exception& e) {
        const std::string why = e.what();
        if (why.rfind("scenario:", 0) == 0) throw;
        if (whyNot) *whyNot = "the simulated bridge cannot listen on loopback here: " + why;
        return nullptr;
    }
}

}  // namespace orvex::test
