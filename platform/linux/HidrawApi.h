// The HID seam over hidapi's hidraw backend.
#pragma once

#include "platform/HidApi.h"

namespace orvex {

class HidrawApi final : public HidApi {
public:
    ~HidrawApi() override;
    int init() override;
    std::vector<HidDeviceInfo> enumerate(uint16_t vendor_id, uint16_t product_id) override;
    std::shared_ptr<HidDevice> open(const HidDeviceInfo& entry, HidOpenError* error) override;

private:
    bool m_initialised = false;
};

}  // namespace orvex
