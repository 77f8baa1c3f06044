// What /proc tells about a running bridge, read without disturbing it: who
// holds a file lock, which sockets listen on a TCP port, whose they are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvex {

struct FlockHolder {
    bool known = false;  // /proc/locks could be read and the file examined
    bool held = false;   // some process holds a flock on the file
    long pid = 0;        // its process id as /proc/locks gives it (0: unknown)
    std::string error;   // why it is not known
};

// Looks the file up in procRoot/locks; never locks it. A missing file is
// known and not held.
FlockHolder FindFlockHolder(const std::string& path, const std::string& procRoot = "/proc");

struct TcpListener {
    std::string address;  // "127.0.0.1", "::1", "0.0.0.0", "::"
    uint16_t port = 0;
    unsigned long inode = 0;
};

// Sockets in LISTEN state on the port, from procRoot/net/tcp and tcp6.
std::vector<TcpListener> FindTcpListeners(uint16_t port, const std::string& procRoot = "/proc");

// Whether the process has the socket with this inode open. *known is false
// when its descriptors cannot be read (another user's process, or gone).
bool ProcessHasSocket(long pid, unsigned long inode, bool* known, const std::string& procRoot = "/proc");

}  // namespace orvex
