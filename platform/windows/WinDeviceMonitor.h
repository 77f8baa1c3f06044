// The device-change seam on Windows: a message-only window on a thread of its
// own, registered for device-interface arrivals and removals of every class
// (HID collections, USB devices, Bluetooth LE devices), whose paths become
// DeviceChange events on the loop.
#pragma once

#include <memory>

#include "platform/DeviceMonitor.h"

namespace orvex {

class WinDeviceMonitor final : public DeviceMonitor {
public:
    WinDeviceMonitor() = default;
    ~WinDeviceMonitor() override;  // stop()
    WinDeviceMonitor(const WinDeviceMonitor&) = delete;
    WinDeviceMonitor& operator=(const WinDeviceMonitor&) = delete;

    // start and stop run on the loop's thread or while it does not run; after
    // stop no handler runs.
    bool start(boost::asio::io_context& loop, Handler handler) override;
    void stop() override;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

}  // namespace orvex
