// BSD sockets as both systems have them: the handle type, closing, polling,
// the last error and a wake-up pair for a thread that polls sockets.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace orvex {

#ifdef _WIN32
using SocketHandle = SOCKET;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
inline int socket_error() {
    return WSAGetLastError();
}
inline bool socket_interrupted(int error) {
    return error == WSAEINTR;
}
inline bool socket_would_block(int error) {
    return error == WSAEWOULDBLOCK;
}
inline void close_socket(SocketHandle s) {
    closesocket(s);
}
inline int poll_sockets(pollfd* fds, size_t count, int timeout) {
    return WSAPoll(fds, static_cast<ULONG>(count), timeout);
}
inline bool set_nonblocking(SocketHandle s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
inline std::string socket_error_text(int error) {
    char text[256] = {};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(error),
                       0, text, sizeof text, nullptr) == 0)
        return "error " + std::to_string(error);
    std::string result(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return result;
}
constexpr int kSendNoSignal = 0;
#else
using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
inline int socket_error() {
    return errno;
}
inline bool socket_interrupted(int error) {
    return error == EINTR;
}
inline bool socket_would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}
inline void close_socket(SocketHandle s) {
    ::close(s);
}
inline int poll_sockets(pollfd* fds, size_t count, int timeout) {
    return ::poll(fds, count, timeout);
}
inline bool set_nonblocking(SocketHandle s) {
    const int flags = fcntl(s, F_GETFL);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
inline std::string socket_error_text(int error) {
    return std::strerror(error);
}
constexpr int kSendNoSignal = MSG_NOSIGNAL;
#endif

// Two connected handles: a byte sent into [1] makes [0] readable for poll.
// A pipe on Linux; on Windows, where only sockets can be polled, a loopback
// TCP connection.
inline bool make_wake_pair(SocketHandle pair[2]) {
#ifdef _WIN32
    pair[0] = pair[1] = kNoSocket;
    SocketHandle listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == kNoSocket) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bool ok = bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener, 1) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (ok) {
        pair[1] = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ok = pair[1] != kNoSocket && connect(pair[1], reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    if (ok) {
        pair[0] = accept(listener, nullptr, nullptr);
        ok = pair[0] != kNoSocket && set_nonblocking(pair[0]) && set_nonblocking(pair[1]);
    }
    closesocket(listener);
    if (!ok) {
        for (int i = 0; i < 2; ++i) {
            if (pair[i] != kNoSocket) closesocket(pair[i]);
            pair[i] = kNoSocket;
        }
    }
    return ok;
#else
    return pipe2(pair, O_CLOEXEC | O_NONBLOCK) == 0;
#endif
}

inline void signal_wake_pair(SocketHandle pair[2]) {
    const char byte = 0;
#ifdef _WIN32
    send(pair[1], &byte, 1, 0);
#else
    while (::write(pair[1], &byte, 1) < 0 && errno == EINTR) {
    }
#endif
}

}  // namespace orvex
