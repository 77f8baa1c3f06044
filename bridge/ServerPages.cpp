// The registry of open pages: sending with its caps, broadcast in one order
// to every page, pausing and resuming a page the device side cannot keep up
// with.
#include "bridge/Inbound.h"
#include "bridge/ServerImpl.h"
#include "platform/Log.h"

namespace orvex {

// Queues one text on one page, unless the page is closing or its unsent
// texts would pass the cap: then it is closed with 1008 and one line.
// Called with m_connections_mutex held.
void WebSocketServer::Impl::deliver_locked(connection_hdl handle, const std::string& text) {
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
void WebSocketServer::Impl::flush_outbox() {
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

void WebSocketServer::Impl::post_to_loop(std::function<void()> work) {
    MutexLock lock(m_outbox_mutex);
    if (m_serving) boost::asio::post(m_server.get_io_service(), std::move(work));
}

void WebSocketServer::Impl::run_frame(connection_hdl handle, const std::string& payload) {
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

void WebSocketServer::Impl::resume(PageId id) {
    for (auto& entry : registry_on_server_thread()) {
        if (entry.second.id != id) continue;
        if (!entry.second.paused) return;
        // Dispatched on this thread: the read it starts holds the connection.
        entry.second.paused->resume_reading();
        entry.second.paused.reset();
        return;
    }
}

// The unsent texts of a page closed for passing its cap are thousands of
// small blocks; once the connection is gone (its last handlers run just
// after the close), hand the freed heap back, so that the bridge returns
// to its size from before.
void WebSocketServer::Impl::release_memory_soon() {
    m_trimTimer->expires_after(std::chrono::seconds(1));
    m_trimTimer->async_wait([](const boost::system::error_code& ec) {
        if (!ec) release_free_heap();
    });
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

}  // namespace orvex
