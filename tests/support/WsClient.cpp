#include "support/WsClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

namespace orvex::test {

namespace {

constexpr uint8_t kContinuation = 0x0, kText = 0x1, kBinary = 0x2, kClose = 0x8, kPing = 0x9, kPong = 0xA;

bool WriteAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly n bytes; false at end of stream or on error.
bool ReadAll(int fd, uint8_t* into, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::recv(fd, into + got, n - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

std::string RandomKey() {
    static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::random_device random;
    std::string key;
    // 16 random bytes are 22 base64 digits and "==".
    for (int i = 0; i < 22; ++i) key.push_back(kBase64[random() % 64]);
    return key + "==";
}

}  // namespace

WsClient::WsClient(uint16_t port, std::string origin, std::string host)
    : m_port(port), m_origin(std::move(origin)), m_host(std::move(host)) {}

WsClient::~WsClient() {
    bool open;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        open = m_open && !m_closed && m_thread.joinable();
    }
    if (open) {
        Close();
        WaitClosed(2000ms);
    }
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_RDWR);
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) ::close(m_fd);
}

bool WsClient::Connect(std::chrono::milliseconds timeout, bool read) {
    if (m_fd >= 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto fail = [this] {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failed = true;
        m_closed = true;
        m_cv.notify_all();
        return false;
    };
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, m_host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(m_port);
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, m_host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(m_port);
        length = sizeof *v6;
    } else {
        return fail();
    }
    m_fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd >= 0 && receiveBuffer > 0) ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0) return fail();
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    std::string request = "GET / HTTP/1.1\r\nHost: " + m_host + ":" + std::to_string(m_port) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + RandomKey() +
                          "\r\nSec-WebSocket-Version: 13\r\n";
    if (!m_origin.empty()) request += "Origin: " + m_origin + "\r\n";
    request += "\r\n";
    if (!WriteAll(m_fd, request)) return fail();

    // The response header, byte by byte, so that no frame after it is eaten.
    std::string response;
    while (response.size() < 8192 && response.find("\r\n\r\n") == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{m_fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return fail();
        char c;
        if (::recv(m_fd, &c, 1, 0) != 1) return fail();
        response.push_back(c);
    }
    const int status = response.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(response.c_str() + 9) : 0;
    if (status != 101) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_httpStatus = status;
        m_failed = true;
        m_closed = true;
        m_cv.notify_all();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
    }
    if (read) StartReading();
    return true;
}

std::string WsClient::Greeting(std::chrono::milliseconds timeout) {
    if (!Connect(timeout) || !WaitForMessages(1, timeout)) return "";
    return Messages().front();
}

void WsClient::StartReading() {
    if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
}

uint16_t WsClient::LocalPort() {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (m_fd < 0 || getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

void WsClient::Send(uint8_t opcode, const std::string& payload) {
    std::lock_guard<std::mutex> lock(m_sendMutex);
    if (m_fd < 0 || m_closeSent) return;
    if (opcode == kClose) m_closeSent = true;
    std::string frame;
    frame.push_back(static_cast<char>(0x80 | opcode));
    // Clients mask every frame.
    const size_t n = payload.size();
    if (n < 126) {
        frame.push_back(static_cast<char>(0x80 | n));
    } else if (n <= 0xFFFF) {
        frame.push_back(static_cast<char>(0x80 | 126));
        frame.push_back(static_cast<char>(n >> 8));
        frame.push_back(static_cast<char>(n & 0xFF));
    } else {
        frame.push_back(static_cast<char>(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<char>((n >> shift) & 0xFF));
    }
    static thread_local std::mt19937 random{std::random_device{}()};
    uint8_t mask[4];
    for (auto& b : mask) b = static_cast<uint8_t>(random());
    frame.append(reinterpret_cast<const char*>(mask), 4);
    for (size_t i = 0; i < n; ++i) frame.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
    WriteAll(m_fd, frame);
}

void WsClient::SendText(const std::string& text) {
    Send(kText, text);
}

void WsClient::SendBinary(const std::string& payload) {
    Send(kBinary, payload);
}

void WsClient::Close() {
    Send(kClose, std::string("\x03\xE8", 2));
}

void WsClient::MarkClosed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_cv.notify_all();
}

void WsClient::Run() {
    std::string message;
    while (true) {
        uint8_t head[2];
        if (!ReadAll(m_fd, head, 2)) break;
        const uint8_t opcode = head[0] & 0x0F;
        uint64_t length = head[1] & 0x7F;
        if (length == 126 || length == 127) {
            uint8_t extended[8];
            const size_t bytes = length == 126 ? 2 : 8;
            if (!ReadAll(m_fd, extended, bytes)) break;
            length = 0;
            for (size_t i = 0; i < bytes; ++i) length = (length << 8) | extended[i];
        }
        uint8_t mask[4] = {};
        if ((head[1] & 0x80) && !ReadAll(m_fd, mask, 4)) break;
        if (length > (64u << 20)) break;  // no test frame comes near this
        std::string payload(length, '\0');
        if (length > 0 && !ReadAll(m_fd, reinterpret_cast<uint8_t*>(&payload[0]), length)) break;
        if (head[1] & 0x80)
            for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(payload[i] ^ mask[i % 4]);

        if (opcode == kText || opcode == kBinary || opcode == kContinuation) {
            message += payload;
            if (head[0] & 0x80) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_messages.push_back(std::move(message));
                m_times.push_back(std::chrono::steady_clock::now());
                m_cv.notify_all();
                message.clear();
            }
        } else if (opcode == kPing) {
            Send(kPong, payload);
        } else if (opcode == kClose) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_closeCode = payload.size() >= 2
                                  ? (static_cast<uint8_t>(payload[0]) << 8) | static_cast<uint8_t>(payload[1])
                                  : 1005;
                m_closeReason = payload.size() > 2 ? payload.substr(2) : "";
            }
            // Echo the code, as the closing handshake asks.
            Send(kClose, payload.substr(0, 2));
            break;
        }
    }
    MarkClosed();
}

std::vector<std::string> WsClient::Messages() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

bool WsClient::WaitForMessages(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_messages.size() >= n; });
}

long WsClient::FindMessage(const std::string& text, size_t from, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    long found = -1;
    m_cv.wait_for(lock, timeout, [&] {
        for (size_t i = from; i < m_messages.size() && found < 0; ++i)
            if (m_messages[i] == text) found = static_cast<long>(i);
        return found >= 0;
    });
    return found;
}

bool WsClient::WaitClosed(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [this] { return m_closed; });
}

int WsClient::CloseCode() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closeCode;
}

std::string WsClient::CloseReason() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closeReason;
}

int WsClient::HandshakeStatus() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_httpStatus;
}

bool WsClient::Failed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

std::chrono::steady_clock::time_point WsClient::ReceivedAt(size_t i) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_times.at(i);
}

}  // namespace orvex::test
