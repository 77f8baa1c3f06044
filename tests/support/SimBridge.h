// The whole bridge against the simulator, in this process: the scenario's
// devices behind the seams, the binary's BridgeRun started on its own loop
// thread, every origin served and the WebSocket server on 127.0.0.1 with a
// free port.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/BridgeRun.h"
#include "platform/Clock.h"
#include "sim/Simulator.h"

namespace orvex::test {

class SimBridge {
public:
    // Throws std::runtime_error when the scenario is bad or the bridge does
    // not start. clock: the pacing clock for the bridge (null: a SteadyClock).
    // ble: the BLE stack instead of the simulator's (null: the simulator's).
    explicit SimBridge(const std::string& scenarioJson, Clock* clock = nullptr, const Timings& timings = Timings(),
                       BleStack* ble = nullptr);
    // As the constructor, but a bridge that cannot listen on loopback gives
    // null and the reason, for the test to skip; a bad scenario still throws.
    static std::unique_ptr<SimBridge> StartOrExplain(const std::string& scenarioJson, Clock* clock, std::string* whyNot,
                                                     const Timings& timings = Timings(), BleStack* ble = nullptr);
    ~SimBridge();
    SimBridge(const SimBridge&) = delete;
    SimBridge& operator=(const SimBridge&) = delete;

    uint16_t port();
    sim::Simulator& sim() { return *m_sim; }
    COrvexDlg& dialog() { return m_run->dialog(); }
    WebSocketServer& pages() { return m_run->pages(); }
    boost::asio::io_context& loop() { return m_loop; }
    // Runs fn on the loop thread and waits for it; rethrows what it throws.
    void RunOnLoop(std::function<void()> fn);

private:
    void Shutdown();

    std::unique_ptr<sim::Simulator> m_sim;
    SteadyClock m_steady;
    Clock* m_clock;
    boost::asio::io_context m_loop;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_work;
    std::unique_ptr<BridgeRun> m_run;
    std::thread m_thread;
};

// A client of the simulator's control socket: one request line, one reply line.
class SimControlClient {
public:
    SimControlClient() = default;
    ~SimControlClient();
    SimControlClient(const SimControlClient&) = delete;
    SimControlClient& operator=(const SimControlClient&) = delete;

    bool Connect(const std::string& path, std::string* error = nullptr);
    // The same line exchange over TCP to 127.0.0.1:port (a forwarded agent).
    bool ConnectTcp(uint16_t port, std::string* error = nullptr);
    // Sends text as is (add the line end yourself) and waits for one reply
    // line; empty on time-out or a closed socket.
    std::string Exchange(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void Send(const std::string& text);
    // Ends the sending side; replies can still be read.
    void ShutdownWrite();
    std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True once the server has closed the connection (reads end of file).
    bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void Close();

private:
    int m_fd = -1;
    std::string m_buffer;
};

}  // namespace orvex::test
