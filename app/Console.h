// The bridge's own console on the pages' port: the embedded page at "/", its
// files, and "/status" as JSON. Answers only requests addressed to a loopback
// name or the listening address, so that no other site reaches it through a
// name that merely resolves to this machine.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "bridge/HttpEndpoint.h"
#include "bridge/PageServer.h"

namespace orvex {

class COrvexDlg;
class OriginTrust;
class WebSocketServer;

class SessionWatch;

struct ConsoleSettings {
    bool enabled = true;                    // false: every path answers 404
    bool simulated = false;                 // devices of --simulate
    const SessionWatch* session = nullptr;  // the login session followed; null: none
};

class Console {
public:
    // Reads device state from bridge and the page count from pages, both of
    // which must outlive every request.
    Console(COrvexDlg& bridge, WebSocketServer& pages, ConsoleSettings settings);

    // Makes this console the server's HTTP handler; with the console on, its
    // own origins may open pages where --allow-origin restricts them.
    void Attach(ServerConfig& config);

    // Serves /origins and adds the trust numbers to /status; null: neither.
    // Set before the server starts.
    void SetTrust(OriginTrust* trust) { m_trust = trust; }

    HttpResponse Handle(const HttpRequest& request);
    std::string StatusJson();

private:
    HttpResponse Origins(const HttpRequest& request);
    COrvexDlg& m_bridge;
    WebSocketServer& m_pages;
    const ConsoleSettings m_settings;
    std::string m_address;  // listening address, set by Attach
    OriginTrust* m_trust = nullptr;
    const std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
};

// True when host (a Host header: name or address, optional ":port") names
// localhost, 127.0.0.0/8, [::1] or listenAddress, with no port or port.
bool IsConsoleHost(const std::string& host, const std::string& listenAddress, uint16_t port);

}  // namespace orvex
