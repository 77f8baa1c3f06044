#include "app/BridgeRun.h"

#include <utility>
#include <vector>

#include "app/Trust.h"
#include "platform/Log.h"

namespace orvex {

namespace {

// The server as the run starts it: the trust at every handshake, the console
// for plain HTTP.
ServerConfig WiredServer(ServerConfig server, OriginTrust& trust, Console& console) {
    console.SetTrust(&trust);
    server.origin_gate = &trust;
    console.Attach(server);
    return server;
}

}  // namespace

BridgeRun::BridgeRun(boost::asio::io_context& loop, const Backends& backends, BridgeSettings settings)
    : m_loop(loop),
      m_settings(std::move(settings)),
      m_timings(backends.timings),
      m_session(m_settings.session ? *m_settings.session : m_always),
      m_trust(m_settings.origins, m_settings.server.allowed_origins, m_timings.originAnswerTimeout),
      m_dialog(loop, backends, m_pages),
      m_console(m_dialog, m_pages, ConsoleSettings{m_settings.console, m_settings.simulated, &m_session}),
      m_server(WiredServer(m_settings.server, m_trust, m_console)),
      m_listening(loop, m_dialog, m_pages, m_server) {
    m_trust.SetPages(&m_pages);
    m_listening.onListening = [this] {
        const std::string port = std::to_string(m_pages.port());
        const std::vector<std::string> addresses = m_pages.listening_addresses();
        const std::string line = "listening on " + addresses.front() + " port " + port;
        diag_verbose(line);
        for (size_t i = 1; i < addresses.size(); ++i)
            diag_verbose("also listening on " + addresses[i] + " port " + port);
        if (m_settings.console)
            diag_verbose("console on http://" + m_settings.server.address + ":" + std::to_string(m_pages.port()) + "/");
        if (m_settings.console) m_trust.SetConsoleUrl(ConsoleUrl(m_settings.server.address, m_pages.port()));
        if (onReady) onReady(line);
    };
    m_listening.onWaiting = [this](const std::string& line) {
        if (onStatus) onStatus(line);
    };
}

BridgeRun::Outcome BridgeRun::Start(std::string* error) {
    m_started = true;
    m_session.start(m_loop, [this](SessionWatch::Change change) { OnSessionChange(change); });
    if (m_session.active()) return StartUp(true, error);
    const std::string named = "session " + m_session.id();
    diag_info(named + " is inactive: waiting for it to become active before serving");
    // Nothing to wait for: the bridge is up, and idle on purpose.
    if (onReady) onReady(named + " is inactive: not serving");
    return Outcome::Waiting;
}

// The start-up steps; at start-up a held port ends the bridge unless it may
// wait, after a session switch it is always waited for.
BridgeRun::Outcome BridgeRun::StartUp(bool atStart, std::string* error) {
    std::string reason;
    switch (m_dialog.StartDevices(&reason)) {
        case COrvexDlg::InitResult::HidInitFailed:
            // No devices and no server, but the process stays until asked to end.
            diag_error(reason);
            if (error) *error = reason;
            return Outcome::DevicesFailed;
        case COrvexDlg::InitResult::Running:
        case COrvexDlg::InitResult::ListenFailed:
            break;
    }
    const bool wait = !atStart || m_settings.waitForPort;
    const Milliseconds first = atStart ? m_timings.portRetryFirst : m_timings.portRetryAfterSwitch;
    switch (m_listening.Start(wait, first, m_timings.portRetryLast, &reason)) {
        case PortWait::Outcome::Failed:
            diag_error(reason);
            if (error) *error = reason;
            End(1);
            return Outcome::ListenFailed;
        case PortWait::Outcome::Waiting:
            return Outcome::Waiting;
        case PortWait::Outcome::Listening:
            break;
    }
    return Outcome::Serving;
}

void BridgeRun::OnSessionChange(SessionWatch::Change change) {
    const std::string named = "session " + m_session.id();
    switch (change) {
        case SessionWatch::Change::Inactive:
            m_listening.Cancel();
            m_dialog.Suspend();
            diag_info(named + " is inactive: pages closed, devices released, not listening");
            if (onStatus) onStatus(named + " is inactive: not serving");
            break;
        case SessionWatch::Change::Active:
            diag_info(named + " is active again: opening the devices and listening");
            StartUp(false, nullptr);
            break;
        case SessionWatch::Change::Ended:
            diag_info(named + " ended; exiting");
            End(0);
            break;
    }
}

void BridgeRun::End(int status) {
    if (onEnd) onEnd(status);
}

void BridgeRun::Stop() {
    if (m_stopped) return;
    m_stopped = true;
    if (m_started) m_session.stop();
    m_listening.Cancel();
    m_dialog.OnDestroy();
}

}  // namespace orvex
