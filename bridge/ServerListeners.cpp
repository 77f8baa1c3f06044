// Listening on every configured address and accepting on our own loop, with
// a back-off when descriptors run out, and the peer filter before any byte
// is read.
#include <cerrno>

#include "bridge/ServerImpl.h"
#include "platform/Log.h"

namespace orvex {

// Accepts into a connection object of the library and starts it, as the
// library's own loop would, on our acceptor: the library's accept path
// hides the error ("Underlying Transport Error") and, at the first
// failure, makes checks that need a descriptor of their own.
void WebSocketServer::Impl::accept_next(Listener& l) {
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

void WebSocketServer::Impl::on_accepted(Listener& l, const boost::system::error_code& ec) {
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

void WebSocketServer::Impl::close_acceptors() {
    for (auto& l : m_listeners) {
        boost::system::error_code ignored;
        if (l->acceptor) l->acceptor->close(ignored);
        if (l->timer) l->timer->cancel();
    }
}

void WebSocketServer::Impl::retry_accept(Listener& l, const std::string& why) {
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
boost::system::error_code WebSocketServer::Impl::listen_on(const std::string& text, uint16_t port) {
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
std::string WebSocketServer::Impl::listen_all() {
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

// A loopback peer of another user is closed before any byte is read.
bool WebSocketServer::Impl::foreign_peer(const server_t::connection_ptr& con) {
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

std::string WebSocketServer::Impl::listen_error(const std::string& why) const {
    return "cannot listen on " + m_config.address + " port " + std::to_string(m_config.port) + ": " + why;
}

}  // namespace orvex
