#include "platform/windows/TcpOwners.h"

// winsock2 before windows.h, iphlpapi after both.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <tcpmib.h>
// clang-format on

#include <cstring>

#include "platform/Log.h"
#include "platform/System.h"
#include "platform/windows/InterfacePath.h"

namespace orvex {

namespace {

struct ProcessHandle {
    HANDLE h;
    explicit ProcessHandle(HANDLE handle) : h(handle) {}
    ~ProcessHandle() {
        if (h) CloseHandle(h);
    }
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;
};

uint16_t PortOf(DWORD tablePort) {
    return ntohs(static_cast<u_short>(tablePort));
}

TcpEnd V4End(DWORD address, DWORD port) {
    TcpEnd end;
    std::memcpy(end.address.data(), &address, 4);
    end.port = PortOf(port);
    return end;
}

TcpEnd V6End(const UCHAR* address, DWORD port) {
    TcpEnd end;
    std::memcpy(end.address.data(), address, 16);
    end.port = PortOf(port);
    return end;
}

// The socket's end from getsockname or getpeername; false when it is neither
// IPv4 nor IPv6.
bool EndOf(const sockaddr_storage& address, TcpEnd* end, bool* loopback) {
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        std::memcpy(end->address.data(), &v4.sin_addr, 4);
        end->port = ntohs(v4.sin_port);
        *loopback = end->address[0] == 127;
        return true;
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        std::memcpy(end->address.data(), &v6.sin6_addr, 16);
        end->port = ntohs(v6.sin6_port);
        *loopback = IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr);
        return true;
    }
    return false;
}

// The user of a process token, copied out.
bool TokenUserSid(HANDLE token, std::vector<uint8_t>* sid) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return false;
    std::vector<uint8_t> buffer(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return false;
    const PSID user = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    const DWORD length = GetLengthSid(user);
    sid->assign(static_cast<const uint8_t*>(user), static_cast<const uint8_t*>(user) + length);
    return true;
}

bool ProcessUserSid(HANDLE process, std::vector<uint8_t>* sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return false;
    ProcessHandle owned(token);
    return TokenUserSid(token, sid);
}

// "pid 12 (name.exe)", with ", another user" where its token says so.
std::string DescribeProcess(unsigned long pid) {
    std::string text = "pid " + std::to_string(pid);
    ProcessHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process.h) return text + " (another user's or the system's)";
    wchar_t name[MAX_PATH];
    DWORD length = MAX_PATH;
    std::string image = "?";
    if (QueryFullProcessImageNameW(process.h, 0, name, &length)) {
        const std::string path = Narrow(std::wstring(name, length));
        image = path.substr(path.find_last_of("\\/") + 1);
    }
    return text + " (" + image + (UserOfProcess(pid) == ProcessUser::Other ? ", another user)" : ")");
}

}  // namespace

bool ReadTcpTable(int family, bool listeners, std::vector<TcpRow>* rows) {
    const TCP_TABLE_CLASS kind = listeners ? TCP_TABLE_OWNER_PID_LISTENER : TCP_TABLE_OWNER_PID_CONNECTIONS;
    std::vector<char> buffer(16 * 1024);
    // The table may grow between the call that sizes it and the next.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD result = GetExtendedTcpTable(buffer.data(), &size, FALSE, family, kind, 0);
        if (result == ERROR_INSUFFICIENT_BUFFER) {
            buffer.resize(size + 4096);
            continue;
        }
        if (result != NO_ERROR) return false;
        rows->clear();
        if (family == AF_INET) {
            const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
            for (DWORD i = 0; i < table->dwNumEntries; ++i) {
                const MIB_TCPROW_OWNER_PID& row = table->table[i];
                rows->push_back({V4End(row.dwLocalAddr, row.dwLocalPort), V4End(row.dwRemoteAddr, row.dwRemotePort),
                                 row.dwOwningPid});
            }
        } else {
            const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
            for (DWORD i = 0; i < table->dwNumEntries; ++i) {
                const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
                rows->push_back({V6End(row.ucLocalAddr, row.dwLocalPort), V6End(row.ucRemoteAddr, row.dwRemotePort),
                                 row.dwOwningPid});
            }
        }
        return true;
    }
    return false;
}

