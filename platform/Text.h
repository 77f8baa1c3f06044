// ASCII case and hex digits, the same in every locale: device texts,
// addresses and node paths are compared, and bytes written as text, alike
// wherever they occur.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvex {

inline char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
inline std::string AsciiUpper(std::string text) {
    for (char& c : text) c = AsciiUpper(c);
    return text;
}
inline std::string AsciiLower(std::string text) {
    for (char& c : text) c = AsciiLower(c);
    return text;
}
inline bool AsciiEqualIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// A Bluetooth address without its colons: "C0:FF:EE:00:00:01" is
// "C0FFEE000001", as device ids and interface names carry it.
inline std::string CompactAddress(const std::string& address) {
    std::string text;
    for (char c : address)
        if (c != ':') text.push_back(c);
    return text;
}

// Two digits per byte, high nibble first.
enum class HexDigits { Lower, Upper };
inline void AppendHex(std::string& out, const uint8_t* data, size_t count, HexDigits digits = HexDigits::Lower) {
    const char* set = digits == HexDigits::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
        out += set[data[i] >> 4];
        out += set[data[i] & 0xF];
    }
}

}  // namespace orvex
