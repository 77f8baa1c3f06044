// Hex text codec: every WebSocket message in both directions is hex text, two
// characters per byte, high nibble first, no separators.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bridge/PageSink.h"

namespace orvex {

// Decodes the text of one inbound message. Each character pair is converted the
// way the page's original peer converted it (optional leading white space and
// sign, a "0x" prefix that needs a digit after it, conversion stopping at the
// first non-hex character), keeping the low 8 bits. Throws
// std::invalid_argument with "Hex string must have an even number of
// characters" or "invalid stoi argument"; no partial result.
std::vector<uint8_t> hex_to_bytes(const std::string& text);

// "%02x%02x" of the two header bytes, then the data bytes in upper case.
std::string format_hex(uint8_t header0, uint8_t header1, int32_t length, const uint8_t* data);

// Traces the text, then "\r\n", and sends it to every page.
void broadcast_text(PageSink& pages, const std::string& text);
// broadcast_text of format_hex.
void broadcast_hex(PageSink& pages, uint8_t header0, uint8_t header1, int32_t length, const uint8_t* data);

}  // namespace orvex
