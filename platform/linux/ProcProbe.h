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
    long uid = -1;  // the socket's owner
};

// Sockets in LISTEN state on the port, from procRoot/net/tcp and tcp6.
std::vector<TcpListener> FindTcpListeners(uint16_t port, const std::string& procRoot = "/proc");

// Whether the process has the socket with this inode open. *known is false
// when its descriptors cannot be read (another user's process, or gone).
bool ProcessHasSocket(long pid, unsigned long inode, bool* known, const std::string& procRoot = "/proc");

// Who holds a listening socket: the process with it among its descriptors.
struct SocketHolder {
    long uid = -1;        // from the socket table; -1: unknown
    long pid = 0;         // 0: no process of ours shows it (another user's)
    std::string program;  // the process's name (comm)
};

// The holder of whatever listens on the port (the first listener found);
// uid -1 when nothing listens.
SocketHolder FindPortHolder(uint16_t port, const std::string& procRoot = "/proc");

// "pid 1234 (orvex-bridge, uid 1000)", "uid 1001 (its process is not visible)".
std::string DescribeHolder(const SocketHolder& holder);

}  // namespace orvex
