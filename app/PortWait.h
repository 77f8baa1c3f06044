// Listening, the last start-up step, where another program may hold the port:
// says once who holds it, then gives up or tries again with a growing pause.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <functional>
#include <string>

#include "app/COrvexDlg.h"
#include "bridge/PageServer.h"
#include "platform/Timings.h"

namespace orvex {

class PortWait {
public:
    // Who holds the port, as one phrase ("pid 12 (name, uid 1000)").
    using Describe = std::function<std::string(uint16_t port)>;
    // describe: null looks the holder up in /proc.
    PortWait(boost::asio::io_context& loop, COrvexDlg& dialog, PageServer& pages, const ServerConfig& server,
             Describe describe = nullptr);
    ~PortWait() { Cancel(); }
    PortWait(const PortWait&) = delete;
    PortWait& operator=(const PortWait&) = delete;

    enum class Outcome { Listening, Waiting, Failed };
    // Listens now. A held port is named once; with wait, listening is tried
    // again after first, the pause doubling up to last, until it succeeds
    // (onListening) or Cancel. Failed: the one-line reason in *error.
    Outcome Start(bool wait, Milliseconds first, Milliseconds last, std::string* error);
    void Cancel();
    bool waiting() const { return m_waiting; }

    std::function<void()> onListening;
    // While waiting: what for and for whom, once per held port.
    std::function<void(const std::string& status)> onWaiting;

private:
    Outcome Attempt(std::string* error);

    COrvexDlg& m_dialog;
    PageServer& m_pages;
    const ServerConfig m_server;
    Describe m_describe;
    boost::asio::steady_timer m_timer;
    unsigned m_generation = 0;
    bool m_wait = false;
    bool m_waiting = false;
    bool m_said = false;
    Milliseconds m_pause{0};
    Milliseconds m_last{0};
};

}  // namespace orvex
