// The login-session seam on Windows: the bridge's session serves while it is
// connected, at the console or remotely, and steps aside while another
// user's session has the console (fast user switching). The hidden main
// window hears the changes (WTSRegisterSessionNotification); they reach the
// bridge as logind's do on Linux.
#pragma once

#include <memory>
#include <string>

#include "platform/SessionWatch.h"

namespace orvex {

// This process's session and whether it is connected (WTSActive), as Find
// takes them; false with the reason when the system cannot tell the session.
bool LookUpThisSession(unsigned long* id, bool* connected, std::string* why);

class WinSession final : public SessionWatch {
public:
    WinSession();
    ~WinSession() override;  // stop()
    WinSession(const WinSession&) = delete;
    WinSession& operator=(const WinSession&) = delete;

    // Finds this process's session and whether it is connected; false with
    // the reason when its changes cannot be heard (no hidden main window).
    bool Find(std::string* why);
    // remote() stays false: a remote session's connection is followed like
    // the console's.

    void start(boost::asio::io_context& loop, Handler handler) override;
    void stop() override;
    bool active() const override;
    std::string id() const override;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

}  // namespace orvex
