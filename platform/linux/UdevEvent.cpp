#include "platform/linux/UdevEvent.h"

#include <cctype>
#include <vector>

namespace orvex {

namespace {

bool IsHexRun(const std::string& text, size_t from, size_t count) {
    if (from + count > text.size()) return false;
    for (size_t i = from; i < from + count; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

uint16_t Hex16(const std::string& text, size_t from) {
    return static_cast<uint16_t>(std::stoul(text.substr(from, 4), nullptr, 16));
}

// "BBBB:VVVV:PPPP.NNNN": the kernel writes four hex digits for each id and at
// least four for the instance number.
std::optional<HidDevpathIds> ParseComponent(const std::string& c) {
    if (c.size() < 19 || c[4] != ':' || c[9] != ':' || c[14] != '.') return std::nullopt;
    if (!IsHexRun(c, 0, 4) || !IsHexRun(c, 5, 4) || !IsHexRun(c, 10, 4) || !IsHexRun(c, 15, c.size() - 15))
        return std::nullopt;
    return HidDevpathIds{Hex16(c, 0), Hex16(c, 5), Hex16(c, 10)};
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t end = path.find('/', i);
        if (end == std::string::npos) end = path.size();
        if (end > i) parts.push_back(path.substr(i, end - i));
        i = end + 1;
    }
    return parts;
}

}  // namespace

std::optional<HidDevpathIds> ParseHidDevpath(const std::string& devpath) {
    const std::vector<std::string> parts = SplitPath(devpath);
    for (auto it = parts.rbegin(); it != parts.rend(); ++it)
        if (auto ids = ParseComponent(*it)) return ids;
    return std::nullopt;
}

std::optional<DeviceChange> DeviceChangeFromUevent(const UeventLookup& property) {
    const std::string action = property("ACTION");
    DeviceChange change;
    if (action == "add")
        change.kind = DeviceChange::Kind::Arrival;
    else if (action == "remove")
        change.kind = DeviceChange::Kind::Removal;
    else
        return std::nullopt;
    if (property("SUBSYSTEM") != "hidraw") return std::nullopt;

    // udev gives the full node path; the kernel's own events give it relative
    // to /dev. Enumeration reports the full one.
    std::string node = property("DEVNAME");
    if (node.empty()) return std::nullopt;
    if (node[0] != '/') node = "/dev/" + node;
    change.path = node;

    const auto ids = ParseHidDevpath(property("DEVPATH"));
    if (!ids) return std::nullopt;
    change.bus = ids->bus;
    change.vendor_id = ids->vendor_id;
    change.product_id = ids->product_id;
    return change;
}

std::map<std::string, std::string> ParseUeventProperties(const std::string& text) {
    std::map<std::string, std::string> properties;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text.find('\n', i);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(i, end - i);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t eq = line.find('=');
        if (eq != std::string::npos && eq > 0) properties[line.substr(0, eq)] = line.substr(eq + 1);
        i = end + 1;
    }
    return properties;
}

std::optional<DeviceChange> DeviceChangeFromProperties(const std::map<std::string, std::string>& properties) {
    return DeviceChangeFromUevent([&properties](const std::string& name) {
        auto it = properties.find(name);
        return it == properties.end() ? std::string() : it->second;
    });
}

}  // namespace orvex
