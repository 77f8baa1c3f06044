// Which handshakes become pages: the origin gate, the served pages' limit,
// plain HTTP answers, and the pages held until the user answers.
#include "bridge/ServerImpl.h"
#include "platform/Log.h"

namespace orvex {

bool WebSocketServer::Impl::origin_allowed(const server_t::connection_ptr& con) {
    const std::string origin = con->get_origin();
    const auto& allowed = m_config.allowed_origins;
    if (std::find(allowed.begin(), allowed.end(), origin) != allowed.end()) return true;
    if (m_config.accept_own_origins && is_own_origin(origin)) return true;
    con->set_status(websocketpp::http::status_code::forbidden);
    return false;
}

// Pages served from this very port. Known only once listening (port 0).
bool WebSocketServer::Impl::is_own_origin(const std::string& origin) const {
    const std::string port = ":" + std::to_string(m_port.load());
    std::string address = m_config.address;
    if (address.find(':') != std::string::npos) address = "[" + address + "]";
    for (const std::string& host : {std::string("localhost"), std::string("127.0.0.1"), std::string("[::1]"), address})
        if (origin == "http://" + host + port) return true;
    return false;
}

void WebSocketServer::Impl::on_http(connection_hdl handle) {
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

// Answers the handshake with status; the line that says why is ours, not
// the library's two.
bool WebSocketServer::Impl::refuse(const server_t::connection_ptr& con, websocketpp::http::status_code::value status) {
    con->set_status(status);
    const std::string code = std::to_string(static_cast<int>(status));
    m_server.get_elog().drop_next(websocketpp::log::elevel::rerror, "Handshake ended with HTTP error: " + code);
    m_server.get_alog().drop_next(websocketpp::log::alevel::fail, " " + code + " websocketpp:27 Connection rejected");
    return false;
}

// Pages served or about to be: the ones max_pages counts.
size_t WebSocketServer::Impl::served_pages() {
    size_t served = 0;
    for (const auto& entry : registry_on_server_thread()) served += entry.second.held ? 0 : 1;
    for (const auto& entry : m_admitted) served += entry.second.held ? 0 : 1;
    return served;
}

bool WebSocketServer::Impl::admit(connection_hdl handle) {
    websocketpp::lib::error_code ec;
    auto con = m_server.get_con_from_hdl(handle, ec);
    if (ec) return false;
    Admitted admitted;
    if (m_config.origin_gate) {
        const std::string origin = con->get_request_header("Origin");
        admitted.key = origin;
        PageAdmission admission = PageAdmission::Serve;
        if (!(m_config.accept_own_origins && is_own_origin(origin)))
            admission = m_config.origin_gate->Handshake(origin, !origin.empty(), &admitted.key);
        if (admission == PageAdmission::Refuse) return refuse(con, websocketpp::http::status_code::forbidden);
        if (admission == PageAdmission::Busy) return refuse(con, websocketpp::http::status_code::service_unavailable);
        admitted.held = admission == PageAdmission::Hold;
    } else if (!m_config.allowed_origins.empty() && !origin_allowed(con)) {
        return false;
    }
    if (!admitted.held) {
        const size_t served = served_pages();
        if (served >= m_config.max_pages) {
            // Counted in our own line instead of one library line each.
            m_refusals.Note(std::to_string(served));
            return refuse(con, websocketpp::http::status_code::service_unavailable);
        }
    }
    m_admitted[handle] = std::move(admitted);
    return true;
}

void WebSocketServer::Impl::on_open(connection_hdl handle) {
    log_line("Connection opened");
    Admitted admitted;
    auto found = m_admitted.find(handle);
    if (found != m_admitted.end()) {
        admitted = std::move(found->second);
        m_admitted.erase(found);
    }
    PageAdmission admission = PageAdmission::Serve;
    websocketpp::lib::error_code ec;
    auto con = m_server.get_con_from_hdl(handle, ec);
    if (!ec && m_config.origin_gate) {
        const std::string origin = con->get_request_header("Origin");
        if (!(m_config.accept_own_origins && is_own_origin(origin))) {
            admission = m_config.origin_gate->Open(admitted.key, !origin.empty());
            // Trust taken back since the handshake: a page that no
            // budget counted must not wait.
            if (admission == PageAdmission::Hold && !admitted.held) admission = PageAdmission::Refuse;
        }
    }
    MutexLock lock(m_connections_mutex);
    Page& page = m_connections[handle];
    page.id = ++m_lastPage;
    page.origin = admitted.key;
    if (admission == PageAdmission::Serve) {
        deliver_locked(handle, "0304");
    } else if (admission == PageAdmission::Hold) {
        page.held = true;
        page.counted = true;
        // A held page keeps what it sends until the answer: no more than
        // the longest command a frame, longer ones close it (1009) before
        // the library reads them.
        if (!ec) con->set_max_message_size(kMaxCommandText);
    } else if (!ec) {
        con->close(websocketpp::close::status::policy_violation, kNotTrusted, ec);
    }
}

// The user allowed origin: its held pages are greeted and their kept
// frames run in order, as if they had just arrived.
void WebSocketServer::Impl::release_origin(const std::string& origin) {
    std::vector<std::pair<connection_hdl, std::vector<std::string>>> released;
    {
        MutexLock lock(m_connections_mutex);
        for (auto& [handle, page] : m_connections) {
            if (!page.held || page.origin != origin) continue;
            page.held = false;
            websocketpp::lib::error_code ec;
            auto con = m_server.get_con_from_hdl(handle, ec);
            if (!ec) con->set_max_message_size(MAX_MESSAGE_SIZE);
            deliver_locked(handle, "0304");
            released.emplace_back(handle, std::move(page.kept));
            page.kept.clear();
        }
    }
    for (auto& [handle, frames] : released)
        for (const std::string& payload : frames) run_frame(handle, payload);
}

void WebSocketServer::Impl::close_origin(const std::string& origin) {
    MutexLock lock(m_connections_mutex);
    for (auto& [handle, page] : m_connections) {
        if (page.origin != origin) continue;
        page.kept.clear();
        page.counted = false;
        websocketpp::lib::error_code ec;
        m_server.close(handle, websocketpp::close::status::policy_violation, kNotTrusted, ec);
    }
}

void WebSocketServer::Impl::on_close(connection_hdl handle) {
    log_line("Connection closed");
    bool overflowed = false;
    std::string heldOrigin;
    {
        MutexLock lock(m_connections_mutex);
        auto page = m_connections.find(handle);
        if (page == m_connections.end()) return;
        overflowed = page->second.overflowed;
        if (page->second.held && page->second.counted) heldOrigin = page->second.origin;
        m_connections.erase(page);
    }
    if (!heldOrigin.empty() && m_config.origin_gate) m_config.origin_gate->HeldPageClosed(heldOrigin);
    if (overflowed) release_memory_soon();
}

void WebSocketServer::Impl::on_fail(connection_hdl handle) {
    auto found = m_admitted.find(handle);
    if (found == m_admitted.end()) return;
    const Admitted admitted = std::move(found->second);
    m_admitted.erase(found);
    if (admitted.held && m_config.origin_gate) m_config.origin_gate->HeldPageClosed(admitted.key);
}

void WebSocketServer::Impl::on_message(connection_hdl handle, message_ptr message) {
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
        m_server.close(handle, websocketpp::close::status::policy_violation, "too many frames before an answer", ec);
        return;
    }
    run_frame(handle, payload);
}

void WebSocketServer::ReleaseOrigin(const std::string& origin) {
    Impl& s = *m_impl;
    s.post_to_loop([&s, origin] { s.release_origin(origin); });
}

void WebSocketServer::CloseOrigin(const std::string& origin) {
    Impl& s = *m_impl;
    s.post_to_loop([&s, origin] { s.close_origin(origin); });
}

}  // namespace orvex
