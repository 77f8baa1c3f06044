#include "bridge/server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <stdexcept>
#include <thread>

#include "bridge/hex.h"
#include "platform/Log.h"

namespace orvex {

server_t g_server;
std::set<connection_hdl, std::owner_less<connection_hdl>> g_connections;
std::mutex g_connections_mutex;
CommandTarget* g_main_dialog = nullptr;

namespace {

BroadcastTap g_tap;  // written only while no broadcast can run (tests set it up front)
std::mutex g_tapMutex;

ServerConfig g_config;
std::thread g_serverThread;
std::promise<std::string>* g_listenResult = nullptr;  // "" when listening
std::atomic<bool> g_stopping{false};
std::atomic<uint16_t> g_port{0};
bool g_asioInitialised = false;

// Called with g_connections_mutex held.
void send_locked(server_t* server, connection_hdl handle, const std::string& text) {
    websocketpp::lib::error_code ec;
    server->send(handle, text, websocketpp::frame::opcode::text, ec);
    if (ec) log_line("Send failed: " + ec.message());
}

bool origin_allowed(connection_hdl handle) {
    websocketpp::lib::error_code ec;
    auto con = g_server.get_con_from_hdl(handle, ec);
    if (ec) return false;
    const std::string origin = con->get_origin();
    const auto& allowed = g_config.allowed_origins;
    if (std::find(allowed.begin(), allowed.end(), origin) != allowed.end()) return true;
    con->set_status(websocketpp::http::status_code::forbidden);
    return false;
}

void configure_logs() {
    g_server.clear_access_channels(websocketpp::log::alevel::all);
    g_server.clear_error_channels(websocketpp::log::elevel::all);
    if (g_config.quiet) {
        g_server.set_error_channels(websocketpp::log::elevel::fatal);
        return;
    }
    // The library default dumps every frame to stdout; keep connection events.
    g_server.set_access_channels(websocketpp::log::alevel::connect | websocketpp::log::alevel::disconnect |
                                 websocketpp::log::alevel::fail);
    if (g_config.raw_frames)
        g_server.set_access_channels(websocketpp::log::alevel::frame_header | websocketpp::log::alevel::frame_payload);
    g_server.set_error_channels(websocketpp::log::elevel::all ^ websocketpp::log::elevel::devel);
}

}  // namespace

void on_open(server_t* server, connection_hdl handle) {
    log_line("Connection opened");
    std::lock_guard<std::mutex> lock(g_connections_mutex);
    g_connections.insert(handle);
    send_locked(server, handle, "0304");
}

void on_close(server_t*, connection_hdl handle) {
    log_line("Connection closed");
    std::lock_guard<std::mutex> lock(g_connections_mutex);
    g_connections.erase(handle);
}

void on_message(server_t*, connection_hdl, message_ptr message) {
    const std::string& payload = message->get_payload();
    log_line("Received message: " + payload);
    const std::string text = payload;
    std::vector<uint8_t> bytes;
    try {
        bytes = hex_to_bytes(text);
    } catch (const std::invalid_argument& e) {
        // A page's malformed message must not take the server down for the others.
        log_line(std::string("Decode failed: ") + e.what());
        return;
    }
    uint8_t buffer[COMMAND_BUFFER_SIZE];
    std::memset(buffer, 0, sizeof buffer);
    // The handlers never read past byte 256; the rest of an overlong message is cut.
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), std::min(bytes.size(), COMMAND_BUFFER_SIZE));
    CommandTarget* target = g_main_dialog;
    if (target == nullptr) return;
    try {
        if (buffer[0] == 0xF0)
            target->HandleDeviceQuery(buffer);
        else
            target->HandleDeviceCommand(buffer);
    } catch (const std::exception& e) {
        diag_error(std::string("message handler failed: ") + e.what());
    }
}

void broadcast_text(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_connections_mutex);
    {
        std::lock_guard<std::mutex> tapLock(g_tapMutex);
        if (g_tap) g_tap(text);
    }
    for (const auto& handle : g_connections) send_locked(&g_server, handle, text);
}

void close_all_connections() {
    std::lock_guard<std::mutex> lock(g_connections_mutex);
    for (const auto& handle : g_connections) {
        websocketpp::lib::error_code ec;
        g_server.close(handle, websocketpp::close::status::normal, "", ec);
        // A connection already closing reports an error here; shutdown goes on.
    }
}

size_t open_connection_count() {
    std::lock_guard<std::mutex> lock(g_connections_mutex);
    return g_connections.size();
}

void set_broadcast_tap(BroadcastTap tap) {
    std::lock_guard<std::mutex> lock(g_tapMutex);
    g_tap = std::move(tap);
}

