// The login session through logind on the system bus: the session named by
// XDG_SESSION_ID, else the user's display session. Followed on the main loop
// through the bus connection's descriptor, so that it costs no thread and no
// wake-up while nothing changes.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/SessionWatch.h"

namespace sdbus {
class IConnection;
}

namespace orvex {

// One look at a session, as --check and the watch take it.
struct LoginSessionInfo {
    bool found = false;
    std::string why;  // when not found: why there is no session to follow
    std::string id;
    std::string path;
    bool active = true;
    bool remote = false;
};

// Looks the session up on the system bus (DBUS_SYSTEM_BUS_ADDRESS, else the
// usual socket), each call bounded by timeout. Nothing is kept.
LoginSessionInfo LookUpLoginSession(uid_t uid, std::chrono::milliseconds timeout);

class LogindSession final : public SessionWatch {
public:
    explicit LogindSession(std::chrono::milliseconds callTimeout = std::chrono::seconds(5));
    ~LogindSession() override;
    LogindSession(const LogindSession&) = delete;
    LogindSession& operator=(const LogindSession&) = delete;

    // Finds the session and subscribes to its changes; false with the reason
    // when there is none to follow (no bus, no logind, no session).
    bool Find(std::string* why);

    void start(boost::asio::io_context& loop, Handler handler) override;
    void stop() override;
    bool active() const override { return m_active.load(); }
    std::string id() const override { return m_info.id; }
    // A remote session's Active says nothing about who sits at the seat.
    bool remote() const override { return m_info.remote; }

private:
    void WaitForBus();
    void ProcessBus();
    void Deliver(Change change);
    void LoseBus(const std::string& why);

    const std::chrono::milliseconds m_timeout;
    LoginSessionInfo m_info;
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::vector<std::unique_ptr<void, std::function<void(void*)>>> m_matches;
    std::unique_ptr<boost::asio::posix::stream_descriptor> m_descriptor;
    boost::asio::io_context* m_loop = nullptr;
    Handler m_handler;
    std::atomic<bool> m_active{true};
    bool m_ended = false;
};

}  // namespace orvex
