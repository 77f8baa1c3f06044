#include "protocol/CommandProtocol.h"

namespace orvex {

CommandProtocol::CommandProtocol(HidDeviceManager& hid, Clock& clock) : m_hid(hid), m_clock(clock) {}

int CommandProtocol::HandleDeviceCommand(const uint8_t*) { return 1; }

int CommandProtocol::HandleDeviceQuery(const uint8_t*) { return 0; }

}  // namespace orvex
