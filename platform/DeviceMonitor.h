// The device-change seam: arrivals and removals of HID nodes, delivered on the
// main loop. Backends: libudev (platform/linux) and the simulator.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <functional>
#include <string>

namespace orvex {

struct DeviceChange {
    enum class Kind { Arrival, Removal };
    Kind kind = Kind::Arrival;
    std::string path;  // the devnode, equal to the path enumeration reported
    uint16_t bus = 0;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
};

class DeviceMonitor {
public:
    using Handler = std::function<void(const DeviceChange&)>;
    virtual ~DeviceMonitor() = default;
    // Starts delivering events to handler, always on the given loop's thread.
    // False when monitoring cannot start; devices plugged later then go unseen.
    virtual bool start(boost::asio::io_context& loop, Handler handler) = 0;
    virtual void stop() = 0;
};

}  // namespace orvex
