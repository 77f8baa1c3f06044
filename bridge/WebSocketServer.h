// The page side: one WebSocket endpoint, its registry of open pages, the
// greeting, broadcast to every page and inbound routing. The library lives
// behind the implementation, so that code which only sends texts does not
// compile it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bridge/PageServer.h"
#include "platform/Timings.h"

namespace orvex {

// The library default (32 MB) lets a few connections exhaust memory; no page
// message comes near this.
constexpr size_t MAX_MESSAGE_SIZE = 65536;

class WebSocketServer final : public PageServer, public HeldPages {
public:
    // Pauses of the accept back-off and of repeated log lines from timings.
    explicit WebSocketServer(const Timings& timings = Timings());
    ~WebSocketServer() override;  // Stop()
    WebSocketServer(const WebSocketServer&) = delete;
    WebSocketServer& operator=(const WebSocketServer&) = delete;

    // Starts the server thread and waits until it listens or fails. Decoded
    // frames reach target on the server thread.
    bool Start(const ServerConfig& config, FrameTarget& target, std::string* error) override;
    // Stops accepting, gives pages up to grace_ms to finish their closing
    // handshakes, stops the loop and joins the thread. The server may be
    // started again afterwards.
    void Stop() override { Stop(1000); }
    void Stop(int grace_ms);
    uint16_t port() const override;
    bool port_taken() const override;
    std::vector<std::string> listening_addresses() const override;

    // Hands one text to the server thread, which queues it on every open
    // page in the order texts were handed over: every page sees concurrent
    // broadcasts in one order, and a page that has stopped reading is closed
    // (1008) before its unsent texts pass max_page_buffer.
    void broadcast_text(const std::string& text);
    void broadcast(const std::string& text) override { broadcast_text(text); }
    void close_all_connections(uint16_t status = 1000) override;
    void resume_page(PageId page) override;
    size_t open_connection_count();
    // HeldPages: the answers of config.origin_gate, run on the server thread.
    void ReleaseOrigin(const std::string& origin) override;
    void CloseOrigin(const std::string& origin) override;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace orvex
