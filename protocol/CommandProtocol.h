// The device command protocol: family commands and queries, run on the server
// thread one frame at a time.
#pragma once

#include <cstdint>

#include "hid/HidDeviceManager.h"
#include "platform/Clock.h"

namespace orvex {

class CommandProtocol {
public:
    CommandProtocol(HidDeviceManager& hid, Clock& clock);

    // A decoded command frame (1000 bytes, zero beyond the message). Returns 1.
    int HandleDeviceCommand(const uint8_t* frame);
    // A decoded query frame (byte 0 is 0xF0). 1 after a success text, else 0.
    int HandleDeviceQuery(const uint8_t* frame);

private:
    HidDeviceManager& m_hid;
    Clock& m_clock;
};

}  // namespace orvex
