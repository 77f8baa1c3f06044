#include "bridge/hex.h"

#include <stdexcept>

#include "platform/Log.h"
#include "platform/Text.h"

namespace orvex {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// compat: base-16 conversion of one character pair with the semantics the
// pages were written against: white space, sign, "0x" prefix needing a digit,
// stop at the first non-digit, fail with "invalid stoi argument" when no digit
// was converted. Pages send pairs such as " f" and "+f" and read that message.
uint8_t convert_pair(const char* pair, size_t n) {
    size_t i = 0;
    while (i < n && is_space(pair[i])) ++i;
    bool negative = false;
    if (i < n && (pair[i] == '+' || pair[i] == '-')) {
        negative = pair[i] == '-';
        ++i;
    }
    if (i + 1 < n && pair[i] == '0' && (pair[i + 1] == 'x' || pair[i + 1] == 'X')) i += 2;
    long value = 0;
    size_t digits = 0;
    for (; i < n; ++i) {
        const int d = hex_digit(pair[i]);
        if (d < 0) break;
        value = value * 16 + d;
        ++digits;
    }
    // A prefix with nothing after it (the pair "0x") converts no digit either.
    if (digits == 0) throw std::invalid_argument("invalid stoi argument");
    if (negative) value = -value;
    return static_cast<uint8_t>(value & 0xFF);
}

}  // namespace

std::vector<uint8_t> hex_to_bytes(const std::string& text) {
    if (text.size() % 2 != 0) throw std::invalid_argument("Hex string must have an even number of characters");
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) bytes.push_back(convert_pair(text.data() + i, 2));
    return bytes;
}

std::string format_hex(uint8_t header0, uint8_t header1, int32_t length, const uint8_t* data) {
    const size_t count = static_cast<size_t>(length > 0 ? length : 0);
    const uint8_t header[] = {header0, header1};
    std::string text;
    text.reserve(4 + 2 * count);
    AppendHex(text, header, 2);
    AppendHex(text, data, count, HexDigits::Upper);
    return text;
}

void broadcast_text(PageSink& pages, const std::string& text) {
    trace(text);
    trace("\r\n");
    pages.broadcast(text);
}

void broadcast_hex(PageSink& pages, uint8_t header0, uint8_t header1, int32_t length, const uint8_t* data) {
    broadcast_text(pages, format_hex(header0, header1, length, data));
}

}  // namespace orvex
