// Page origins as one text wherever they are compared: what the user types
// (--allow-origin, --trust, the console), what the trust file keeps and what
// a browser sends at the handshake. Browsers send scheme://host[:port] with
// a lower-case scheme and host and no default port; a person may type
// "https://Config.example.com/" or "https://config.example.com:443" and
// means the same page.
#pragma once

#include <optional>
#include <string>

namespace orvex {

// The origin in the form browsers send it: scheme and host lower-cased, the
// scheme's default port (80 for http and ws, 443 for https and wss) and one
// trailing "/" dropped. Nothing when the text is no origin: a path, a query
// or fragment, user info, white space or control characters, a bad port, an
// empty host. "null" is no origin here; callers that accept it say so.
std::optional<std::string> NormaliseOrigin(const std::string& text);

// Why text is refused where an origin is expected, naming it (escaped).
std::string NotAnOrigin(const std::string& text);

}  // namespace orvex
