#include "platform/OriginText.h"

#include "platform/Log.h"
#include "platform/Text.h"

namespace orvex {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

const char* DefaultPort(const std::string& scheme) {
    if (scheme == "http" || scheme == "ws") return "80";
    if (scheme == "https" || scheme == "wss") return "443";
    return nullptr;
}

}  // namespace

std::optional<std::string> NormaliseOrigin(const std::string& text) {
    const size_t sep = text.find("://");
    if (sep == std::string::npos || sep == 0) return std::nullopt;
    const std::string scheme = AsciiLower(text.substr(0, sep));
    for (size_t i = 0; i < scheme.size(); ++i) {
        const char c = scheme[i];
        const bool ok = (c >= 'a' && c <= 'z') || (i > 0 && (IsDigit(c) || c == '+' || c == '-' || c == '.'));
        if (!ok) return std::nullopt;
    }
    std::string host = AsciiLower(text.substr(sep + 3));
    if (!host.empty() && host.back() == '/') host.pop_back();
    std::string port;
    const size_t bracket = host.rfind(']');
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        port = host.substr(colon + 1);
        host.erase(colon);
        if (port.empty() || port.size() > 5) return std::nullopt;
        for (char c : port)
            if (!IsDigit(c)) return std::nullopt;
        const unsigned long value = std::stoul(port);
        if (value > 65535) return std::nullopt;
        port = std::to_string(value);
        const char* standard = DefaultPort(scheme);
        if (standard && port == standard) port.clear();
    }
    if (host.empty()) return std::nullopt;
    if (host.front() == '[') {
        if (host.back() != ']' || host.size() < 3) return std::nullopt;
        for (size_t i = 1; i + 1 < host.size(); ++i) {
            const char c = host[i];
            if (!(IsDigit(c) || (c >= 'a' && c <= 'f') || c == ':' || c == '.')) return std::nullopt;
        }
    } else {
        // Browsers send other names in punycode; anything else here (a path,
        // "@", white space) is no origin.
        for (char c : host)
            if (!((c >= 'a' && c <= 'z') || IsDigit(c) || c == '-' || c == '.' || c == '_')) return std::nullopt;
    }
    return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

std::string NotAnOrigin(const std::string& text) {
    return "'" + escape_for_log(text) + "' is not an origin (scheme://host[:port], as the browser shows it)";
}

}  // namespace orvex
