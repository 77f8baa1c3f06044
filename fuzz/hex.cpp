// The hex codec: decoding never fails other than with its invalid-argument
// error, gives one byte per character pair, and a text of hex digits comes
// back from the encoder as it went in (up to case).
#include "bridge/hex.h"

#include <cctype>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<uint8_t> bytes;
    try {
        bytes = orvex::hex_to_bytes(text);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    FUZZ_CHECK(bytes.size() * 2 == text.size());
    bool digitsOnly = true;
    for (const char c : text) digitsOnly = digitsOnly && std::isxdigit(static_cast<unsigned char>(c));
    if (!digitsOnly || bytes.size() < 2) return 0;
    const std::string again =
        orvex::format_hex(bytes[0], bytes[1], static_cast<int32_t>(bytes.size() - 2), bytes.data() + 2);
    FUZZ_CHECK(again.size() == text.size());
    for (size_t i = 0; i < text.size(); ++i)
        FUZZ_CHECK(std::tolower(static_cast<unsigned char>(again[i])) ==
                   std::tolower(static_cast<unsigned char>(text[i])));
    return 0;
}
