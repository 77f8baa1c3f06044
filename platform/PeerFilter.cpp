#include "platform/PeerFilter.h"

#include <atomic>

#include "platform/Log.h"

namespace orvex {

std::string ServeUnknownPeer() {
    static std::atomic<bool> warned{false};
    if (!warned.exchange(true))
        diag_warning("cannot tell which user a loopback page belongs to; serving every local user");
    return "";
}

}  // namespace orvex