PeerLookup FindPeerProcess(const std::vector<TcpRow>& rows, const TcpEnd& ours, const TcpEnd& peer,
                           unsigned long ownPid, unsigned long* pid) {
    bool ownNamed = false;
    for (const TcpRow& row : rows) {
        if (row.local == peer && row.remote == ours && row.pid != 0) {
            *pid = row.pid;
            return PeerLookup::Found;
        }
        if (row.local == ours && row.remote == peer && row.pid == ownPid) ownNamed = true;
    }
    // Our own end tells whether this table names processes at all. Where it
    // does, a peer listed without one has closed its socket already.
    return ownNamed ? PeerLookup::NotFound : PeerLookup::Failed;
}

PeerLookup LoopbackPeerProcess(uintptr_t socket, unsigned long* pid) {
    sockaddr_storage local{}, remote{};
    int localSize = sizeof local, remoteSize = sizeof remote;
    const SOCKET s = static_cast<SOCKET>(socket);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        getpeername(s, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0)
        return PeerLookup::NotFound;  // gone already
    TcpEnd ours, peer;
    bool localLoopback = false, peerLoopback = false;
    if (!EndOf(local, &ours, &localLoopback) || !EndOf(remote, &peer, &peerLoopback) || !peerLoopback)
        return PeerLookup::NotLoopback;
    std::vector<TcpRow> rows;
    if (!ReadTcpTable(local.ss_family, false, &rows)) return PeerLookup::Failed;
    return FindPeerProcess(rows, ours, peer, GetCurrentProcessId(), pid);
}

ProcessUser UserOfProcess(unsigned long pid) {
    std::vector<uint8_t> own, theirs;
    if (!ProcessUserSid(GetCurrentProcess(), &own)) return ProcessUser::Unknown;
    ProcessHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process.h || !ProcessUserSid(process.h, &theirs)) return ProcessUser::Unknown;
    return own == theirs ? ProcessUser::Same : ProcessUser::Other;
}

std::string ForeignLoopbackPeer(int socket) {
    // Socket handles fit in 32 bits, which is how the server passes them.
    unsigned long pid = 0;
    switch (LoopbackPeerProcess(static_cast<uintptr_t>(static_cast<uint32_t>(socket)), &pid)) {
        case PeerLookup::NotLoopback:
            return "";
        case PeerLookup::NotFound:
            return "owner not found";
        case PeerLookup::Found:
            switch (UserOfProcess(pid)) {
                case ProcessUser::Same:
                    return "";
                case ProcessUser::Other:
                    return "pid " + std::to_string(pid) + ", another user";
                case ProcessUser::Unknown:
                    // Another user's token is closed to this user.
                    return "pid " + std::to_string(pid) + ", owner unknown";
            }
            return "owner unknown";
        case PeerLookup::Failed:
            break;
    }
    return ServeUnknownPeer();
}

PeerFilter NativePeerFilter() {
    return ForeignLoopbackPeer;
}

std::string DescribePortHolder(uint16_t port) {
    for (const int family : {AF_INET, AF_INET6}) {
        std::vector<TcpRow> rows;
        if (!ReadTcpTable(family, true, &rows)) continue;
        for (const TcpRow& row : rows)
            if (row.local.port == port && row.pid != 0) return DescribeProcess(row.pid);
    }
    // Windows also refuses ports that it keeps for itself ("netsh interface
    // ipv4 show excludedportrange protocol=tcp" lists them); Wine names no
    // owners at all.
    return "a program not listed as listening (or a port the system keeps)";
}

}  // namespace orvex
