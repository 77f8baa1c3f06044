#include "support/Http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>

#include "support/Process.h"

namespace orvex::test {

HttpAnswer HttpRequestOnce(uint16_t port, const std::string& method, const std::string& target, const std::string& host,
                           const std::vector<std::string>& headers, const std::string& body) {
    HttpAnswer answer;
    const int fd = ConnectLoopback(port);
    if (fd < 0) return answer;
    std::string raw;
    {
        std::string request = method + " " + target + " HTTP/1.1\r\n";
        if (!host.empty()) request += "Host: " + host + "\r\n";
        for (const std::string& header : headers) request += header + "\r\n";
        if (!body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        request += "User-Agent: orvex-test\r\n\r\n" + body;
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (std::chrono::steady_clock::now() < deadline) {
                pollfd p{fd, POLLIN, 0};
                const int ready = poll(&p, 1, 200);
                if (ready < 0 && errno != EINTR) break;
                if (ready <= 0) continue;
                char buffer[8192];
                const ssize_t n = read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                raw.append(buffer, static_cast<size_t>(n));
            }
        }
    }
    close(fd);

    const size_t end = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return answer;
    answer.status = std::atoi(raw.c_str() + 9);
    size_t at = raw.find("\r\n") + 2;
    while (at < end) {
        const size_t lineEnd = raw.find("\r\n", at);
        const std::string line = raw.substr(at, lineEnd - at);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            const size_t value = line.find_first_not_of(' ', colon + 1);
            answer.headers[name] = value == std::string::npos ? "" : line.substr(value);
        }
        at = lineEnd + 2;
    }
    answer.body = raw.substr(end + 4);
    return answer;
}

}  // namespace orvex::test
