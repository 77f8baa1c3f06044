// The WebSocket server, its registry of open pages, the greeting, broadcast to
// every page and inbound routing. Process-wide objects over free functions:
// every thread of the bridge reaches the pages through broadcast_text.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

namespace orvex {

using server_t = websocketpp::server<websocketpp::config::asio>;
using connection_hdl = websocketpp::connection_hdl;
using message_ptr = server_t::message_ptr;

constexpr uint16_t SERVER_PORT = 10086;
constexpr size_t COMMAND_BUFFER_SIZE = 1000;
// The library default (32 MB) lets a few connections exhaust memory; no page
// message comes near this.
constexpr size_t MAX_MESSAGE_SIZE = 65536;

extern server_t g_server;
extern std::set<connection_hdl, std::owner_less<connection_hdl>> g_connections;
extern std::mutex g_connections_mutex;

// What on_message hands the decoded frames to: the main loop object.
class CommandTarget {
public:
    virtual ~CommandTarget() = default;
    virtual int HandleDeviceQuery(const uint8_t* frame) = 0;
    virtual int HandleDeviceCommand(const uint8_t* frame) = 0;
};
extern CommandTarget* g_main_dialog;

struct ServerConfig {
    std::string address = "127.0.0.1";
    uint16_t port = SERVER_PORT;              // 0 picks a free port (tests)
    std::vector<std::string> allowed_origins;  // empty: every origin
    bool raw_frames = false;                   // frame channels of the access log
    bool quiet = false;                        // no access log at all
};

void on_open(server_t* server, connection_hdl handle);
void on_close(server_t* server, connection_hdl handle);
void on_message(server_t* server, connection_hdl handle, message_ptr message);

// Queues one text frame on every open connection; never waits on the network.
void broadcast_text(const std::string& text);
// Starts closing every open connection with 1000 and an empty reason.
void close_all_connections();
size_t open_connection_count();

// Observer of every broadcast, called under the registry lock so it sees the
// order pages see. For tests and benchmarks; must not broadcast itself.
using BroadcastTap = std::function<void(const std::string&)>;
void set_broadcast_tap(BroadcastTap tap);

// Thread entry: configures g_server, listens, accepts and runs its loop until
// stop_server. Returns 1 when the loop ended normally, 0 when listening failed.
int server_thread(void* parameter);

// Starts server_thread on its own thread and waits until it listens or fails.
// On failure returns false with the one-line reason (address, port, error).
bool start_server(const ServerConfig& config, std::string* error);
// The port actually listened on (useful with port 0).
uint16_t server_port();
// Stops accepting, gives pages up to grace_ms to finish their closing
// handshakes, stops the loop and joins the thread. Safe when not started.
void stop_server(int grace_ms = 1000);

}  // namespace orvex
