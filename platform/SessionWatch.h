// The login-session seam: whether the bridge's session is the one in front.
// Backends: logind on the system bus (platform/linux), the hidden main
// window's session messages (platform/windows), and "always active" where
// there is no session to follow.
#pragma once

#include <boost/asio/io_context.hpp>
#include <functional>
#include <memory>
#include <string>

namespace orvex {

class SessionWatch {
public:
    enum class Change { Active, Inactive, Ended };
    using Handler = std::function<void(Change)>;
    virtual ~SessionWatch() = default;
    // Starts delivering changes to handler, always on the given loop's
    // thread; each change is delivered once.
    virtual void start(boost::asio::io_context& loop, Handler handler) = 0;
    virtual void stop() = 0;
    // Any thread.
    virtual bool active() const = 0;
    virtual std::string id() const = 0;  // "" when no session is followed
    // A remote session (ssh, a remote desktop) is never in front of a seat:
    // where the system says whether it is in front, a remote one's answer
    // is not followed.
    virtual bool remote() const { return false; }
};

// The session of this process as the system follows it (logind's on Linux;
// on Windows the one whose changes the hidden main window hears, so after
// StopRequests). Null with the reason when there is none to follow.
std::unique_ptr<SessionWatch> FindSystemSession(std::string* why);

// No session to follow: always active, never a change.
class AlwaysActiveSession final : public SessionWatch {
public:
    void start(boost::asio::io_context&, Handler) override {}
    void stop() override {}
    bool active() const override { return true; }
    std::string id() const override { return ""; }
};

}  // namespace orvex
