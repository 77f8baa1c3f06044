#include "platform/linux/UdevMonitor.h"

namespace orvex {

UdevMonitor::~UdevMonitor() { stop(); }

bool UdevMonitor::start(boost::asio::io_context&, Handler) {
    // Hot-plug arrives with its own change; until then nothing is watched.
    return false;
}

void UdevMonitor::stop() {}

}  // namespace orvex
