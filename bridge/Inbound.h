// Inbound routing's decode step, apart from the server so that it can be
// checked (and fuzzed) without a connection.
#pragma once

#include <cstdint>
#include <string>

#include "bridge/PageSink.h"

namespace orvex {

// Decodes one page message into buffer: zero-filled, then the decoded bytes
// from offset 0. The handlers never read past byte 256, so the rest of an
// overlong message is cut. A text that is not hex leaves the buffer all zero,
// gives false and the codec's error text, and must reach no device.
bool fill_command_buffer(const std::string& payload, uint8_t (&buffer)[COMMAND_BUFFER_SIZE], std::string* error);

}  // namespace orvex
