// The device-change seam over a libudev monitor (source "udev", subsystem
// hidraw) whose descriptor the main loop watches: no thread of its own.
#pragma once

#include <memory>

#include "platform/DeviceMonitor.h"

namespace orvex {

class UdevMonitor final : public DeviceMonitor {
public:
    // Events taken per turn of the loop, so that a burst cannot hold up timers
    // or shutdown.
    static constexpr int kEventsPerTurn = 64;

    explicit UdevMonitor(int events_per_turn = kEventsPerTurn);
    ~UdevMonitor() override;
    UdevMonitor(const UdevMonitor&) = delete;
    UdevMonitor& operator=(const UdevMonitor&) = delete;

    // start and stop run on the loop's thread, or while the loop is not
    // running. After stop no handler runs and the socket is closed; the
    // monitor may be started again.
    bool start(boost::asio::io_context& loop, Handler handler) override;
    void stop() override;

    bool running() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
    int m_eventsPerTurn;
};

}  // namespace orvex
