// The HID seam on Windows: SetupAPI lists the HID collections, hid.dll gives
// their attributes and capabilities, and each handle is the collection opened
// for overlapped reads and writes.
#pragma once

#include "platform/HidApi.h"

namespace orvex {

class WinHidApi final : public HidApi {
public:
    int init() override { return 0; }
    std::vector<HidDeviceInfo> enumerate(uint16_t vendor_id, uint16_t product_id) override;
    std::shared_ptr<HidDevice> open(const HidDeviceInfo& entry, HidOpenError* error) override;
    // Without regard to letter case, as Windows names device interfaces.
    bool same_path(const std::string& listed, const std::string& changed) const override;
};

}  // namespace orvex
