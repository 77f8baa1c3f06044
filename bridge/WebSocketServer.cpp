#include "bridge/WebSocketServer.h"

#include <algorithm>
#include <atomic>
#include <boost/asio/steady_timer.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "bridge/Inbound.h"
#include "platform/Log.h"
#include "platform/Portable.h"
#include "platform/ThreadSafety.h"

namespace orvex {

namespace {

// The library's own log lines carry what a client sent (its close reason,
// User-Agent and request path): written like the library's standard logger,
// but escaped as every page text in our log, so that a client cannot write
// lines of its own. A line without control characters looks as before.
template <typename concurrency, typename names>
class EscapingLog {
public:
    using level = websocketpp::log::level;
    using channel_hint = websocketpp::log::channel_type_hint::value;

    explicit EscapingLog(channel_hint hint = websocketpp::log::channel_type_hint::access)
        : EscapingLog(0xffffffff, hint) {}
    EscapingLog(level channels, channel_hint hint)
        : m_static(channels), m_out(hint == websocketpp::log::channel_type_hint::error ? &std::cerr : &std::cout) {}

    void set_ostream(std::ostream* out = &std::cout) { m_out = out; }
    void set_channels(level channels) {
        MutexLock lock(m_mutex);
        if (channels == names::none) {
            m_dynamic = 0;
            return;
        }
        m_dynamic |= channels & m_static;
    }
    void clear_channels(level channels) {
        MutexLock lock(m_mutex);
        m_dynamic &= ~channels;
    }
    // Drops the next line of the channel that ends with suffix (a line the
    // bridge reports itself, in fewer words).
    void drop_next(level channel, const std::string& suffix) {
        MutexLock lock(m_mutex);
        if ((channel & m_dynamic) != 0 && m_drops.size() < kMaxDrops) m_drops.push_back({channel, suffix});
    }
    void write(level channel, const std::string& message) {
        MutexLock lock(m_mutex);
        if ((channel & m_dynamic) == 0) return;
        for (auto it = m_drops.begin(); it != m_drops.end(); ++it) {
            if (it->first == channel && message.size() >= it->second.size() &&
                message.compare(message.size() - it->second.size(), it->second.size(), it->second) == 0) {
                m_drops.erase(it);
                return;
            }
        }
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        if (!local_time(now, &local) || std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0)
            std::strcpy(stamp, "Unknown");
        *m_out << "[" << stamp << "] [" << names::channel_name(channel) << "] " << escape_for_log(message) << "\n";
        m_out->flush();
    }
    void write(level channel, const char* message) { write(channel, std::string(message)); }
    constexpr bool static_test(level channel) const { return (channel & m_static) != 0; }
    bool dynamic_test(level channel) {
        MutexLock lock(m_mutex);
        return (channel & m_dynamic) != 0;
    }

private:
    static constexpr size_t kMaxDrops = 4096;
    Mutex m_mutex;
    const level m_static;
    level m_dynamic ORVEX_GUARDED_BY(m_mutex) = 0;
    std::ostream* m_out;
    std::vector<std::pair<level, std::string>> m_drops ORVEX_GUARDED_BY(m_mutex);
};

// The library's standard asio configuration with the escaping loggers.
struct BridgeConfig : public websocketpp::config::asio {
    using type = BridgeConfig;
    using base = websocketpp::config::asio;
    using alog_type = EscapingLog<base::concurrency_type, websocketpp::log::alevel>;
    using elog_type = EscapingLog<base::concurrency_type, websocketpp::log::elevel>;
    struct transport_config : public base::transport_config {
        using alog_type = type::alog_type;
        using elog_type = type::elog_type;
    };
    using transport_type = websocketpp::transport::asio::endpoint<transport_config>;
};

using server_t = websocketpp::server<BridgeConfig>;
using connection_hdl = websocketpp::connection_hdl;
using message_ptr = server_t::message_ptr;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kFlushSlice = 16 << 10;
// Frames a held page may send before the answer; one more closes it.
constexpr size_t kMaxKeptFrames = 64;
const char* const kNotTrusted = "origin not trusted";

// One diagnostic line per second at most for an event that can repeat
// thousands of times a second: the first at once, the later ones counted
// and reported in one line when the second is over. Server thread only.
class ThrottledDiag {
public:
    using Format = std::function<std::string(unsigned count, const std::string& latest)>;
    explicit ThrottledDiag(Format format) : m_format(std::move(format)) {}

