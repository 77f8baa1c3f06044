// The page server's state and the parts that work on it, one job a file:
//   ServerPages.cpp      the registry of open pages, sending and broadcast;
//   ServerAdmission.cpp  handshakes, plain HTTP, the origin gate and held pages;
//   ServerListeners.cpp  listening, accepting with back-off, the peer filter;
//   WebSocketServer.cpp  the server thread, start and stop;
//   ServerEndpoint.h     the endpoint's configuration and its logging policy.
// Everything here runs on the server thread unless it says otherwise.
#pragma once

#include <atomic>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/ServerEndpoint.h"
#include "bridge/WebSocketServer.h"
#include "platform/ThreadSafety.h"

namespace orvex {

struct WebSocketServer::Impl {
    using server_t = server::server_t;
    using connection_hdl = server::connection_hdl;
    using message_ptr = server::message_ptr;
    using Clock = server::Clock;
    using milliseconds = std::chrono::milliseconds;
    using ThrottledDiag = server::ThrottledDiag;

    static constexpr size_t kFlushSlice = 16 << 10;
    // Frames a held page may send before the answer; one more closes it.
    static constexpr size_t kMaxKeptFrames = 64;
    static constexpr const char* kNotTrusted = "origin not trusted";

    explicit Impl(const Timings& timings) : m_timings(timings) {}

    const Timings m_timings;
    server_t m_server;

    // What the server knows of one open page. Only the server thread changes it.
    struct Page {
        PageId id = 0;
        // Set while the page is not read, until the device side has room for
        // it. With no read pending, nothing of the library's holds the
        // connection any more: this does, or it would go away with every
        // frame still unread in its socket.
        server_t::connection_ptr paused;
        bool overflowed = false;  // closed for passing max_page_buffer
        // Held pages wait for the user's answer about their origin: no
        // greeting, no text, their frames kept in arrival order. The origin
        // as the gate compares it.
        std::string origin;
        bool held = false;
        // Counted by the gate's budgets until it closes or its question is
        // over; a page closed for its origin's answer no longer is, so that
        // its late close does not uncount a page of a question asked since.
        bool counted = false;
        std::vector<std::string> kept;
    };
    // The registry of open pages. m_connections_mutex is held for one whole
    // greeting, delivery of texts, registry change or close-all, and never
    // while another lock of the bridge is held. Every change and every send
    // happens on the server thread: the library counts a connection's unsent
    // bytes without a lock, so only the thread that also writes them may
    // read that count.
    Mutex m_connections_mutex;
    using Registry = std::map<connection_hdl, Page, std::owner_less<connection_hdl>>;
    Registry m_connections ORVEX_GUARDED_BY(m_connections_mutex);
    // The registry as the server thread reads it: that thread alone changes
    // it, so its own reads need no lock (its changes still take it).
    Registry& registry_on_server_thread() ORVEX_TSA(no_thread_safety_analysis) { return m_connections; }
    // Handshakes let through and not yet open, with what the gate made of
    // them: pages to be served count against max_pages, held ones against
    // the gate's budgets. Server thread only.
    struct Admitted {
        bool held = false;
        std::string key;  // the origin as the gate compares it
    };
    std::map<connection_hdl, Admitted, std::owner_less<connection_hdl>> m_admitted;
    PageId m_lastPage = 0;

    // Texts broadcast from any thread, delivered by the server thread in this
    // order. m_outbox_mutex is only ever held alone.
    Mutex m_outbox_mutex;
    std::deque<std::string> m_outbox ORVEX_GUARDED_BY(m_outbox_mutex);
    bool m_flushPosted ORVEX_GUARDED_BY(m_outbox_mutex) = false;
    bool m_serving ORVEX_GUARDED_BY(m_outbox_mutex) = false;  // the loop runs and takes posted work

    ServerConfig m_config;
    FrameTarget* m_target = nullptr;
    std::thread m_thread;
    std::promise<std::string>* m_listenResult = nullptr;  // "" when listening
    std::atomic<bool> m_stopping{false};
    std::atomic<uint16_t> m_port{0};
    bool m_asioInitialised = false;

    // Our accept loop (server thread), one per address listened on: the
    // library's accepts again at once after a failure, which spins and floods
    // the log while descriptors are exhausted.
    struct Listener {
        std::string address;
        std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor;
        server_t::connection_ptr con;  // the connection the next accept fills
        std::unique_ptr<boost::asio::steady_timer> timer;
        milliseconds pause{0};
    };
    // Made by the server thread while it starts to listen, read by other
    // threads only after the start has been reported, closed on the loop and
    // cleared after the thread is joined.
    std::vector<std::unique_ptr<Listener>> m_listeners;
    // Counts the runs of the server: an accept handler of an acceptor that an
    // earlier Stop closed may still run after the next Start, and must then
    // leave the new run's listeners alone.
    uint64_t m_acceptRun = 0;
    std::unique_ptr<boost::asio::steady_timer> m_trimTimer;
    std::atomic<bool> m_portTaken{false};
    ThrottledDiag m_acceptFailures{[](unsigned count, const std::string& latest) {
        return "cannot accept a connection" + (count > 1 ? " (" + std::to_string(count) + " times)" : std::string()) +
               ": " + latest;
    }};
    ThrottledDiag m_foreignPeers{[](unsigned count, const std::string& latest) {
        return "refused " +
               (count > 1 ? std::to_string(count) + " loopback connections" : std::string("a loopback connection")) +
               " (" + latest + ")";
    }};
    ThrottledDiag m_refusals{[this](unsigned count, const std::string& open) {
        return std::to_string(count) + (count == 1 ? " handshake" : " handshakes") + " refused: " + open +
               " pages open (limit " + std::to_string(m_config.max_pages) + ")";
    }};

    // --- Registry and sending
    void deliver_locked(connection_hdl handle, const std::string& text) ORVEX_REQUIRES(m_connections_mutex);
    void flush_outbox();
    void post_to_loop(std::function<void()> work);
    void run_frame(connection_hdl handle, const std::string& payload);
    void resume(PageId id);
    void release_memory_soon();

    // --- Admission and held pages
    bool origin_allowed(const server_t::connection_ptr& con);
    bool is_own_origin(const std::string& origin) const;
    void on_http(connection_hdl handle);
    bool refuse(const server_t::connection_ptr& con, websocketpp::http::status_code::value status);
    size_t served_pages();
    bool admit(connection_hdl handle);
    void on_open(connection_hdl handle);
    void release_origin(const std::string& origin);
    void close_origin(const std::string& origin);
    void on_close(connection_hdl handle);
    void on_fail(connection_hdl handle);
    void on_message(connection_hdl handle, message_ptr message);

    // --- Listening and accepting
    void accept_next(Listener& l);
    void on_accepted(Listener& l, const boost::system::error_code& ec);
    void close_acceptors();
    void retry_accept(Listener& l, const std::string& why);
    boost::system::error_code listen_on(const std::string& text, uint16_t port);
    std::string listen_all();
    bool foreign_peer(const server_t::connection_ptr& con);
    std::string listen_error(const std::string& why) const;

    // --- The thread
    void configure_logs();
    int server_thread();
};

}  // namespace orvex
