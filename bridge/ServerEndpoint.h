// The page server's WebSocket endpoint as the bridge configures it, and the
// logging policy around it: the library's log lines escaped like every page
// text, and repeated diagnostics throttled. Only the page server's own files
// include it; the rest of the bridge never sees the network library.
#pragma once

#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "platform/Log.h"
#include "platform/Portable.h"
#include "platform/ThreadSafety.h"
#include "platform/Timings.h"

namespace orvex::server {

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

}  // namespace orvex::server