    void Attach(boost::asio::io_context& io, milliseconds quiet) {
        m_timer = std::make_unique<boost::asio::steady_timer>(io);
        m_quiet = quiet;
    }
    void Detach() {
        if (m_timer) m_timer->cancel();
        m_count = 0;
        m_armed = false;
    }
    void Note(const std::string& latest) {
        ++m_count;
        m_latest = latest;
        const auto now = Clock::now();
        if (now >= m_quietUntil) {
            Emit(now);
            return;
        }
        if (m_armed || !m_timer) return;
        m_armed = true;
        m_timer->expires_at(m_quietUntil);
        m_timer->async_wait([this](const boost::system::error_code& ec) {
            m_armed = false;
            if (!ec && m_count > 0) Emit(Clock::now());
        });
    }

private:
    void Emit(Clock::time_point now) {
        diag_error(m_format(m_count, m_latest));
        m_count = 0;
        m_quietUntil = now + m_quiet;
    }

    milliseconds m_quiet = kDiagThrottle;  // until Attach
    Format m_format;
    std::unique_ptr<boost::asio::steady_timer> m_timer;
    unsigned m_count = 0;
    std::string m_latest;
    Clock::time_point m_quietUntil{};
    bool m_armed = false;
};

}  // namespace

struct WebSocketServer::Impl {
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
        // greeting, no text, their frames kept in arrival order.
        std::string origin;
        bool held = false;
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
    // Handshakes let through and not yet open; they count against max_pages.
    // Server thread only.
    std::set<connection_hdl, std::owner_less<connection_hdl>> m_admitted;
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

    // --- Sending (server thread) ---------------------------------------------

    // Queues one text on one page, unless the page is closing or its unsent
    // texts would pass the cap: then it is closed with 1008 and one line.
    // Called with m_connections_mutex held.
    void deliver_locked(connection_hdl handle, const std::string& text) ORVEX_REQUIRES(m_connections_mutex) {
        websocketpp::lib::error_code ec;
        auto con = m_server.get_con_from_hdl(handle, ec);
        if (!ec && con->get_state() != websocketpp::session::state::open) return;
        if (!ec) {
            const size_t unsent = con->get_buffered_amount();
            if (unsent + text.size() > m_config.max_page_buffer) {
                diag_error("closing page " + con->get_remote_endpoint() + " (1008): " + std::to_string(unsent) +
                           " bytes unsent, limit " + std::to_string(m_config.max_page_buffer));
                con->close(websocketpp::close::status::policy_violation, "not reading", ec);
                auto page = m_connections.find(handle);
                if (page != m_connections.end()) page->second.overflowed = true;
                return;
            }
        }
        m_server.send(handle, text, websocketpp::frame::opcode::text, ec);
        if (ec) log_line("Send failed: " + ec.message());
    }

    // Delivers the waiting texts in slices of about kFlushSlice bytes, each
    // slice a handler of its own, posted after the writes that the library
    // posts for the slice before: a page that reads is written to between
    // slices and keeps its unsent bytes low however many texts arrived at
    // once, and only a page that does not read reaches its cap.
    void flush_outbox() {
        std::vector<std::string> texts;
        {
            MutexLock lock(m_outbox_mutex);
            size_t bytes = 0;
            while (!m_outbox.empty() && bytes < kFlushSlice) {
                bytes += m_outbox.front().size();
                texts.push_back(std::move(m_outbox.front()));
                m_outbox.pop_front();
            }
        }
        {
            MutexLock lock(m_connections_mutex);
            for (const auto& text : texts)
                for (const auto& entry : m_connections)
                    if (!entry.second.held) deliver_locked(entry.first, text);
        }
        MutexLock lock(m_outbox_mutex);
        m_flushPosted = !m_outbox.empty() && m_serving;
        if (m_flushPosted) boost::asio::post(m_server.get_io_service(), [this] { flush_outbox(); });
    }

