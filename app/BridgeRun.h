// One running bridge, wired as the binary runs it: the main loop object, the
// WebSocket server, the origin trust, the console, the wait for a held port
// and the login session it follows. The binary and the tests' simulated
// bridge both build this, so that the tests run the wiring users run; what
// stays outside is the process's own (single instance, service manager,
// trust file, the loop's thread).
#pragma once

#include <boost/asio/io_context.hpp>
#include <functional>
#include <string>

#include "app/COrvexDlg.h"
#include "app/Console.h"
#include "app/PortWait.h"
#include "bridge/OriginTrust.h"
#include "bridge/PageServer.h"
#include "bridge/WebSocketServer.h"
#include "platform/SessionWatch.h"

namespace orvex {

struct BridgeSettings {
    ServerConfig server;  // its origin gate and HTTP handler are set by the run
    OriginPolicy origins = OriginPolicy::Ask;
    bool console = true;
    bool simulated = false;  // devices of --simulate
    // At start-up a held port is waited for instead of ending the bridge.
    bool waitForPort = false;
    SessionWatch* session = nullptr;  // null: always active
};

class BridgeRun {
public:
    // Every piece is built here, nothing started yet.
    BridgeRun(boost::asio::io_context& loop, const Backends& backends, BridgeSettings settings);
    ~BridgeRun() { Stop(); }
    BridgeRun(const BridgeRun&) = delete;
    BridgeRun& operator=(const BridgeRun&) = delete;

    // The service manager's side; each may stay empty. onReady: serving, or
    // idle on purpose; onStatus: a state worth showing while running.
    std::function<void(const std::string& line)> onReady;
    std::function<void(const std::string& line)> onStatus;
    // The bridge has to end with this exit status (0: the session ended, 1:
    // the port could not be had); the owner stops the loop.
    std::function<void(int status)> onEnd;

    enum class Outcome { Serving, Waiting, DevicesFailed, ListenFailed };
    // On the loop's thread: follows the session, and starts up now when it is
    // active. Failures are logged; *error says the last one.
    Outcome Start(std::string* error = nullptr);
    // On the loop's thread: stops following the session, the port wait and
    // every device and page. Safe to call twice.
    void Stop();

    COrvexDlg& dialog() { return m_dialog; }
    WebSocketServer& pages() { return m_pages; }
    OriginTrust& trust() { return m_trust; }
    Console& console() { return m_console; }

private:
    Outcome StartUp(bool atStart, std::string* error);
    void OnSessionChange(SessionWatch::Change change);
    void End(int status);

    boost::asio::io_context& m_loop;
    const BridgeSettings m_settings;
    const Timings m_timings;
    AlwaysActiveSession m_always;
    SessionWatch& m_session;
    WebSocketServer m_pages;
    OriginTrust m_trust;
    COrvexDlg m_dialog;
    Console m_console;
    ServerConfig m_server;  // as the server is started: with the gate and console
    PortWait m_listening;
    bool m_started = false;
    bool m_stopped = false;
};

}  // namespace orvex
