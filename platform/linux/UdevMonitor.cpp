#include "platform/linux/UdevMonitor.h"

#include <libudev.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstring>

#include "platform/Log.h"
#include "platform/linux/UdevEvent.h"

namespace orvex {

namespace {
std::string OrEmpty(const char* text) {
    return text ? std::string(text) : std::string();
}
}  // namespace

struct UdevMonitor::State {
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    std::unique_ptr<boost::asio::posix::stream_descriptor> descriptor;
    Handler handler;
    int events_per_turn = UdevMonitor::kEventsPerTurn;
    bool stopped = true;

    // Handlers already queued by the loop when stop ran still arrive; they
    // find the state stopped and leave. Holding the state through the
    // shared_ptr keeps that check valid after the monitor object is gone.
    static void Arm(const std::shared_ptr<State>& self) {
        self->descriptor->async_wait(boost::asio::posix::stream_descriptor::wait_read,
                                     [self](const boost::system::error_code& ec) { self->OnReadable(self, ec); });
    }

    void OnReadable(const std::shared_ptr<State>& self, const boost::system::error_code& ec) {
        if (stopped) return;
        if (ec) {
            diag_error("udev monitor: " + ec.message() + "; hot-plug stops");
            Close();
            return;
        }
        bool drained = false;
        for (int i = 0; i < events_per_turn && !stopped; ++i) {
            udev_device* device = udev_monitor_receive_device(monitor);
            if (device == nullptr) {
                drained = true;
                break;
            }
            const auto change = DeviceChangeFromUevent([device](const std::string& name) {
                if (name == "ACTION") return OrEmpty(udev_device_get_action(device));
                if (name == "SUBSYSTEM") return OrEmpty(udev_device_get_subsystem(device));
                if (name == "DEVPATH") return OrEmpty(udev_device_get_devpath(device));
                if (name == "DEVNAME") return OrEmpty(udev_device_get_devnode(device));
                return OrEmpty(udev_device_get_property_value(device, name.c_str()));
            });
            udev_device_unref(device);
            // The handler may stop the monitor; a copy keeps it alive meanwhile.
            if (change) {
                Handler call = handler;
                // Out of the loop, an exception would end the whole bridge;
                // one failed change must cost only itself.
                RunReportingFailure(("device change " + change->path).c_str(), [&] { call(*change); });
            }
        }
        if (stopped) return;
        // The loop watches the socket edge-triggered: what is still queued
        // raises no new wake-up, so an unfinished burst continues by a post.
        if (drained)
            Arm(self);
        else
            boost::asio::post(descriptor->get_executor(), [self] { self->OnReadable(self, {}); });
    }

    void Close() {
        stopped = true;
        handler = nullptr;
        if (descriptor) {
            // The descriptor belongs to the udev monitor, which closes it.
            boost::system::error_code ignored;
            descriptor->cancel(ignored);
            descriptor->release();
            descriptor.reset();
        }
        if (monitor) udev_monitor_unref(monitor);
        monitor = nullptr;
        if (context) udev_unref(context);
        context = nullptr;
    }
};

UdevMonitor::UdevMonitor(int events_per_turn)
    : m_state(std::make_shared<State>()), m_eventsPerTurn(events_per_turn > 0 ? events_per_turn : kEventsPerTurn) {}

UdevMonitor::~UdevMonitor() {
    stop();
}

bool UdevMonitor::start(boost::asio::io_context& loop, Handler handler) {
    stop();
    auto state = std::make_shared<State>();
    state->events_per_turn = m_eventsPerTurn;
    state->context = udev_new();
    if (state->context == nullptr) {
        diag_error(std::string("udev: cannot create a context: ") + std::strerror(errno));
        return false;
    }
    state->monitor = udev_monitor_new_from_netlink(state->context, "udev");
    if (state->monitor == nullptr) {
        diag_error(std::string("udev: cannot create a monitor: ") + std::strerror(errno));
        state->Close();
        return false;
    }
    int rc = udev_monitor_filter_add_match_subsystem_devtype(state->monitor, "hidraw", nullptr);
    if (rc >= 0) rc = udev_monitor_enable_receiving(state->monitor);
    if (rc < 0) {
        diag_error(std::string("udev: cannot receive events: ") + std::strerror(-rc));
        state->Close();
        return false;
    }
    const int fd = udev_monitor_get_fd(state->monitor);
    if (fd < 0) {
        state->Close();
        return false;
    }
    boost::system::error_code ec;
    state->descriptor = std::make_unique<boost::asio::posix::stream_descriptor>(loop);
    state->descriptor->assign(fd, ec);
    if (ec) {
        diag_error("udev: cannot watch the monitor: " + ec.message());
        state->descriptor.reset();
        state->Close();
        return false;
    }
    state->handler = std::move(handler);
    state->stopped = false;
    m_state = state;
    State::Arm(state);
    return true;
}

void UdevMonitor::stop() {
    if (m_state) m_state->Close();
}

bool UdevMonitor::running() const {
    return m_state && !m_state->stopped;
}

}  // namespace orvex
