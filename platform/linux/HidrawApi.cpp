#include "platform/linux/HidrawApi.h"

#include <fcntl.h>
#include <hidapi.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>

#include "platform/Log.h"

namespace orvex {

namespace {

// hidraw's feature ioctls carry the length in 14 bits.
constexpr size_t kMaxFeatureLength = (1u << 14) - 1;
// A reader whose wake-up has no eventfd (the process is out of descriptors)
// looks at its stop request this often instead.
constexpr int kWakeSliceMs = 10;

class HidrawDevice final : public HidDevice {
public:
    HidrawDevice(int fd, const HidReportFilter& filter) : m_fd(fd), m_filter(filter) {}
    ~HidrawDevice() override { ::close(m_fd); }
    HidrawDevice(const HidrawDevice&) = delete;
    HidrawDevice& operator=(const HidrawDevice&) = delete;

    int read_wait(uint8_t* data, size_t length, ReaderWake& wake) override {
        const RawRead raw = [this, &wake](uint8_t* d, size_t n, int) { return WaitAndRead(d, n, &wake, -1); };
        return ReadFiltered(m_filter, raw, data, length, -1);
    }
    int read_timeout(uint8_t* data, size_t length, int milliseconds) override {
        const RawRead raw = [this](uint8_t* d, size_t n, int ms) { return WaitAndRead(d, n, nullptr, ms); };
        return ReadFiltered(m_filter, raw, data, length, milliseconds);
    }
    int write(const uint8_t* data, size_t length) override {
        if (data == nullptr || length == 0) return -1;
        ssize_t n;
        do n = ::write(m_fd, data, length);
        while (n < 0 && errno == EINTR);
        return n < 0 ? -1 : static_cast<int>(n);
    }
    // data[0] is the report id (0 for a device without ids), as the kernel
    // wants it.
    int send_feature_report(const uint8_t* data, size_t length) override {
        if (data == nullptr || length == 0 || length > kMaxFeatureLength) return -1;
        return ::ioctl(m_fd, HIDIOCSFEATURE(length), data);
    }
    int get_feature_report(uint8_t* data, size_t length) override {
        if (data == nullptr || length == 0 || length > kMaxFeatureLength) return -1;
        return ::ioctl(m_fd, HIDIOCGFEATURE(length), data);
    }

private:
    // One report: waits for the node (and the wake, when given) at most
    // timeout_ms (-1: no limit). 0 when woken or out of time, negative when
    // the node failed or is gone.
    int WaitAndRead(uint8_t* data, size_t length, ReaderWake* wake, int timeout_ms) {
        using clock = std::chrono::steady_clock;
        const clock::time_point deadline = clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
        while (true) {
            if (wake && wake->IsSet()) return 0;
            const int wakeFd = wake ? wake->waitable() : -1;
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            const nfds_t count = wakeFd >= 0 ? 2 : 1;
            int wait = timeout_ms;
            if (timeout_ms > 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
                wait = static_cast<int>(std::max<long>(0, static_cast<long>(left.count())));
            }
            if (wake && wakeFd < 0) wait = wait < 0 ? kWakeSliceMs : std::min(wait, kWakeSliceMs);
            const int ready = ::poll(fds, count, wait);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            // Before the node: a stopped reader reads nothing more.
            if (count == 2 && fds[1].revents != 0) return 0;
            if (ready == 0) {
                if (timeout_ms >= 0 && clock::now() >= deadline) return 0;
                continue;
            }
            // Reports still queued on a node that went away are read first;
            // then its read fails.
            if (!(fds[0].revents & POLLIN)) return -1;
            const ssize_t n = ::read(m_fd, data, length);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                return -1;
            }
            // A hidraw node never reads empty; end of file means it is gone.
            if (n == 0) return -1;
            return static_cast<int>(n);
        }
    }

