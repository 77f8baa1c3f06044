// The simulator's control socket: a Unix stream socket that takes one JSON
// request per line and answers each with one JSON line, for any number of
// clients at once, on one thread.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <thread>

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
    // replaced; any other existing file is not touched) and starts serving.
    bool Start(const std::string& path, std::string* error);
    // Ends serving, closes every client and removes the socket file.
    void Stop();

private:
    void Run();
    void Serve();

    Handler m_handler;
    std::string m_path;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    std::thread m_thread;
};

}  // namespace orvex::sim