    void post_to_loop(std::function<void()> work) {
        MutexLock lock(m_outbox_mutex);
        if (m_serving) boost::asio::post(m_server.get_io_service(), std::move(work));
    }

    // --- Admission (validate step, server thread) ------------------------------

    bool origin_allowed(const server_t::connection_ptr& con) {
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
        for (const std::string& host :
             {std::string("localhost"), std::string("127.0.0.1"), std::string("[::1]"), address})
            if (origin == "http://" + host + port) return true;
        return false;
    }

    void on_http(connection_hdl handle) {
        websocketpp::lib::error_code ec;
        auto con = m_server.get_con_from_hdl(handle, ec);
        if (ec) return;
        const auto& request = con->get_request();
        const HttpRequest query{request.get_method(),
                                con->get_resource(),
                                request.get_header("Host"),
                                request.get_header("Origin"),
                                request.get_header("Content-Type"),
                                request.get_body()};
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

    bool admit(connection_hdl handle) {
        websocketpp::lib::error_code ec;
        auto con = m_server.get_con_from_hdl(handle, ec);
        if (ec) return false;
        if (m_config.origin_gate) {
            const std::string origin = con->get_request_header("Origin");
            if (!(m_config.accept_own_origins && is_own_origin(origin)) &&
                !m_config.origin_gate->Handshake(origin, !origin.empty())) {
                con->set_status(websocketpp::http::status_code::forbidden);
                return false;
            }
        } else if (!m_config.allowed_origins.empty() && !origin_allowed(con)) {
            return false;
        }
        size_t open;
        {
            MutexLock lock(m_connections_mutex);
            open = m_connections.size();
        }
        if (open + m_admitted.size() >= m_config.max_pages) {
            con->set_status(websocketpp::http::status_code::service_unavailable);
            // Counted in our own line instead of one library line each.
            m_server.get_elog().drop_next(websocketpp::log::elevel::rerror, "Handshake ended with HTTP error: 503");
            m_server.get_alog().drop_next(websocketpp::log::alevel::fail, " 503 websocketpp:27 Connection rejected");
            m_refusals.Note(std::to_string(open + m_admitted.size()));
            return false;
        }
        m_admitted.insert(handle);
        return true;
    }

    // --- Accepting (server thread) ---------------------------------------------

    // Accepts into a connection object of the library and starts it, as the
    // library's own loop would, on our acceptor: the library's accept path
    // hides the error ("Underlying Transport Error") and, at the first
    // failure, makes checks that need a descriptor of their own.
    void accept_next(Listener& l) {
        if (!l.acceptor || !l.acceptor->is_open()) return;
        if (!l.con) l.con = m_server.get_connection();
        if (!l.con) {
            retry_accept(l, "cannot make a connection object");
            return;
        }
        l.acceptor->async_accept(l.con->get_raw_socket(),
                                 [this, &l, run = m_acceptRun, con = l.con](const boost::system::error_code& ec) {
                                     if (run == m_acceptRun) {
                                         on_accepted(l, ec);
                                     } else {
                                         con->terminate(websocketpp::lib::error_code());
                                     }
                                 });
    }

    void on_accepted(Listener& l, const boost::system::error_code& ec) {
        if (!ec) {
            l.pause = milliseconds(0);
            auto con = std::move(l.con);
            l.con.reset();
            if (foreign_peer(con)) {
                accept_next(l);
                return;
            }
            con->start();
            accept_next(l);
            return;
        }
        if (m_stopping || ec.value() == ECANCELED || !l.acceptor || !l.acceptor->is_open()) {
            if (l.con) l.con->terminate(websocketpp::lib::error_code());
            l.con.reset();
            return;
        }
        // Typically no descriptor is left ("Too many open files"); the
        // connection object is kept for the next attempt, after a pause.
        retry_accept(l, ec.message());
    }

    void close_acceptors() {
        for (auto& l : m_listeners) {
            boost::system::error_code ignored;
            if (l->acceptor) l->acceptor->close(ignored);
            if (l->timer) l->timer->cancel();
        }
    }

    void retry_accept(Listener& l, const std::string& why) {
        l.pause = l.pause.count() == 0 ? m_timings.acceptPauseFirst : std::min(l.pause * 2, m_timings.acceptPauseLast);
        m_acceptFailures.Note(why + "; next attempt in " + std::to_string(l.pause.count()) + " ms");
        l.timer->expires_after(l.pause);
        // The run is compared before the listener is touched: a wait that an
        // earlier Stop cancelled can complete in the next run.
        l.timer->async_wait([this, &l, run = m_acceptRun](const boost::system::error_code& timerError) {
            if (!timerError && run == m_acceptRun && !m_stopping) accept_next(l);
        });
    }

    // Opens, binds and listens on one address. Closed pages leave the port in
    // TIME_WAIT for a minute, and a bridge restarted meanwhile must still get
    // it: address reuse is on. A port another program listens on stays
    // refused. The platform's longest backlog, as the library would set it.
    boost::system::error_code listen_on(const std::string& text, uint16_t port) {
        boost::system::error_code ec;
        const auto address = boost::asio::ip::make_address(text, ec);
        if (ec) return ec;
        const boost::asio::ip::tcp::endpoint endpoint(address, port);
        auto l = std::make_unique<Listener>();
        l->address = text;
        l->acceptor = std::make_unique<boost::asio::ip::tcp::acceptor>(m_server.get_io_service());
        l->acceptor->open(endpoint.protocol(), ec);
        // Beside other addresses, "::" must leave the IPv4 ones to them.
        if (!ec && address.is_v6() && !m_config.more_addresses.empty())
            l->acceptor->set_option(boost::asio::ip::v6_only(true), ec);
        if (!ec) set_listen_address_options(*l->acceptor, ec);
        if (!ec) l->acceptor->bind(endpoint, ec);
        if (!ec) l->acceptor->listen(boost::asio::socket_base::max_listen_connections, ec);
        if (ec) return ec;
        l->timer = std::make_unique<boost::asio::steady_timer>(m_server.get_io_service());
        m_listeners.push_back(std::move(l));
        return ec;
    }

    // Every address of the configuration on one port (the first one's, when
    // it was 0). "" when listening, else the one-line reason; nothing stays
    // open then.
    std::string listen_all() {
        std::vector<std::string> addresses{m_config.address};
        addresses.insert(addresses.end(), m_config.more_addresses.begin(), m_config.more_addresses.end());
        uint16_t port = m_config.port;
        std::vector<std::string> missing;  // address families this machine lacks
        std::string failure;
        for (const std::string& address : addresses) {
            const boost::system::error_code ec = listen_on(address, port);
            if (!ec) {
                boost::system::error_code ignored;
                if (port == 0) port = m_listeners.back()->acceptor->local_endpoint(ignored).port();
                continue;
            }
            if (ec.category() == boost::system::system_category() &&
                (ec.value() == EAFNOSUPPORT || ec.value() == EADDRNOTAVAIL)) {
                missing.push_back(address + " (" + ec.message() + ")");
                continue;
            }
            m_portTaken = port_held_elsewhere(ec);
            failure = "cannot listen on " + address + " port " + std::to_string(port) + ": " + ec.message();
            break;
        }
        if (failure.empty() && m_listeners.empty())
            failure = "cannot listen on " + m_config.address + " port " + std::to_string(port) + ": " +
                      (missing.empty() ? std::string("no address") : missing.front());
        if (!failure.empty()) {
            close_acceptors();
            m_listeners.clear();
            return failure;
        }
        for (const std::string& left : missing) diag_verbose("not listening on " + left);
        m_port = port;
        return "";
    }

    // --- Pages (server thread) -------------------------------------------------

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
        // Info lines include one per failed accept; ours are throttled.
        m_server.set_error_channels(websocketpp::log::elevel::all ^ websocketpp::log::elevel::devel ^
                                    websocketpp::log::elevel::info);
    }