    const int m_fd;
    const HidReportFilter m_filter;
};

// hidapi numbers buses its own way (USB 1, Bluetooth 2); the core, udev's
// events and the nodes' HID_ID use the kernel's (USB 3, Bluetooth 5).
static_assert(kBusUsb == BUS_USB && kBusBluetooth == BUS_BLUETOOTH);
uint16_t KernelBus(hid_bus_type bus) {
    switch (bus) {
        case HID_API_BUS_USB:
            return BUS_USB;
        case HID_API_BUS_BLUETOOTH:
            return BUS_BLUETOOTH;
        case HID_API_BUS_I2C:
            return BUS_I2C;
        case HID_API_BUS_SPI:
            return BUS_SPI;
        default:
            return 0;
    }
}

HidOpenError ClassifyOpenFailure(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return HidOpenError::PermissionDenied;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return HidOpenError::NotFound;
        default:
            return HidOpenError::Other;
    }
}

}  // namespace

HidrawApi::HidrawApi(std::string sysfsRoot) : m_sysfsRoot(std::move(sysfsRoot)) {}

HidrawApi::~HidrawApi() {
    if (m_initialised) hid_exit();
}

int HidrawApi::init() {
    const int result = hid_init();
    m_initialised = result == 0;
    return result;
}

std::vector<HidDeviceInfo> HidrawApi::enumerate(uint16_t vendor_id, uint16_t product_id) {
    std::vector<HidDeviceInfo> entries;
    hid_device_info* list = hid_enumerate(vendor_id, product_id);
    std::map<std::string, std::string> keys;  // one sysfs walk per node
    for (const hid_device_info* info = list; info != nullptr; info = info->next) {
        HidDeviceInfo entry;
        entry.path = info->path ? info->path : "";
        entry.vendor_id = info->vendor_id;
        entry.product_id = info->product_id;
        entry.usage_page = info->usage_page;
        entry.usage = info->usage;
        entry.bus_type = KernelBus(info->bus_type);
        // Serial numbers (Bluetooth addresses among them) are ASCII.
        for (const wchar_t* c = info->serial_number; c && *c; ++c)
            if (*c > 0x20 && *c < 0x7F) entry.serial_number.push_back(static_cast<char>(*c));
        auto key = keys.find(entry.path);
        if (key == keys.end()) key = keys.emplace(entry.path, HidrawPairingKey(m_sysfsRoot, entry.path)).first;
        entry.pairing_key = key->second;
        entries.push_back(std::move(entry));
    }
    hid_free_enumeration(list);
    return entries;
}

std::shared_ptr<HidDevice> MakeHidrawDevice(int fd, const HidReportFilter& filter) {
    try {
        return std::make_shared<HidrawDevice>(fd, filter);
    } catch (...) {
        ::close(fd);
        throw;
    }
}

std::shared_ptr<HidDevice> HidrawApi::open(const HidDeviceInfo& entry, HidOpenError* error) {
    // The filter first: once the node is open, nothing may throw before a
    // handle owns its descriptor.
    HidReportFilter filter;
    std::vector<uint8_t> descriptor;
    const bool haveDescriptor = ReadHidrawReportDescriptor(m_sysfsRoot, entry.path, &descriptor);
    if (haveDescriptor) {
        const HidDescriptorLayout layout = ParseReportDescriptor(descriptor.data(), descriptor.size());
        filter = HidReportFilter::ForCollection(layout, HidUsage{entry.usage_page, entry.usage});
        if (!layout.valid) descriptor.clear();
    }
    const int fd = ::open(entry.path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = ClassifyOpenFailure(errno);
        return nullptr;
    }
    std::shared_ptr<HidDevice> device = MakeHidrawDevice(fd, filter);
    if (!haveDescriptor)
        diag_verbose("no report descriptor for " + entry.path + "; reports unfiltered");
    else if (descriptor.empty())
        diag_verbose("unreadable report descriptor of " + entry.path + "; reports unfiltered");
    if (error) *error = HidOpenError::None;
    return device;
}

}  // namespace orvex
