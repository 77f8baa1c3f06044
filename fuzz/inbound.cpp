// Inbound routing's decode step: the command buffer is never overrun, holds
// the decoded bytes from offset 0 and zeros after them, and stays all zero
// for a text that is not hex.
#include "bridge/Inbound.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "FuzzCheck.h"
#include "bridge/hex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string payload(reinterpret_cast<const char*>(data), size);
    uint8_t buffer[orvex::COMMAND_BUFFER_SIZE];
    std::string error;
    const bool decoded = orvex::fill_command_buffer(payload, buffer, &error);
    std::vector<uint8_t> expected;
    try {
        expected = orvex::hex_to_bytes(payload);
        FUZZ_CHECK(decoded);
    } catch (const std::invalid_argument& e) {
        FUZZ_CHECK(!decoded && error == e.what());
    }
    expected.resize(orvex::COMMAND_BUFFER_SIZE, 0);  // cut or zero-filled
    FUZZ_CHECK(std::equal(expected.begin(), expected.end(), buffer));
    return 0;
}
