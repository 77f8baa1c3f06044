#include "app/Console.h"

#include <boost/asio/ip/address.hpp>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>

#include "app/COrvexDlg.h"
#include "app/ConsoleFiles.h"
#include "app/Options.h"
#include "bridge/OriginTrust.h"
#include "bridge/WebSocketServer.h"
#include "platform/Native.h"
#include "platform/OriginText.h"
#include "platform/SessionWatch.h"
#include "platform/Text.h"

namespace orvex {

namespace {

std::string FamilyText(unsigned family) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", family & 0xFFu);
    return text;
}

bool AllDigits(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

HttpResponse Text(int status, const std::string& body) {
    HttpResponse response;
    response.status = status;
    response.body = body;
    return response;
}

}  // namespace

bool IsConsoleHost(const std::string& host, const std::string& listenAddress, uint16_t port) {
    std::string name = host;
    std::string portText;
    bool hasPort = false;
    if (!name.empty() && name.front() == '[') {
        const size_t close = name.find(']');
        if (close == std::string::npos) return false;
        const std::string rest = name.substr(close + 1);
        name = name.substr(1, close - 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return false;
            portText = rest.substr(1);
            hasPort = true;
        }
    } else {
        const size_t colon = name.find(':');
        if (colon != std::string::npos) {
            portText = name.substr(colon + 1);
            name = name.substr(0, colon);
            hasPort = true;
        }
        // An IPv6 address only ever comes in brackets.
        if (name.find(':') != std::string::npos) return false;
    }
    if (hasPort && (!AllDigits(portText) || std::stoul(portText) != port)) return false;
    if (name.empty()) return false;
    if (AsciiLower(name) == "localhost") return true;

    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(name, ec);
    if (ec) return false;
    // Brackets only around an IPv6 address, never around a v4 one or a name.
    if ((host.front() == '[') != address.is_v6()) return false;
    if (address.is_loopback()) return true;
    const auto listening = boost::asio::ip::make_address(listenAddress, ec);
    return !ec && !listening.is_unspecified() && listening == address;
}

Console::Console(COrvexDlg& bridge, WebSocketServer& pages, ConsoleSettings settings)
    : m_bridge(bridge), m_pages(pages), m_settings(settings) {}

void Console::Attach(ServerConfig& config) {
    m_address = config.address;
    config.accept_own_origins = m_settings.enabled;
    config.http_handler = [this](const HttpRequest& request) { return Handle(request); };
}

HttpResponse Console::Handle(const HttpRequest& request) {
    const uint16_t port = m_pages.port();
    HttpResponse response;
    if (!IsConsoleHost(request.host, m_address, port)) {
        // The name may belong to any site: nothing of it goes back.
        response = Text(403, "forbidden: the console answers only to localhost\n");
    } else if (m_settings.enabled && m_trust &&
               request.target.substr(0, request.target.find_first_of("?#")) == "/origins") {
        response = Origins(request);
    } else if (request.method != "GET" && request.method != "HEAD") {
        response = Text(405, "method not allowed\n");
        response.headers.emplace_back("Allow", "GET, HEAD");
    } else {
        const std::string path = request.target.substr(0, request.target.find_first_of("?#"));
        response = Text(404, "not found\n");
        if (!m_settings.enabled) {
            // Nothing is served.
        } else if (path == "/status") {
            response.status = 200;
            response.content_type = "application/json";
            response.body = StatusJson();
        } else if (!path.empty() && path.front() == '/') {
            const std::string name = path == "/" ? "index.html" : path.substr(1);
            for (size_t i = 0; i < kConsoleFileCount; ++i) {
                const EmbeddedFile& file = kConsoleFiles[i];
                if (name != file.name) continue;
                response.status = 200;
                response.content_type = file.content_type;
                response.body.assign(reinterpret_cast<const char*>(file.data), file.size);
                break;
            }
        }
        // The page connects back to where it came from, and to nothing else.
        response.headers.emplace_back("Content-Security-Policy",
                                      "default-src 'self'; connect-src 'self' ws://" + request.host +
                                          "; object-src 'none'; base-uri 'none'; form-action 'none'; "
                                          "frame-ancestors 'none'");
    }
    if (response.status == 403 || response.status == 405)
        response.headers.emplace_back("Content-Security-Policy", "default-src 'none'; frame-ancestors 'none'");
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    response.headers.emplace_back("Cache-Control", "no-store");
    response.headers.emplace_back("Referrer-Policy", "no-referrer");
    return response;
}

namespace {

// The session the bridge follows; no id where it follows none.
nlohmann::ordered_json SessionJson(const SessionWatch* session) {
    const std::string id = session ? session->id() : "";
    return {{"uid", CurrentUserId()},
            {"id", id.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(id)},
            {"active", session ? session->active() : true}};
}

}  // namespace

std::string Console::StatusJson() {
    using json = nlohmann::ordered_json;
    const std::vector<HidSlotStatus> hid = m_bridge.hid().Snapshot();
    const std::vector<BleSlotStatus> ble = m_bridge.ble().Snapshot();
    // After the copies, so that no report looks younger than the answer.
    const auto now = std::chrono::steady_clock::now();
    json families = json::array();
    auto family = [&](unsigned code, const char* transport) -> json& {
        families.push_back({{"family", FamilyText(code)}, {"transport", transport}, {"slots", json::array()}});
        return families.back()["slots"];
    };
    for (const FamilyRules& rules : kFamilies) {
        const unsigned code = rules.family;
        if (rules.transport == Transport::Ble) {
            json& slots = family(code, "ble");
            for (const BleSlotStatus& s : ble) {
                const char* state = s.node.empty() ? "removed" : s.subscribed ? "connected" : "not connected";
                slots.push_back({{"slot", s.slot},
                                 {"device_id", s.deviceId},
                                 {"node", s.node},
                                 {"address", s.address},
                                 {"state", state}});
            }
            continue;
        }
        json& slots = family(code, "hid");
        for (const HidSlotStatus& s : hid) {
            if (s.family != code) continue;
            json last = nullptr;
            if (s.lastReportNs != 0) {
                const auto at =
                    std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(s.lastReportNs));
                last = std::chrono::duration_cast<std::chrono::milliseconds>(now - at).count();
            }
            slots.push_back({{"slot", s.slot},
                             {"device_id", s.deviceId},
                             {"node", s.node},
                             {"paired", s.paired},
                             {"reports", s.reports},
                             {"last_report_ms_ago", last}});
        }
    }
    json status = {
        {"version", kVersion},
        {"uptime_ms", std::chrono::duration_cast<std::chrono::milliseconds>(now - m_started).count()},
        {"listen", {{"address", m_address}, {"port", m_pages.port()}}},
        {"addresses", m_pages.listening_addresses()},
        {"session", SessionJson(m_settings.session)},
        {"pages", m_pages.open_connection_count()},
        {"devices", m_settings.simulated ? "simulated" : "real"},
        {"families", families},
    };
    if (m_trust) {
        const OriginTrust::Snapshot snap = m_trust->Snap();
        status["origins"] = {{"policy", OriginPolicyName(snap.policy)},
                             {"trusted", snap.trusted.size()},
                             {"pending", snap.pending.size()},
                             {"denied", snap.denied.size()}};
    }
    return status.dump(2) + "\n";
}

