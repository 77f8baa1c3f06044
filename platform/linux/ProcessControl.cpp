#include <unistd.h>

#include <boost/asio/signal_set.hpp>
#include <csignal>

#include "platform/Native.h"
#include "platform/linux/PeerUid.h"
#include "platform/linux/ProcProbe.h"

namespace orvex {

void PrepareProcess() {
    std::signal(SIGPIPE, SIG_IGN);
}

struct StopRequests::State {
    explicit State(boost::asio::io_context& loop) : signals(loop, SIGINT, SIGTERM) {}
    boost::asio::signal_set signals;
};

StopRequests::StopRequests(boost::asio::io_context& loop) : m_state(std::make_shared<State>(loop)) {
    m_state->signals.async_wait([&loop](const boost::system::error_code& ec, int) {
        if (!ec) loop.stop();
    });
}

StopRequests::~StopRequests() {
    ShutdownDone();
}

void StopRequests::ShutdownDone() {}

PeerFilter NativePeerFilter() {
    return ForeignLoopbackPeer;
}

std::string DescribePortHolder(uint16_t port) {
    return DescribeHolder(FindPortHolder(port));
}

long CurrentUserId() {
    return static_cast<long>(getuid());
}

}  // namespace orvex
