#include "bridge/WebSocketServer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include <boost/asio/steady_timer.hpp>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "bridge/Inbound.h"
#include "platform/Log.h"
#include "platform/Portable.h"

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
        std::lock_guard<std::mutex> lock(m_mutex);
        if (channels == names::none) {
            m_dynamic = 0;
            return;
        }
        m_dynamic |= channels & m_static;
    }
    void clear_channels(level channels) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dynamic &= ~channels;
    }
    // Drops the next line of the channel that ends with suffix (a line the
    // bridge reports itself, in fewer words).
    void drop_next(level channel, const std::string& suffix) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if ((channel & m_dynamic) != 0 && m_drops.size() < kMaxDrops) m_drops.push_back({channel, suffix});
    }
    void write(level channel, const std::string& message) {
        std::lock_guard<std::mutex> lock(m_mutex);
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
        if (!local_time(now, &local) ||
            std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0) std::strcpy(stamp, "Unknown");
        *m_out << "[" << stamp << "] [" << names::channel_name(channel) << "] " << escape_for_log(message) << "\n";
        m_out->flush();
    }
    void write(level channel, const char* message) { write(channel, std::string(message)); }
    constexpr bool static_test(level channel) const { return (channel & m_static) != 0; }
    bool dynamic_test(level channel) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return (channel & m_dynamic) != 0;
    }

private:
    static constexpr size_t kMaxDrops = 4096;
    std::mutex m_mutex;
    const level m_static;
    level m_dynamic = 0;
    std::ostream* m_out;
    std::vector<std::pair<level, std::string>> m_drops;
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
constexpr milliseconds kFirstAcceptPause{100};
constexpr milliseconds kLastAcceptPause{1000};

// One diagnostic line per second at most for an event that can repeat
// thousands of times a second: the first at once, the later ones counted
// and reported in one line when the second is over. Server thread only.
class ThrottledDiag {
public:
    using Format = std::function<std::string(unsigned count, const std::string& latest)>;
    explicit ThrottledDiag(Format format) : m_format(std::move(format)) {}

    void Attach(boost::asio::io_context& io) { m_timer = std::make_unique<boost::asio::steady_timer>(io); }
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
        m_quietUntil = now + std::chrono::seconds(1);
    }

    Format m_format;
    std::unique_ptr<boost::asio::steady_timer> m_timer;
    unsigned m_count = 0;
    std::string m_latest;
    Clock::time_point m_quietUntil{};
    bool m_armed = false;
};

}  // namespace

