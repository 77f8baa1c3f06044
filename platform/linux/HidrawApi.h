// The HID seam on Linux: hidapi's hidraw backend lists the collections, and
// each handle is the hidraw node itself, opened, read and written here.
#pragma once

#include <memory>
#include <string>

#include "platform/HidApi.h"
#include "platform/linux/HidrawDescriptor.h"
#include "platform/linux/HidrawSysfs.h"

namespace orvex {

class HidrawApi final : public HidApi {
public:
    explicit HidrawApi(std::string sysfsRoot = kSysfsRoot);
    ~HidrawApi() override;
    int init() override;
    std::vector<HidDeviceInfo> enumerate(uint16_t vendor_id, uint16_t product_id) override;
    // Each handle returns only the input reports of the entry's collection.
    std::shared_ptr<HidDevice> open(const HidDeviceInfo& entry, HidOpenError* error) override;

private:
    std::string m_sysfsRoot;
    bool m_initialised = false;
};

// The handle over one open hidraw descriptor, which it owns and closes; it
// returns only the input reports the filter accepts. open() makes these; any
// descriptor that keeps report boundaries (a SOCK_SEQPACKET socket) will do.
std::shared_ptr<HidDevice> MakeHidrawDevice(int fd, const HidReportFilter& filter);

}  // namespace orvex
