#include "bridge/WebSocketServer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "bridge/hex.h"
#include "platform/Log.h"

namespace orvex {

namespace {
using server_t = websocketpp::server<websocketpp::config::asio>;
using connection_hdl = websocketpp::connection_hdl;
using message_ptr = server_t::message_ptr;
}  // namespace

struct WebSocketServer::Impl {
    server_t m_server;
    // The registry of open pages. m_connections_mutex is held for one whole
    // greeting, broadcast, registry change or close-all, and never while
    // another lock of the bridge is held.
    std::set<connection_hdl, std::owner_less<connection_hdl>> m_connections;
    std::mutex m_connections_mutex;

    ServerConfig m_config;
    FrameTarget* m_target = nullptr;
    std::thread m_thread;
    std::promise<std::string>* m_listenResult = nullptr;  // "" when listening
    std::atomic<bool> m_stopping{false};
    std::atomic<uint16_t> m_port{0};
    bool m_asioInitialised = false;

    // Called with m_connections_mutex held.
    void send_locked(connection_hdl handle, const std::string& text) {
        websocketpp::lib::error_code ec;
        m_server.send(handle, text, websocketpp::frame::opcode::text, ec);
        if (ec) log_line("Send failed: " + ec.message());
    }

    bool origin_allowed(connection_hdl handle) {
        websocketpp::lib::error_code ec;
        auto con = m_server.get_con_from_hdl(handle, ec);
        if (ec) return false;
        const std::string origin = con->get_origin();
        const auto& allowed = m_config.allowed_origins;
        if (std::find(allowed.begin(), allowed.end(), origin) != allowed.end()) return true;
        if (m_config.accept_own_origins && is_own_origin(origin)) return true;
        con->set_status(websocketpp::http::status_code::forbidden);
        return false;
    }

    // Pages served from this very port. Known only once listening (port 0).
    bool is_own_origin(const std::string& origin) const {
        const std::string port = ":" + std::to_string(m_port.load());
        std::string address = m_config.address;
        if (address.find(':') != std::string::npos) address = "[" + address + "]";
        for (const std::string& host : {std::string("localhost"), std::string("127.0.0.1"), address})
            if (origin == "http://" + host + port) return true;
        return false;
    }

    void on_http(connection_hdl handle) {
        websocketpp::lib::error_code ec;
        auto con = m_server.get_con_from_hdl(handle, ec);
        if (ec) return;
        const auto& request = con->get_request();
        const HttpRequest query{request.get_method(), con->get_resource(), request.get_header("Host")};
        HttpResponse response;
        try {
            response = m_config.http_handler(query);
        } catch (const std::exception& e) {
            diag_error(std::string("http handler failed: ") + e.what());
            response = HttpResponse{500, "text/plain; charset=utf-8", "internal error\n", {}};
        }
        con->set_status(static_cast<websocketpp::http::status_code::value>(response.status));
        con->replace_header("Content-Type", response.content_type);
        for (const auto& header : response.headers) con->replace_header(header.first, header.second);
        // The library closes after every plain answer; a client that kept the
        // connection for another request would see it reset.
        con->replace_header("Connection", "close");
        // HEAD announces the length of the body it leaves out.
        if (query.method != "HEAD") con->set_body(response.body);
        con->replace_header("Content-Length", std::to_string(response.body.size()));
    }

    void configure_logs() {
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
            m_server.set_access_channels(websocketpp::log::alevel::frame_header |
                                         websocketpp::log::alevel::frame_payload);
        m_server.set_error_channels(websocketpp::log::elevel::all ^ websocketpp::log::elevel::devel);
    }

    void on_open(connection_hdl handle) {
        log_line("Connection opened");
        std::lock_guard<std::mutex> lock(m_connections_mutex);
        m_connections.insert(handle);
        send_locked(handle, "0304");
    }

    void on_close(connection_hdl handle) {
        log_line("Connection closed");
        std::lock_guard<std::mutex> lock(m_connections_mutex);
        m_connections.erase(handle);
    }

    void on_message(connection_hdl, message_ptr message) {
        const std::string& payload = message->get_payload();
        log_line("Received message: " + payload);
        std::vector<uint8_t> bytes;
        try {
            bytes = hex_to_bytes(payload);
        } catch (const std::invalid_argument& e) {
            // A page's malformed message must not take the server down for the others.
            log_line(std::string("Decode failed: ") + e.what());
            return;
        }
        uint8_t buffer[COMMAND_BUFFER_SIZE];
        std::memset(buffer, 0, sizeof buffer);
        // The handlers never read past byte 256; the rest of an overlong message is cut.
        if (!bytes.empty()) std::memcpy(buffer, bytes.data(), std::min(bytes.size(), COMMAND_BUFFER_SIZE));
        try {
            m_target->HandleFrame(buffer);
        } catch (const std::exception& e) {
            diag_error(std::string("message handler failed: ") + e.what());
        }
    }

    std::string listen_error(const std::string& why) const {
        return "cannot listen on " + m_config.address + " port " + std::to_string(m_config.port) + ": " + why;
    }

