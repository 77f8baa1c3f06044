// Who owns a TCP socket on Windows: the system's TCP tables give the process
// of every connection's end and of every listener, and a process's token
// gives its user. The peer filter refuses loopback pages of other users'
// programs with it, and a held port is named by it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/PeerFilter.h"

namespace orvex {

// One end of a TCP connection. IPv4 addresses take the first 4 bytes.
struct TcpEnd {
    std::array<uint8_t, 16> address{};
    uint16_t port = 0;
    bool operator==(const TcpEnd& other) const { return address == other.address && port == other.port; }
};

// A row of a TCP table; pid 0 where the table names no process.
struct TcpRow {
    TcpEnd local, remote;
    unsigned long pid = 0;
};

// The rows of one address family (AF_INET, AF_INET6): the connections, or
// the listeners. False when the table cannot be read.
bool ReadTcpTable(int family, bool listeners, std::vector<TcpRow>* rows);

// The process that connected to ours from peer, among rows. NotFound: no
// row, or one without a process while our own end's row names ours (the
// peer is gone). Failed: the table names no process at all, not even ours.
PeerLookup FindPeerProcess(const std::vector<TcpRow>& rows, const TcpEnd& ours, const TcpEnd& peer,
                           unsigned long ownPid, unsigned long* pid);
// The same for an accepted socket, with the system's table.
PeerLookup LoopbackPeerProcess(uintptr_t socket, unsigned long* pid);

enum class ProcessUser { Same, Other, Unknown };
// Whether the process runs as this process's user. Unknown when it is gone or
// its token may not be read (another user's, as a rule).
ProcessUser UserOfProcess(unsigned long pid);

// The server's PeerFilter: "" for a peer of this user, or one that is not on
// loopback; else why it is refused ("pid 12, another user", "owner not
// found"). A table that names no owner at all (Wine's) lets the peer in with
// one warning, as on Linux when the kernel's tables cannot be read.
std::string ForeignLoopbackPeer(int socket);

}  // namespace orvex
