#include "platform/linux/PeerUid.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/Log.h"

namespace orvex {

namespace {

// The connection as the peer's socket sees it: its own end first.
struct Ends {
    int family = AF_INET;  // of the peer's socket: a v4-mapped peer is AF_INET
    uint8_t peer[16] = {};
    uint8_t local[16] = {};
    uint16_t peerPort = 0;  // host order
    uint16_t localPort = 0;
};

bool Unmap(const sockaddr_storage& in, uint8_t* address, uint16_t* port, int* family) {
    if (in.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(in);
        std::memcpy(address, &v4.sin_addr, 4);
        *port = ntohs(v4.sin_port);
        *family = AF_INET;
        return true;
    }
    if (in.ss_family != AF_INET6) return false;
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(in);
    *port = ntohs(v6.sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
        std::memcpy(address, v6.sin6_addr.s6_addr + 12, 4);
        *family = AF_INET;
    } else {
        std::memcpy(address, &v6.sin6_addr, 16);
        *family = AF_INET6;
    }
    return true;
}

// Ok: the ends of a loopback connection; NotLoopback or Failed else.
PeerLookup EndsOf(int socket, Ends* ends) {
    sockaddr_storage local{}, peer{};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
        return PeerLookup::Failed;
    int localFamily = 0;
    if (!Unmap(peer, ends->peer, &ends->peerPort, &ends->family) ||
        !Unmap(local, ends->local, &ends->localPort, &localFamily))
        return PeerLookup::NotLoopback;
    if (ends->family == AF_INET) return ends->peer[0] == 127 ? PeerLookup::Found : PeerLookup::NotLoopback;
    static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(ends->peer, kLoopback6, 16) == 0 ? PeerLookup::Found : PeerLookup::NotLoopback;
}

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) close(m_fd);
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

PeerLookup ByDiag(const Ends& ends, uid_t* uid) {
    Fd fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (fd.get() < 0) return PeerLookup::Failed;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = static_cast<uint8_t>(ends.family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    // The peer's socket: its source is the peer's end.
    message.request.id.idiag_sport = htons(ends.peerPort);
    message.request.id.idiag_dport = htons(ends.localPort);
    std::memcpy(message.request.id.idiag_src, ends.peer, ends.family == AF_INET ? 4 : 16);
    std::memcpy(message.request.id.idiag_dst, ends.local, ends.family == AF_INET ? 4 : 16);
    message.request.id.idiag_cookie[0] = message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
        return PeerLookup::Failed;
    alignas(nlmsghdr) char buffer[8192];
    timeval wait{1, 0};  // the kernel answers at once; never hang the server thread
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const ssize_t n = recv(fd.get(), buffer, sizeof buffer, 0);
    if (n < 0) return PeerLookup::Failed;
    // NLMSG_OK and NLMSG_NEXT, written out: the macros compare signed with unsigned.
    for (size_t at = 0; at + sizeof(nlmsghdr) <= static_cast<size_t>(n);) {
        const auto* header = reinterpret_cast<const nlmsghdr*>(buffer + at);
        if (header->nlmsg_len < sizeof(nlmsghdr) || at + header->nlmsg_len > static_cast<size_t>(n)) break;
        at += NLMSG_ALIGN(header->nlmsg_len);
        if (header->nlmsg_type == NLMSG_ERROR) {
            const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(const_cast<nlmsghdr*>(header)));
            return error->error == -ENOENT ? PeerLookup::NotFound : PeerLookup::Failed;
        }
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
        const auto* reply = static_cast<const inet_diag_msg*>(NLMSG_DATA(const_cast<nlmsghdr*>(header)));
        *uid = reply->idiag_uid;
        return PeerLookup::Found;
    }
    return PeerLookup::NotFound;
}

// "0100007F:1F90": the address as the kernel's words in memory order.
bool ParseProcEnd(const std::string& text, size_t words, uint8_t* address, uint16_t* port) {
    const size_t colon = text.find(':');
    if (colon != words * 8) return false;
    for (size_t w = 0; w < words; ++w) {
        const uint32_t word = static_cast<uint32_t>(std::stoul(text.substr(w * 8, 8), nullptr, 16));
        std::memcpy(address + w * 4, &word, 4);
    }
    *port = static_cast<uint16_t>(std::stoul(text.substr(colon + 1), nullptr, 16));
    return true;
}

PeerLookup ByProc(const Ends& ends, uid_t* uid) {
    const bool v4 = ends.family == AF_INET;
    std::ifstream table(v4 ? "/proc/net/tcp" : "/proc/net/tcp6");
    if (!table) return PeerLookup::Failed;
    const size_t words = v4 ? 1 : 4;
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        unsigned long owner = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> owner)) continue;
        uint8_t localAddress[16] = {}, remoteAddress[16] = {};
        uint16_t localPort = 0, remotePort = 0;
        try {
            if (!ParseProcEnd(local, words, localAddress, &localPort) ||
                !ParseProcEnd(remote, words, remoteAddress, &remotePort))
                continue;
        } catch (const std::exception&) {
            continue;
        }
        if (localPort != ends.peerPort || remotePort != ends.localPort) continue;
        if (std::memcmp(localAddress, ends.peer, words * 4) != 0 ||
            std::memcmp(remoteAddress, ends.local, words * 4) != 0)
            continue;
        *uid = static_cast<uid_t>(owner);
        return PeerLookup::Found;
    }
    return PeerLookup::NotFound;
}

}  // namespace

PeerLookup LoopbackPeerUidByDiag(int socket, uid_t* uid) {
    Ends ends;
    const PeerLookup loopback = EndsOf(socket, &ends);
    return loopback == PeerLookup::Found ? ByDiag(ends, uid) : loopback;
}

PeerLookup LoopbackPeerUidByProc(int socket, uid_t* uid) {
    Ends ends;
    const PeerLookup loopback = EndsOf(socket, &ends);
    return loopback == PeerLookup::Found ? ByProc(ends, uid) : loopback;
}

PeerLookup LoopbackPeerUid(int socket, uid_t* uid) {
    Ends ends;
    const PeerLookup loopback = EndsOf(socket, &ends);
    if (loopback != PeerLookup::Found) return loopback;
    const PeerLookup diag = ByDiag(ends, uid);
    return diag == PeerLookup::Failed ? ByProc(ends, uid) : diag;
}

std::string ForeignLoopbackPeer(int socket) {
    uid_t uid = 0;
    switch (LoopbackPeerUid(socket, &uid)) {
        case PeerLookup::NotLoopback:
            return "";
        case PeerLookup::Found:
            return uid == geteuid() || uid == 0 ? "" : "uid " + std::to_string(uid) + ", another user";
        // Gone already (the peer closed at once): nobody to serve.
        case PeerLookup::NotFound:
            return "owner not found";
        case PeerLookup::Failed:
            break;
    }
    return ServeUnknownPeer();
}

}  // namespace orvex