    // A loopback peer of another user is closed before any byte is read.
    bool foreign_peer(const server_t::connection_ptr& con) {
        if (!m_config.peer_filter) return false;
        std::string who;
        try {
            who = m_config.peer_filter(con->get_raw_socket().native_handle());
        } catch (const std::exception& e) {
            who = std::string("owner unknown: ") + e.what();
        }
        if (who.empty()) return false;
        m_foreignPeers.Note(who);
        boost::system::error_code ignored;
        con->get_raw_socket().close(ignored);
        return true;
    }

    void on_open(connection_hdl handle) {
        log_line("Connection opened");
        m_admitted.erase(handle);
        PageAdmission admission = PageAdmission::Serve;
        std::string origin;
        websocketpp::lib::error_code ec;
        auto con = m_server.get_con_from_hdl(handle, ec);
        if (!ec && m_config.origin_gate) {
            origin = con->get_request_header("Origin");
            if (!(m_config.accept_own_origins && is_own_origin(origin)))
                admission = m_config.origin_gate->Open(origin, !origin.empty());
        }
        MutexLock lock(m_connections_mutex);
        Page& page = m_connections[handle];
        page.id = ++m_lastPage;
        page.origin = origin;
        if (admission == PageAdmission::Serve) {
            deliver_locked(handle, "0304");
        } else if (admission == PageAdmission::Hold) {
            page.held = true;
        } else if (!ec) {
            con->close(websocketpp::close::status::policy_violation, kNotTrusted, ec);
        }
    }

