// Who owns the other end of a loopback TCP connection: the kernel's socket
// table knows the uid of every local socket, found by the connection's exact
// addresses and ports.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/PeerFilter.h"

namespace orvex {

// The uid of the process side that connected to socket (an accepted one).
// inet_diag over netlink first, /proc/net/tcp and tcp6 when netlink fails.
PeerLookup LoopbackPeerUid(int socket, uid_t* uid);
// The same through one source only (for tests).
PeerLookup LoopbackPeerUidByDiag(int socket, uid_t* uid);
PeerLookup LoopbackPeerUidByProc(int socket, uid_t* uid);

// The server's PeerFilter: "" for a peer of this user, root, or no local
// owner; "uid N, another user" for another user's. A lookup that cannot be made at all lets
// the peer in with one warning: refusing everyone would leave the devices
// without their page.
std::string ForeignLoopbackPeer(int socket);

}  // namespace orvex
