// The device-change seam over a libudev monitor (source "udev", subsystem
// hidraw) whose descriptor the main loop watches.
#pragma once

#include "platform/DeviceMonitor.h"

namespace orvex {

class UdevMonitor final : public DeviceMonitor {
public:
    ~UdevMonitor() override;
    bool start(boost::asio::io_context& loop, Handler handler) override;
    void stop() override;
};

}  // namespace orvex