    // The user allowed origin: its held pages are greeted and their kept
    // frames run in order, as if they had just arrived.
    void release_origin(const std::string& origin) {
        std::vector<std::pair<connection_hdl, std::vector<std::string>>> released;
        {
            MutexLock lock(m_connections_mutex);
            for (auto& [handle, page] : m_connections) {
                if (!page.held || page.origin != origin) continue;
                page.held = false;
                deliver_locked(handle, "0304");
                released.emplace_back(handle, std::move(page.kept));
                page.kept.clear();
            }
        }
        for (auto& [handle, frames] : released)
            for (const std::string& payload : frames) run_frame(handle, payload);
    }

    void close_origin(const std::string& origin) {
        MutexLock lock(m_connections_mutex);
        for (auto& [handle, page] : m_connections) {
            if (page.origin != origin) continue;
            page.kept.clear();
            websocketpp::lib::error_code ec;
            m_server.close(handle, websocketpp::close::status::policy_violation, kNotTrusted, ec);
        }
    }

    void on_close(connection_hdl handle) {
        log_line("Connection closed");
        bool overflowed = false;
        std::string heldOrigin;
        {
            MutexLock lock(m_connections_mutex);
            auto page = m_connections.find(handle);
            if (page == m_connections.end()) return;
            overflowed = page->second.overflowed;
            if (page->second.held) heldOrigin = page->second.origin;
            m_connections.erase(page);
        }
        if (!heldOrigin.empty() && m_config.origin_gate) m_config.origin_gate->HeldPageClosed(heldOrigin);
        if (overflowed) release_memory_soon();
    }

    // The unsent texts of a page closed for passing its cap are thousands of
    // small blocks; once the connection is gone (its last handlers run just
    // after the close), hand the freed heap back, so that the bridge returns
    // to its size from before.
    void release_memory_soon() {
        m_trimTimer->expires_after(std::chrono::seconds(1));
        m_trimTimer->async_wait([](const boost::system::error_code& ec) {
            if (!ec) release_free_heap();
        });
    }