int server_thread(void*) {
    std::promise<std::string>* result = g_listenResult;
    auto report = [&](const std::string& error) {
        if (result) result->set_value(error);
        result = nullptr;
    };
    try {
        g_server.set_message_handler(
            [](connection_hdl h, message_ptr m) { on_message(&g_server, std::move(h), std::move(m)); });
        g_server.set_open_handler([](connection_hdl h) { on_open(&g_server, std::move(h)); });
        g_server.set_close_handler([](connection_hdl h) { on_close(&g_server, std::move(h)); });
        if (!g_config.allowed_origins.empty()) g_server.set_validate_handler(origin_allowed);
        else g_server.set_validate_handler(nullptr);
        g_server.set_max_message_size(MAX_MESSAGE_SIZE);
        // A restarted bridge must get its port back at once, although pages
        // it closed leave connections in TIME_WAIT for a minute; a port that
        // another program listens on is still refused.
        g_server.set_reuse_addr(true);
        configure_logs();
        if (!g_asioInitialised) {
            g_server.init_asio();
            g_asioInitialised = true;
        }
        g_server.reset();  // a loop stopped earlier (tests) must run again

        websocketpp::lib::error_code ec;
        boost::system::error_code addressError;
        const auto address = boost::asio::ip::make_address(g_config.address, addressError);
        if (addressError) {
            report("cannot listen on " + g_config.address + " port " + std::to_string(g_config.port) + ": " +
                   addressError.message());
            return 0;
        }
        const boost::asio::ip::tcp::endpoint endpoint(address, g_config.port);
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
                report("cannot listen on " + g_config.address + " port " + std::to_string(g_config.port) + ": " +
                       probeError.message());
                return 0;
            }
        }
        g_server.listen(endpoint, ec);
        if (!ec) g_server.start_accept(ec);
        if (ec) {
            report("cannot listen on " + g_config.address + " port " + std::to_string(g_config.port) + ": " +
                   ec.message());
            if (g_server.is_listening()) g_server.stop_listening(ec);
            return 0;
        }
        boost::system::error_code endpointError;
        g_port = g_server.get_local_endpoint(endpointError).port();
        report("");
    } catch (const std::exception& e) {
        report("cannot listen on " + g_config.address + " port " + std::to_string(g_config.port) + ": " + e.what());
        return 0;
    }

    // A failure inside one handler must not end service for every page.
    while (true) {
        try {
            g_server.run();
            return 1;
        } catch (const std::exception& e) {
            diag_error(std::string("server loop: ") + e.what());
            if (g_stopping) return 1;
        }
    }
}

bool start_server(const ServerConfig& config, std::string* error) {
    if (g_serverThread.joinable()) {
        if (error) *error = "server already running";
        return false;
    }
    g_config = config;
    g_stopping = false;
    g_port = 0;
    std::promise<std::string> listenResult;
    auto outcome = listenResult.get_future();
    g_listenResult = &listenResult;
    g_serverThread = std::thread([] { server_thread(nullptr); });
    const std::string failure = outcome.get();
    g_listenResult = nullptr;
    if (!failure.empty()) {
        g_serverThread.join();
        if (error) *error = failure;
        return false;
    }
    return true;
}

uint16_t server_port() { return g_port; }

void stop_server(int grace_ms) {
    if (!g_serverThread.joinable()) return;
    g_stopping = true;
    // Run on the loop: the acceptor belongs to the server thread. Waited for,
    // so that a server started again later finds the port free.
    auto stopped = std::make_shared<std::promise<void>>();
    auto stoppedFuture = stopped->get_future();
    boost::asio::post(g_server.get_io_service(), [stopped] {
        // The accept cancelled by shutdown is no failure worth a log line.
        g_server.clear_access_channels(websocketpp::log::alevel::fail);
        g_server.clear_error_channels(websocketpp::log::elevel::info);
        websocketpp::lib::error_code ignored;
        if (g_server.is_listening()) g_server.stop_listening(ignored);
        stopped->set_value();
    });
    // Bounded: a loop stuck in a long device transfer must not hang shutdown.
    const bool listenerStopped =
        stoppedFuture.wait_for(std::chrono::milliseconds(grace_ms)) == std::future_status::ready;
    // Let the closing handshakes started by close_all_connections reach the pages.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(grace_ms);
    while (open_connection_count() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    g_server.stop();
    g_serverThread.join();
    if (!listenerStopped) {
        websocketpp::lib::error_code ignored;
        if (g_server.is_listening()) g_server.stop_listening(ignored);
    }
    std::lock_guard<std::mutex> lock(g_connections_mutex);
    g_connections.clear();
}

}  // namespace orvex