HttpResponse Console::Origins(const HttpRequest& request) {
    using json = nlohmann::ordered_json;
    if (request.method == "GET" || request.method == "HEAD") {
        const OriginTrust::Snapshot snap = m_trust->Snap();
        json pending = json::array();
        for (const auto& p : snap.pending)
            pending.push_back({{"origin", p.origin},
                               {"pages", p.pages},
                               {"turned_away", p.turned_away},
                               {"waiting_ms", p.waiting_ms}});
        const json body = {{"policy", OriginPolicyName(snap.policy)},
                           {"trusted", snap.trusted},
                           {"pending", pending},
                           {"denied", snap.denied}};
        HttpResponse response = Text(200, body.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
        response.content_type = "application/json";
        return response;
    }
    if (request.method != "POST") {
        HttpResponse response = Text(405, "method not allowed\n");
        response.headers.emplace_back("Allow", "GET, HEAD, POST");
        return response;
    }
    // Only the console page itself answers: another site's page could send
    // this request too (a form or fetch), and must not trust itself.
    const uint16_t port = m_pages.port();
    const std::string scheme = "http://";
    const std::string host = request.origin.compare(0, scheme.size(), scheme) == 0 ? request.origin.substr(7) : "";
    const std::string portSuffix = ":" + std::to_string(port);
    const bool own = !host.empty() && host.size() > portSuffix.size() &&
                     host.compare(host.size() - portSuffix.size(), portSuffix.size(), portSuffix) == 0 &&
                     IsConsoleHost(host, m_address, port);
    if (!own) return Text(403, "forbidden: only the console page may answer\n");
    std::string type = AsciiLower(request.content_type.substr(0, request.content_type.find(';')));
    type.erase(0, type.find_first_not_of(" \t"));
    type.erase(type.find_last_not_of(" \t") + 1);
    if (type != "application/json") return Text(415, "unsupported media type: application/json expected\n");
    const json body = json::parse(request.body, nullptr, false);
    static const std::pair<const char*, OriginDecision> kDecisions[] = {
        {"allow", OriginDecision::Allow}, {"deny", OriginDecision::Deny}, {"forget", OriginDecision::Forget}};
    if (body.is_object() && body.size() == 2 && body.contains("origin") && body["origin"].is_string() &&
        body.contains("decision") && body["decision"].is_string()) {
        const std::optional<std::string> origin = NormaliseOrigin(body["origin"].get<std::string>());
        const std::string decision = body["decision"].get<std::string>();
        if (origin) {
            for (const auto& [name, value] : kDecisions) {
                if (decision != name) continue;
                m_trust->Decide(*origin, value);
                HttpResponse response = Text(204, "");
                return response;
            }
        }
    }
    return Text(400,
                "bad request: {\"origin\": \"scheme://host[:port]\", \"decision\": \"allow\" | \"deny\" | "
                "\"forget\"} expected\n");
}

}  // namespace orvex
