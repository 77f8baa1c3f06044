#include "platform/windows/InterfacePath.h"

#include <windows.h>

#include <cstdlib>

#include "platform/Text.h"

namespace orvex {

namespace {

// The hex digits after key (upper-cased path), at most digits of them; -1
// when the key is absent or not followed by hex digits.
long HexAfter(const std::string& upper, const std::string& key, size_t digits) {
    const size_t at = upper.find(key);
    if (at == std::string::npos) return -1;
    const std::string field = upper.substr(at + key.size(), digits);
    if (field.size() != digits || field.find_first_not_of("0123456789ABCDEF") != std::string::npos) return -1;
    return std::strtol(field.c_str(), nullptr, 16);
}

}  // namespace

DeviceChange ParseInterfacePath(const std::string& path, DeviceChange::Kind kind) {
    DeviceChange change;
    change.kind = kind;
    change.path = path;
    const std::string upper = AsciiUpper(path);
    long vendor = HexAfter(upper, "VID_", 4), product = HexAfter(upper, "PID_", 4);
    change.bus = kBusUsb;
    if (vendor < 0) {
        // Bluetooth: "VID&" then the source (2 digits) and the vendor (4);
        // classic HID pads the source to 4 digits ("0002045e").
        const long sourced = HexAfter(upper, "VID&", 6), padded = HexAfter(upper, "VID&", 8);
        vendor = padded >= 0 ? padded & 0xFFFF : sourced >= 0 ? sourced & 0xFFFF : -1;
        product = HexAfter(upper, "PID&", 4);
        if (vendor >= 0) change.bus = kBusBluetooth;
    }
    if (upper.find("{00001124-0000-1000-8000-00805F9B34FB}") != std::string::npos ||
        upper.find("BTHLEDEVICE") != std::string::npos)
        change.bus = kBusBluetooth;
    change.vendor_id = static_cast<uint16_t>(vendor < 0 ? 0 : vendor);
    change.product_id = static_cast<uint16_t>(product < 0 ? 0 : product);
    return change;
}

std::string PathToken(const std::string& path) {
    size_t start = path.find_first_not_of('&');
    for (int field = 0; start != std::string::npos; ++field) {
        const size_t end = path.find('&', start);
        if (field == 4) return path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos) break;
        start = path.find_first_not_of('&', end);
    }
    return {};
}

bool SameInterfacePath(const std::string& a, const std::string& b) {
    // The system's own ordinal comparison without case, as the object
    // manager resolves these names, non-ASCII letters included.
    const std::wstring wa = Widen(a), wb = Widen(b);
    return CompareStringOrdinal(wa.data(), static_cast<int>(wa.size()), wb.data(), static_cast<int>(wb.size()), TRUE) ==
           CSTR_EQUAL;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

}  // namespace orvex
