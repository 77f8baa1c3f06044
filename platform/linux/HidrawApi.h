// The HID seam over hidapi's hidraw backend.
#pragma once

#include <string>

#include "platform/HidApi.h"
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

}  // namespace orvex
