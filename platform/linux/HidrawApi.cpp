#include "platform/linux/HidrawApi.h"

#include <hidapi.h>

namespace orvex {

HidrawApi::~HidrawApi() {
    if (m_initialised) hid_exit();
}

int HidrawApi::init() {
    const int result = hid_init();
    m_initialised = result == 0;
    return result;
}

std::vector<HidDeviceInfo> HidrawApi::enumerate(uint16_t, uint16_t) {
    // Enumeration arrives with the device manager.
    return {};
}

std::shared_ptr<HidDevice> HidrawApi::open(const HidDeviceInfo&, HidOpenError* error) {
    if (error) *error = HidOpenError::Other;
    return nullptr;
}

}  // namespace orvex
