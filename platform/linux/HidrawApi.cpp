#include "platform/linux/HidrawApi.h"

#include <hidapi.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>

#include "platform/Log.h"
#include "platform/linux/HidrawDescriptor.h"

namespace orvex {

namespace {

class HidrawDevice final : public HidDevice {
public:
    HidrawDevice(hid_device* device, HidReportFilter filter) : m_device(device), m_filter(filter) {}
    ~HidrawDevice() override { hid_close(m_device); }
    HidrawDevice(const HidrawDevice&) = delete;
    HidrawDevice& operator=(const HidrawDevice&) = delete;

    int set_nonblocking(bool nonblocking) override {
        const int result = hid_set_nonblocking(m_device, nonblocking ? 1 : 0);
        if (result == 0) m_nonblocking = nonblocking;
        return result;
    }
    int read(uint8_t* data, size_t length) override {
        return ReadFiltered(m_filter, Raw(), data, length, m_nonblocking ? 0 : -1);
    }
    int read_timeout(uint8_t* data, size_t length, int milliseconds) override {
        return ReadFiltered(m_filter, Raw(), data, length, milliseconds);
    }
    int write(const uint8_t* data, size_t length) override { return hid_write(m_device, data, length); }
    int send_feature_report(const uint8_t* data, size_t length) override {
        return hid_send_feature_report(m_device, data, length);
    }
    int get_feature_report(uint8_t* data, size_t length) override {
        return hid_get_feature_report(m_device, data, length);
    }

private:
    RawRead Raw() {
        return [this](uint8_t* data, size_t length, int milliseconds) {
            return hid_read_timeout(m_device, data, length, milliseconds);
        };
    }

    hid_device* m_device;
    const HidReportFilter m_filter;
    std::atomic<bool> m_nonblocking{false};
};

HidOpenError ClassifyOpenFailure(const std::string& path) {
    // hidapi keeps the errno of its failed open() only in a message; asking
    // again is simpler and as good.
    if (::access(path.c_str(), R_OK | W_OK) == 0) return HidOpenError::Other;
    switch (errno) {
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
        entry.bus_type = static_cast<uint16_t>(info->bus_type);
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

std::shared_ptr<HidDevice> HidrawApi::open(const HidDeviceInfo& entry, HidOpenError* error) {
    hid_device* device = hid_open_path(entry.path.c_str());
    if (device == nullptr) {
        if (error) *error = ClassifyOpenFailure(entry.path);
        return nullptr;
    }
    HidReportFilter filter;
    std::vector<uint8_t> descriptor;
    if (ReadHidrawReportDescriptor(m_sysfsRoot, entry.path, &descriptor)) {
        const HidDescriptorLayout layout = ParseReportDescriptor(descriptor.data(), descriptor.size());
        if (!layout.valid) diag_verbose("unreadable report descriptor of " + entry.path + "; reports unfiltered");
        filter = HidReportFilter::ForCollection(layout, HidUsage{entry.usage_page, entry.usage});
    } else {
        diag_verbose("no report descriptor for " + entry.path + "; reports unfiltered");
    }
    if (error) *error = HidOpenError::None;
    return std::make_shared<HidrawDevice>(device, filter);
}

}  // namespace orvex