struct WebSocketServer::Impl {
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
    };
    // The registry of open pages. m_connections_mutex is held for one whole
    // greeting, delivery of texts, registry change or close-all, and never
    // while another lock of the bridge is held. Every change and every send
    // happens on the server thread: the library counts a connection's unsent
    // bytes without a lock, so only the thread that also writes them may
    // read that count.
    std::map<connection_hdl, Page, std::owner_less<connection_hdl>> m_connections;
    std::mutex m_connections_mutex;
    // Handshakes let through and not yet open; they count against max_pages.
    // Server thread only.
    std::set<connection_hdl, std::owner_less<connection_hdl>> m_admitted;
    PageId m_lastPage = 0;

    // Texts broadcast from any thread, delivered by the server thread in this
    // order. m_outbox_mutex is only ever held alone.
    std::mutex m_outbox_mutex;
    std::deque<std::string> m_outbox;
    bool m_flushPosted = false;
    bool m_serving = false;  // the loop runs and takes posted work

    ServerConfig m_config;
    FrameTarget* m_target = nullptr;
    std::thread m_thread;
    std::promise<std::string>* m_listenResult = nullptr;  // "" when listening
    std::atomic<bool> m_stopping{false};
    std::atomic<uint16_t> m_port{0};
    bool m_asioInitialised = false;

    // Our accept loop (server thread): the library's accepts again at once
    // after a failure, which spins and floods the log while descriptors are
    // exhausted.
    std::unique_ptr<boost::asio::ip::tcp::acceptor> m_acceptor;
    server_t::connection_ptr m_acceptCon;
    // Counts the runs of the server: an accept handler of an acceptor that an
    // earlier Stop closed may still run after the next Start, and must then
    // leave the new run's accept alone.
    uint64_t m_acceptRun = 0;
    std::unique_ptr<boost::asio::steady_timer> m_acceptTimer;
    std::unique_ptr<boost::asio::steady_timer> m_trimTimer;
    milliseconds m_acceptPause{0};
    ThrottledDiag m_acceptFailures{[](unsigned count, const std::string& latest) {
        return "cannot accept a connection" + (count > 1 ? " (" + std::to_string(count) + " times)" : std::string()) +
               ": " + latest;
    }};
    ThrottledDiag m_refusals{[this](unsigned count, const std::string& open) {
        return std::to_string(count) + (count == 1 ? " handshake" : " handshakes") + " refused: " + open +
               " pages open (limit " + std::to_string(m_config.max_pages) + ")";
    }};

    // --- Sending (server thread) ---------------------------------------------

    // Queues one text on one page, unless the page is closing or its unsent
    // texts would pass the cap: then it is closed with 1008 and one line.
    // Called with m_connections_mutex held.
    void deliver_locked(connection_hdl handle, const std::string& text) {
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
            std::lock_guard<std::mutex> lock(m_outbox_mutex);
            size_t bytes = 0;
            while (!m_outbox.empty() && bytes < kFlushSlice) {
                bytes += m_outbox.front().size();
                texts.push_back(std::move(m_outbox.front()));
                m_outbox.pop_front();
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_connections_mutex);
            for (const auto& text : texts)
                for (const auto& entry : m_connections) deliver_locked(entry.first, text);
        }
        std::lock_guard<std::mutex> lock(m_outbox_mutex);
        m_flushPosted = !m_outbox.empty() && m_serving;
        if (m_flushPosted) boost::asio::post(m_server.get_io_service(), [this] { flush_outbox(); });
    }

    void post_to_loop(std::function<void()> work) {
        std::lock_guard<std::mutex> lock(m_outbox_mutex);
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

    bool admit(connection_hdl handle) {
        websocketpp::lib::error_code ec;
        auto con = m_server.get_con_from_hdl(handle, ec);
        if (ec) return false;
        if (!m_config.allowed_origins.empty() && !origin_allowed(con)) return false;
        size_t open;
        {
            std::lock_guard<std::mutex> lock(m_connections_mutex);
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
    void accept_next() {
        if (!m_acceptor || !m_acceptor->is_open()) return;
        if (!m_acceptCon) m_acceptCon = m_server.get_connection();
        if (!m_acceptCon) {
            retry_accept("cannot make a connection object");
            return;
        }
        m_acceptor->async_accept(m_acceptCon->get_raw_socket(),
                                 [this, run = m_acceptRun, con = m_acceptCon](const boost::system::error_code& ec) {
                                     if (run == m_acceptRun) {
                                         on_accepted(ec);
                                     } else {
                                         con->terminate(websocketpp::lib::error_code());
                                     }
                                 });
    }

    void on_accepted(const boost::system::error_code& ec) {
        if (!ec) {
            m_acceptPause = milliseconds(0);
            auto con = std::move(m_acceptCon);
            m_acceptCon.reset();
            con->start();
            accept_next();
            return;
        }
        if (m_stopping || ec.value() == ECANCELED || !m_acceptor || !m_acceptor->is_open()) {
            if (m_acceptCon) m_acceptCon->terminate(websocketpp::lib::error_code());
            m_acceptCon.reset();
            return;
        }
        // Typically no descriptor is left ("Too many open files"); the
        // connection object is kept for the next attempt, after a pause.
        retry_accept(ec.message());
    }

    void close_acceptor() {
        boost::system::error_code ignored;
        if (m_acceptor) m_acceptor->close(ignored);
    }

    void retry_accept(const std::string& why) {
        m_acceptPause = m_acceptPause.count() == 0 ? kFirstAcceptPause : std::min(m_acceptPause * 2, kLastAcceptPause);
        m_acceptFailures.Note(why + "; next attempt in " + std::to_string(m_acceptPause.count()) + " ms");
        m_acceptTimer->expires_after(m_acceptPause);
        m_acceptTimer->async_wait([this](const boost::system::error_code& timerError) {
            if (!timerError && !m_stopping) accept_next();
        });
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

    void on_open(connection_hdl handle) {
        log_line("Connection opened");
        m_admitted.erase(handle);
        std::lock_guard<std::mutex> lock(m_connections_mutex);
        m_connections[handle].id = ++m_lastPage;
        deliver_locked(handle, "0304");
    }

    void on_close(connection_hdl handle) {
        log_line("Connection closed");
        bool overflowed = false;
        {
            std::lock_guard<std::mutex> lock(m_connections_mutex);
            auto page = m_connections.find(handle);
            if (page == m_connections.end()) return;
            overflowed = page->second.overflowed;
            m_connections.erase(page);
        }
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
        uint8_t buffer[COMMAND_BUFFER_SIZE];
        std::string error;
        if (!fill_command_buffer(payload, buffer, &error)) {
            // A page's malformed message must not take the server down for the others.
            log_line("Decode failed: " + error);
            return;
        }
        auto page = m_connections.find(handle);  // only this thread changes the registry
        const PageId id = page != m_connections.end() ? page->second.id : 0;
        size_t waiting = 0;
        try {
            waiting = m_target->HandleFrame(buffer, id);
        } catch (const std::exception& e) {
            diag_error(std::string("message handler failed: ") + e.what());
        }
        if (waiting < kPageFrameLimit || page == m_connections.end() || page->second.paused) return;
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
        for (auto& entry : m_connections) {
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
            configure_logs();
            if (!m_asioInitialised) {
                m_server.init_asio();
                m_asioInitialised = true;
                m_acceptTimer = std::make_unique<boost::asio::steady_timer>(m_server.get_io_service());
                m_trimTimer = std::make_unique<boost::asio::steady_timer>(m_server.get_io_service());
                m_acceptFailures.Attach(m_server.get_io_service());
                m_refusals.Attach(m_server.get_io_service());
            }
            m_server.reset();  // a loop stopped earlier must run again
            m_acceptCon.reset();
            ++m_acceptRun;
            m_acceptPause = milliseconds(0);
            m_admitted.clear();

            boost::system::error_code addressError;
            const auto address = boost::asio::ip::make_address(m_config.address, addressError);
            if (addressError) {
                report(listen_error(addressError.message()));
                return 0;
            }
            const boost::asio::ip::tcp::endpoint endpoint(address, m_config.port);
            // Our own acceptor, with the platform's longest backlog, as the
            // library would set it up; it names a failed bind's cause. Closed
            // pages leave the port in TIME_WAIT for a minute, and a bridge
            // restarted meanwhile must still get it: address reuse is on. A
            // port another program listens on stays refused.
            boost::system::error_code listenError;
            m_acceptor = std::make_unique<boost::asio::ip::tcp::acceptor>(m_server.get_io_service());
            m_acceptor->open(endpoint.protocol(), listenError);
            if (!listenError) set_listen_address_options(*m_acceptor, listenError);
            if (!listenError) m_acceptor->bind(endpoint, listenError);
            if (!listenError) m_acceptor->listen(boost::asio::socket_base::max_listen_connections, listenError);
            if (listenError) {
                report(listen_error(listenError.message()));
                m_acceptor.reset();
                return 0;
            }
            m_port = m_acceptor->local_endpoint(listenError).port();
            accept_next();
            {
                std::lock_guard<std::mutex> lock(m_outbox_mutex);
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
    std::lock_guard<std::mutex> lock(s.m_outbox_mutex);
    if (!s.m_serving) return;  // no page to send to
    s.m_outbox.push_back(text);
    if (s.m_flushPosted) return;
    s.m_flushPosted = true;
    boost::asio::post(s.m_server.get_io_service(), [&s] { s.flush_outbox(); });
}

void WebSocketServer::resume_page(PageId page) {
    Impl& s = *m_impl;
    s.post_to_loop([&s, page] { s.resume(page); });
}

void WebSocketServer::close_all_connections() {
    Impl& s = *m_impl;
    s.post_to_loop([&s] {
        std::lock_guard<std::mutex> lock(s.m_connections_mutex);
        for (const auto& entry : s.m_connections) {
            websocketpp::lib::error_code ec;
            s.m_server.close(entry.first, websocketpp::close::status::normal, "", ec);
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
    s.post_to_loop([&s, stopped] {
        // The accept cancelled by shutdown is no failure worth a log line.
        s.m_server.clear_access_channels(websocketpp::log::alevel::fail);
        s.m_acceptTimer->cancel();
        s.m_trimTimer->cancel();
        s.m_acceptFailures.Detach();
        s.m_refusals.Detach();
        s.close_acceptor();
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
        std::lock_guard<std::mutex> lock(s.m_outbox_mutex);
        s.m_serving = false;
        s.m_outbox.clear();
        s.m_flushPosted = false;
    }
    s.m_server.stop();
    s.m_thread.join();
    if (!listenerStopped) {
        s.close_acceptor();
        s.m_acceptTimer->cancel();
        s.m_acceptFailures.Detach();
        s.m_refusals.Detach();
    }
    s.m_port = 0;
    std::lock_guard<std::mutex> lock(s.m_connections_mutex);
    s.m_connections.clear();
}

}  // namespace orvex
