// The login-session seam: whether the bridge's session is the one in front.
// Backends: logind on the system bus (platform/linux), and "always active"
// where there is no session to follow.
#pragma once

#include <boost/asio/io_context.hpp>
#include <functional>
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
};

// No session to follow: always active, never a change.
class AlwaysActiveSession final : public SessionWatch {
public:
    void start(boost::asio::io_context&, Handler) override {}
    void stop() override {}
    bool active() const override { return true; }
    std::string id() const override { return ""; }
};

}  // namespace orvex