    // Configures the endpoint, listens, accepts and runs the loop until Stop.
    // Returns 1 when the loop ended normally, 0 when listening failed.
    int server_thread() {
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
            if (!m_config.allowed_origins.empty())
                m_server.set_validate_handler([this](connection_hdl h) { return origin_allowed(std::move(h)); });
            else
                m_server.set_validate_handler(nullptr);
            m_server.set_max_message_size(MAX_MESSAGE_SIZE);
            // Closed pages leave the port in TIME_WAIT for a minute; a bridge
            // restarted meanwhile must still get it. A port another program
            // listens on stays refused.
            m_server.set_reuse_addr(true);
            configure_logs();
            if (!m_asioInitialised) {
                m_server.init_asio();
                m_asioInitialised = true;
            }
            m_server.reset();  // a loop stopped earlier must run again

            websocketpp::lib::error_code ec;
            boost::system::error_code addressError;
            const auto address = boost::asio::ip::make_address(m_config.address, addressError);
            if (addressError) {
                report(listen_error(addressError.message()));
                return 0;
            }
            const boost::asio::ip::tcp::endpoint endpoint(address, m_config.port);
            {
                // The library reports a failed bind only as a transport error; bind
                // once ourselves so the user learns why (address in use, ...).
                boost::asio::io_context probeContext;
                boost::asio::ip::tcp::acceptor probe(probeContext);
                boost::system::error_code probeError;
                probe.open(endpoint.protocol(), probeError);
                if (!probeError) probe.set_option(boost::asio::socket_base::reuse_address(true), probeError);
                if (!probeError) probe.bind(endpoint, probeError);
                if (probeError) {
                    report(listen_error(probeError.message()));
                    return 0;
                }
            }
            m_server.listen(endpoint, ec);
            if (!ec) m_server.start_accept(ec);
            if (ec) {
                report(listen_error(ec.message()));
                if (m_server.is_listening()) m_server.stop_listening(ec);
                return 0;
            }
            boost::system::error_code endpointError;
            m_port = m_server.get_local_endpoint(endpointError).port();
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
};

WebSocketServer::WebSocketServer() : m_impl(std::make_unique<Impl>()) {}

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

void WebSocketServer::broadcast_text(const std::string& text) {
    Impl& s = *m_impl;
    std::lock_guard<std::mutex> lock(s.m_connections_mutex);
    for (const auto& handle : s.m_connections) s.send_locked(handle, text);
}

void WebSocketServer::close_all_connections() {
    Impl& s = *m_impl;
    if (!s.m_thread.joinable()) return;  // never started: nothing is open
    // On the server thread: the library's close changes connection state that
    // its loop also changes when a page closes at the same moment, and it
    // guards neither against the other. Handlers run in order, so the closes
    // start before anything Stop asks of the loop afterwards.
    boost::asio::post(s.m_server.get_io_service(), [&s] {
        std::lock_guard<std::mutex> lock(s.m_connections_mutex);
        for (const auto& handle : s.m_connections) {
            websocketpp::lib::error_code ec;
            s.m_server.close(handle, websocketpp::close::status::normal, "", ec);
            // A connection already closing reports an error here; shutdown goes on.
        }
    });
}

size_t WebSocketServer::open_connection_count() {
    Impl& s = *m_impl;
    std::lock_guard<std::mutex> lock(s.m_connections_mutex);
    return s.m_connections.size();
}

void WebSocketServer::Stop(int grace_ms) {
    Impl& s = *m_impl;
    if (!s.m_thread.joinable()) return;
    s.m_stopping = true;
    // Run on the loop: the acceptor belongs to the server thread. Waited for,
    // so that a server started again later finds the port free.
    auto stopped = std::make_shared<std::promise<void>>();
    auto stoppedFuture = stopped->get_future();
    boost::asio::post(s.m_server.get_io_service(), [&s, stopped] {
        // The accept cancelled by shutdown is no failure worth a log line.
        s.m_server.clear_access_channels(websocketpp::log::alevel::fail);
        s.m_server.clear_error_channels(websocketpp::log::elevel::info);
        websocketpp::lib::error_code ignored;
        if (s.m_server.is_listening()) s.m_server.stop_listening(ignored);
        stopped->set_value();
    });
    // Bounded: a loop stuck in a handler must not hang shutdown.
    const bool listenerStopped =
        stoppedFuture.wait_for(std::chrono::milliseconds(grace_ms)) == std::future_status::ready;
    // Let the closing handshakes started by close_all_connections reach the pages.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(grace_ms);
    while (open_connection_count() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    s.m_server.stop();
    s.m_thread.join();
    if (!listenerStopped) {
        websocketpp::lib::error_code ignored;
        if (s.m_server.is_listening()) s.m_server.stop_listening(ignored);
    }
    s.m_port = 0;
    std::lock_guard<std::mutex> lock(s.m_connections_mutex);
    s.m_connections.clear();
}

}  // namespace orvex
