#include "app/PortWait.h"

#include "platform/Log.h"
#include "platform/Native.h"

namespace orvex {

PortWait::PortWait(boost::asio::io_context& loop, COrvexDlg& dialog, PageServer& pages, const ServerConfig& server,
                   Describe describe)
    : m_dialog(dialog), m_pages(pages), m_server(server), m_describe(std::move(describe)), m_timer(loop) {
    if (!m_describe) m_describe = DescribePortHolder;
}

PortWait::Outcome PortWait::Start(bool wait, Milliseconds first, Milliseconds last, std::string* error) {
    Cancel();
    m_wait = wait;
    m_said = false;
    m_pause = first;
    m_last = last;
    return Attempt(error);
}

void PortWait::Cancel() {
    m_timer.cancel();
    ++m_generation;  // an expiry already queued is stale
    m_waiting = false;
}

PortWait::Outcome PortWait::Attempt(std::string* error) {
    std::string why;
    if (m_dialog.StartServer(m_server, &why)) {
        m_waiting = false;
        if (onListening) onListening();
        return Outcome::Listening;
    }
    if (!m_pages.port_taken()) {
        m_waiting = false;
        *error = why;
        return Outcome::Failed;
    }
    if (!m_said) {
        // Once: the holder rarely changes between attempts, and a bridge
        // waiting for hours must not fill the journal.
        m_said = true;
        const std::string holder = "held by " + m_describe(m_server.port);
        if (!m_wait) {
            *error = why + "; " + holder;
            return Outcome::Failed;
        }
        diag_warning(why + "; " + holder + "; waiting for it to be free");
        if (onWaiting) onWaiting("waiting for port " + std::to_string(m_server.port) + ", " + holder);
    }
    m_waiting = true;
    m_timer.expires_after(m_pause);
    m_pause = std::min(m_pause * 2, m_last);
    m_timer.async_wait([this, generation = m_generation](const boost::system::error_code& ec) {
        if (ec || generation != m_generation) return;
        std::string failure;
        if (Attempt(&failure) == Outcome::Failed) diag_error(failure);
    });
    return Outcome::Waiting;
}

}  // namespace orvex
