#include "bridge/Inbound.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "bridge/hex.h"

namespace orvex {

bool fill_command_buffer(const std::string& payload, uint8_t (&buffer)[COMMAND_BUFFER_SIZE], std::string* error) {
    std::memset(buffer, 0, sizeof buffer);
    std::vector<uint8_t> bytes;
    try {
        bytes = hex_to_bytes(payload);
    } catch (const std::invalid_argument& e) {
        if (error) *error = e.what();
        return false;
    }
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), std::min(bytes.size(), COMMAND_BUFFER_SIZE));
    return true;
}

}  // namespace orvex
