// The simulator's control socket: a Unix stream socket, or a TCP port on
// loopback ("tcp:PORT", the only kind on Windows), that takes one JSON request
// per line and answers each with one JSON line, for any number of clients at
// once, on one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sim/Simulator.h"

namespace orvex::sim {

class Simulator::ControlSocket {
public:
    using Handler = std::function<std::string(const std::string& line)>;
    explicit ControlSocket(Handler handler);
    ~ControlSocket();  // Stop()
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;

    // Binds and listens at path (a stale socket left by an earlier run is
    // replaced; any other existing file is not touched), or at 127.0.0.1 port
    // PORT for "tcp:PORT" (0: a free port, see port()), and starts serving.
    bool Start(const std::string& path, std::string* error);
    // The TCP port listened on; 0 for a Unix socket.
    uint16_t port() const;
    // Ends serving, closes every client and removes the socket file.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace orvex::sim
