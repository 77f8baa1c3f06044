#include "support/RawPage.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "support/Process.h"

namespace orvex::test {

RawPage::RawPage(uint16_t port, int receiveBuffer) {
    m_fd = ConnectLoopback(port, receiveBuffer);
    if (m_fd < 0) return;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) m_localPort = ntohs(address.sin_port);
}

RawPage::~RawPage() {
    Close();
}

void RawPage::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

bool RawPage::Fill(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (m_fd < 0 || left.count() <= 0) return false;
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[65536];
    const ssize_t n = read(m_fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    m_in.append(buffer, static_cast<size_t>(n));
    return true;
}

int RawPage::Handshake(std::chrono::milliseconds timeout) {
    const std::string request =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (m_fd < 0 || send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t end;
    while ((end = m_in.find("\r\n\r\n")) == std::string::npos)
        if (!Fill(deadline)) return 0;
    const std::string head = m_in.substr(0, end);
    m_in.erase(0, end + 4);
    // "HTTP/1.1 101 ..."
    const auto space = head.find(' ');
    return space == std::string::npos ? 0 : std::atoi(head.c_str() + space + 1);
}

int RawPage::ReadUntilClose(std::chrono::milliseconds timeout, size_t* dataFrames) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t frames = 0, at = 0;
    auto byte = [this, &at](size_t i) { return static_cast<uint8_t>(m_in[at + i]); };
    while (true) {
        // Frames from the server are never masked.
        const size_t have = m_in.size() - at;
        size_t header = 2, length = 0;
        if (have >= 2) {
            length = byte(1) & 0x7F;
            if (length == 126) header = 4;
            if (length == 127) header = 10;
        }
        if (have >= header && header > 2) {
            length = 0;
            for (size_t i = 2; i < header; ++i) length = (length << 8) | byte(i);
        }
        if (have < header || have < header + length) {
            m_in.erase(0, at);
            at = 0;
            if (!Fill(deadline)) break;
            continue;
        }
        const int opcode = byte(0) & 0x0F;
        if (opcode == 0x8) {
            if (dataFrames) *dataFrames = frames;
            return length >= 2 ? (byte(header) << 8) | byte(header + 1) : 1005;
        }
        if (opcode == 0x1 || opcode == 0x2) ++frames;
        at += header + length;
    }
    if (dataFrames) *dataFrames = frames;
    return -1;
}

}  // namespace orvex::test
