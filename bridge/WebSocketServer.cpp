#include <stdexcept>

#include "bridge/ServerImpl.h"
#include "platform/Log.h"

namespace orvex {

void WebSocketServer::Impl::configure_logs() {
    m_server.clear_access_channels(websocketpp::log::alevel::all);
    m_server.clear_error_channels(websocketpp::log::elevel::all);
    if (m_config.quiet) {
        m_server.set_error_channels(websocketpp::log::elevel::fatal);
        return;
    }
    // The library default dumps every frame to stdout; keep connection events.
    m_server.set_access_channels(websocketpp::log::alevel::connect | websocketpp::log::alevel::disconnect |
                                 websocketpp::log::alevel::fail);
    if (m_config.raw_frames)
        m_server.set_access_channels(websocketpp::log::alevel::frame_header | websocketpp::log::alevel::frame_payload);
    // Info lines include one per failed accept; ours are throttled.
    m_server.set_error_channels(websocketpp::log::elevel::all ^ websocketpp::log::elevel::devel ^
                                websocketpp::log::elevel::info);
}

// Configures the endpoint, listens, accepts and runs the loop until Stop.
// Returns 1 when the loop ended normally, 0 when listening failed.
int WebSocketServer::Impl::server_thread() {
    std::promise<std::string>* result = m_listenResult;
    auto report = [&](const std::string& error) {
        if (result) result->set_value(error);
        result = nullptr;
    };
    try {
        m_server.set_message_handler(
            [this](connection_hdl h, message_ptr m) { on_message(std::move(h), std::move(m)); });
        m_server.set_open_handler([this](connection_hdl h) { on_open(std::move(h)); });
        m_server.set_close_handler([this](connection_hdl h) { on_close(std::move(h)); });
        if (m_config.http_handler)
            m_server.set_http_handler([this](connection_hdl h) { on_http(std::move(h)); });
        else
            m_server.set_http_handler(nullptr);
        m_server.set_validate_handler([this](connection_hdl h) { return admit(std::move(h)); });
        m_server.set_fail_handler([this](connection_hdl h) { on_fail(std::move(h)); });
        m_server.set_max_message_size(MAX_MESSAGE_SIZE);
        // The console's answers are small; the library would take 32 MB.
        m_server.set_max_http_body_size(MAX_MESSAGE_SIZE);
        configure_logs();
        if (!m_asioInitialised) {
            m_server.init_asio();
            m_asioInitialised = true;
            m_trimTimer = std::make_unique<boost::asio::steady_timer>(m_server.get_io_service());
            m_acceptFailures.Attach(m_server.get_io_service(), m_timings.diagThrottle);
            m_refusals.Attach(m_server.get_io_service(), m_timings.diagThrottle);
            m_foreignPeers.Attach(m_server.get_io_service(), m_timings.diagThrottle);
        }
        m_server.reset();  // a loop stopped earlier must run again
        ++m_acceptRun;
        m_listeners.clear();
        m_admitted.clear();

        const std::string failure = listen_all();
        if (!failure.empty()) {
            report(failure);
            return 0;
        }
        for (auto& l : m_listeners) accept_next(*l);
        {
            MutexLock lock(m_outbox_mutex);
            m_serving = true;
        }
        report("");
    } catch (const std::exception& e) {
        report(listen_error(e.what()));
        return 0;
    }

    // A failure inside one handler must not end service for every page.
    while (true) {
        try {
            m_server.run();
            return 1;
        } catch (const std::exception& e) {
            diag_error(std::string("server loop: ") + e.what());
            if (m_stopping) return 1;
        }
    }
}

WebSocketServer::WebSocketServer(const Timings& timings) : m_impl(std::make_unique<Impl>(timings)) {}

WebSocketServer::~WebSocketServer() {
    Stop();
}

bool WebSocketServer::Start(const ServerConfig& config, FrameTarget& target, std::string* error) {
    Impl& s = *m_impl;
    if (s.m_thread.joinable()) {
        if (error) *error = "server already running";
        return false;
    }
    s.m_config = config;
    s.m_target = &target;
    s.m_stopping = false;
    s.m_port = 0;
    s.m_portTaken = false;
    std::promise<std::string> listenResult;
    auto outcome = listenResult.get_future();
    s.m_listenResult = &listenResult;
    s.m_thread = std::thread([&s] { s.server_thread(); });
    const std::string failure = outcome.get();
    s.m_listenResult = nullptr;
    if (!failure.empty()) {
        s.m_thread.join();
        if (error) *error = failure;
        return false;
    }
    return true;
}

uint16_t WebSocketServer::port() const {
    return m_impl->m_port;
}

bool WebSocketServer::port_taken() const {
    return m_impl->m_portTaken;
}

std::vector<std::string> WebSocketServer::listening_addresses() const {
    const Impl& s = *m_impl;
    std::vector<std::string> addresses;
    // Only the owner's thread starts and stops the server: between the two
    // the list stays as the start made it.
    if (s.m_port != 0)
        for (const auto& l : s.m_listeners) addresses.push_back(l->address);
    return addresses;
}

void WebSocketServer::Stop(int grace_ms) {
    Impl& s = *m_impl;
    if (!s.m_thread.joinable()) return;
    s.m_stopping = true;
    // Run on the loop: the acceptor belongs to the server thread. Waited for,
    // so that a server started again later finds the port free.
    auto stopped = std::make_shared<std::promise<void>>();
    auto stoppedFuture = stopped->get_future();
    s.post_to_loop([&s, stopped] {
        // The accept cancelled by shutdown is no failure worth a log line.
        s.m_server.clear_access_channels(websocketpp::log::alevel::fail);
        s.m_trimTimer->cancel();
        s.m_acceptFailures.Detach();
        s.m_foreignPeers.Detach();
        s.m_refusals.Detach();
        s.close_acceptors();
        stopped->set_value();
    });
    // Bounded: a loop stuck in a handler must not hang shutdown.
    const bool listenerStopped =
        stoppedFuture.wait_for(std::chrono::milliseconds(grace_ms)) == std::future_status::ready;
    // Let the closing handshakes started by close_all_connections reach the pages.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(grace_ms);
    while (open_connection_count() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    {
        MutexLock lock(s.m_outbox_mutex);
        s.m_serving = false;
        s.m_outbox.clear();
        s.m_flushPosted = false;
    }
    s.m_server.stop();
    s.m_thread.join();
    if (!listenerStopped) {
        s.close_acceptors();
        s.m_acceptFailures.Detach();
        s.m_refusals.Detach();
        s.m_foreignPeers.Detach();
    }
    s.m_port = 0;
    s.m_listeners.clear();
    // Held pages that the loop's end took away without their close
    // handlers: the gate's budgets must not count them any more.
    std::vector<std::string> held;
    for (const auto& entry : s.m_admitted)
        if (entry.second.held) held.push_back(entry.second.key);
    s.m_admitted.clear();
    {
        MutexLock lock(s.m_connections_mutex);
        for (const auto& entry : s.m_connections)
            if (entry.second.held && entry.second.counted) held.push_back(entry.second.origin);
        s.m_connections.clear();
    }
    if (s.m_config.origin_gate)
        for (const std::string& key : held) s.m_config.origin_gate->HeldPageClosed(key);
}

}  // namespace orvex
