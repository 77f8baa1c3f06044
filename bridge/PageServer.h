// The page side as the main loop object starts and stops it: the server's
// configuration, the origin gate it asks, and the server interface itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bridge/HttpEndpoint.h"
#include "bridge/PageSink.h"
#include "platform/PeerFilter.h"

namespace orvex {

constexpr uint16_t SERVER_PORT = 10086;

// What becomes of a page, decided at its handshake and again when it opens
// (an answer may come in between).
enum class PageAdmission {
    Serve,   // greeted, gets every text, its frames run
    Hold,    // no greeting, no text; its frames are kept until the user answers
    Refuse,  // at the handshake HTTP 403; once open, closed with 1008 "origin not trusted"
    Busy,    // at the handshake only: HTTP 503, no room for another waiting page
};

// Decides which pages may use the devices, by their Origin header. Called on
// the server thread; must not block.
class OriginGate {
public:
    virtual ~OriginGate() = default;
    // At the handshake; present is false when the request had no Origin
    // header at all. *key is the origin as the gate compares it (normalised),
    // for the calls below. A page held here counts against its origin's
    // budget until HeldPageClosed or the answer.
    virtual PageAdmission Handshake(const std::string& origin, bool present, std::string* key) = 0;
    // When the page opens: Serve, Hold or Refuse. A held page is released or
    // closed later through HeldPages.
    virtual PageAdmission Open(const std::string& key, bool present) = 0;
    // A page the gate held has gone before its answer (closed, or its
    // handshake failed after all).
    virtual void HeldPageClosed(const std::string& key) = 0;
};

// The server's side of the answers. Safe from any thread; never waits.
class HeldPages {
public:
    virtual ~HeldPages() = default;
    // Greets every held page of origin, runs its kept frames in order, and
    // serves it from then on.
    virtual void ReleaseOrigin(const std::string& origin) = 0;
    // Closes every page of origin, held or not, with 1008 "origin not trusted".
    virtual void CloseOrigin(const std::string& origin) = 0;
};

struct ServerConfig {
    std::string address = "127.0.0.1";
    // Further addresses listened on, same port. Browsers try ::1 first for
    // localhost: a program holding [::1]:PORT would otherwise get the pages.
    // An address of a family this machine lacks (IPv6 disabled) is left out
    // when another one listens.
    std::vector<std::string> more_addresses = {"::1"};
    uint16_t port = SERVER_PORT;               // 0 picks a free port (tests)
    std::vector<std::string> allowed_origins;  // empty: every origin
    bool raw_frames = false;                   // frame channels of the access log
    bool quiet = false;                        // no access log at all
    // Answers plain HTTP requests (no WebSocket upgrade); null: the library's
    // 426 Upgrade Required.
    HttpHandler http_handler;
    // With allowed_origins: pages served from this server's own port
    // (http://localhost:P, http://127.0.0.1:P, http://ADDRESS:P) may connect too.
    bool accept_own_origins = false;
    // A page whose unsent texts would grow past this many bytes is closed
    // (1008): a page that stops reading must not grow the bridge.
    size_t max_page_buffer = 1 << 20;
    // Handshakes of pages to be served beyond this many served pages get
    // HTTP 503. Pages that wait for the user's answer have budgets of their
    // own (the origin gate's) and never take one of these places.
    size_t max_pages = 64;
    // Decides by origin instead of allowed_origins (which it then replaces);
    // null: allowed_origins as above. The console's own origins stay with
    // accept_own_origins.
    OriginGate* origin_gate = nullptr;
    PeerFilter peer_filter;  // empty: every peer
};

// The page side as the main loop object drives it: started last at start-up,
// closed and stopped at shutdown.
class PageServer : public PageSink {
public:
    // Starts serving and waits until it listens or fails. Decoded frames go
    // to target. On failure: false and the one-line reason (address, port,
    // error).
    virtual bool Start(const ServerConfig& config, FrameTarget& target, std::string* error) = 0;
    // Starts closing every open page with this status (1000, or 1001 when
    // the bridge steps aside for another session) and an empty reason.
    virtual void close_all_connections(uint16_t status = 1000) = 0;
    // Gives the pages a moment to finish closing and ends serving. Safe when
    // not started.
    virtual void Stop() = 0;
    // The port listened on (useful with port 0); 0 when not listening.
    virtual uint16_t port() const = 0;
    // After a failed Start: whether another socket held the port.
    virtual bool port_taken() const { return false; }
    // The addresses listened on, in order; empty when not listening.
    virtual std::vector<std::string> listening_addresses() const { return {}; }
    // The device side has taken on frames of a page it had reported full:
    // read it again. Safe from any thread, never waits; a page closed since
    // is ignored.
    virtual void resume_page(PageId page) = 0;
};

}  // namespace orvex