    void on_fail(connection_hdl handle) { m_admitted.erase(handle); }

    void on_message(connection_hdl handle, message_ptr message) {
        const std::string& payload = message->get_payload();
        log_line("Received message: " + escape_for_log(payload));
        Registry& registry = registry_on_server_thread();
        auto held = registry.find(handle);
        if (held != registry.end() && held->second.held) {
            if (held->second.kept.size() < kMaxKeptFrames) {
                held->second.kept.push_back(payload);
                return;
            }
            websocketpp::lib::error_code ec;
            m_server.close(handle, websocketpp::close::status::policy_violation, "too many frames before an answer",
                           ec);
            return;
        }
        run_frame(handle, payload);
    }

    void run_frame(connection_hdl handle, const std::string& payload) {
        uint8_t buffer[COMMAND_BUFFER_SIZE];
        std::string error;
        if (!fill_command_buffer(payload, buffer, &error)) {
            // A page's malformed message must not take the server down for the others.
            log_line("Decode failed: " + error);
            return;
        }
        Registry& registry = registry_on_server_thread();
        auto page = registry.find(handle);
        const PageId id = page != registry.end() ? page->second.id : 0;
        size_t waiting = 0;
        try {
            waiting = m_target->HandleFrame(buffer, id);
        } catch (const std::exception& e) {
            diag_error(std::string("message handler failed: ") + e.what());
        }
        if (waiting < kPageFrameLimit || page == registry.end() || page->second.paused) return;
        websocketpp::lib::error_code ec;
        auto con = m_server.get_con_from_hdl(handle, ec);
        if (ec) return;
        // At once, not posted as pause_reading() would: the rest of the
        // frames already read are still handed on, and no further read is
        // started, so that resuming never starts a second one.
        con->handle_pause_reading();
        page->second.paused = con;
    }

    void resume(PageId id) {
        for (auto& entry : registry_on_server_thread()) {
            if (entry.second.id != id) continue;
            if (!entry.second.paused) return;
            // Dispatched on this thread: the read it starts holds the connection.
            entry.second.paused->resume_reading();
            entry.second.paused.reset();
            return;
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
};

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

void WebSocketServer::broadcast_text(const std::string& text) {
    Impl& s = *m_impl;
    MutexLock lock(s.m_outbox_mutex);
    if (!s.m_serving) return;  // no page to send to
    s.m_outbox.push_back(text);
    if (s.m_flushPosted) return;
    s.m_flushPosted = true;
    boost::asio::post(s.m_server.get_io_service(), [&s] { s.flush_outbox(); });
}

void WebSocketServer::ReleaseOrigin(const std::string& origin) {
    Impl& s = *m_impl;
    s.post_to_loop([&s, origin] { s.release_origin(origin); });
}

void WebSocketServer::CloseOrigin(const std::string& origin) {
    Impl& s = *m_impl;
    s.post_to_loop([&s, origin] { s.close_origin(origin); });
}

void WebSocketServer::resume_page(PageId page) {
    Impl& s = *m_impl;
    s.post_to_loop([&s, page] { s.resume(page); });
}

void WebSocketServer::close_all_connections(uint16_t status) {
    Impl& s = *m_impl;
    s.post_to_loop([&s, status] {
        MutexLock lock(s.m_connections_mutex);
        for (const auto& entry : s.m_connections) {
            websocketpp::lib::error_code ec;
            s.m_server.close(entry.first, status, "", ec);
            // A connection already closing reports an error here; shutdown goes on.
        }
    });
}

size_t WebSocketServer::open_connection_count() {
    Impl& s = *m_impl;
    MutexLock lock(s.m_connections_mutex);
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
    MutexLock lock(s.m_connections_mutex);
    s.m_connections.clear();
}

}  // namespace orvex
