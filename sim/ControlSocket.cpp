#include "sim/ControlSocket.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/Log.h"

namespace orvex::sim {

namespace {

constexpr size_t kMaxClients = 32;
constexpr size_t kMaxLine = 1 << 20;
// A client that sends requests but never reads its replies is not read from
// until it does, so one client cannot make the bridge hold unbounded replies.
constexpr size_t kMaxPendingOutput = 16 << 20;

std::string Failure(const std::string& path, const std::string& what, int error) {
    return "control socket " + path + ": " + what + ": " + socket_error_text(error);
}

struct Client {
    SocketHandle fd = kNoSocket;
    std::string in;
    std::string out;
    bool closing = false;  // close once out is written
    bool dead = false;
};

}  // namespace

Simulator::ControlSocket::ControlSocket(Handler handler) : m_handler(std::move(handler)) {}

Simulator::ControlSocket::~ControlSocket() {
    Stop();
}

bool Simulator::ControlSocket::Start(const std::string& path, std::string* error) {
    if (path.compare(0, 4, "tcp:") == 0) {
        if (!StartTcp(path, error)) return false;
    } else if (!StartUnix(path, error)) {
        return false;
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

// The listener's last steps: the wake-up pair, then listen. On failure
// closes the listener; the caller removes what it made on disk.
bool Simulator::ControlSocket::Listen(std::string* error) {
    if (listen(m_listen, 16) != 0 || !set_nonblocking(m_listen) || !make_wake_pair(m_wake)) {
        *error = Failure(m_path, "listen", socket_error());
        close_socket(m_listen);
        m_listen = kNoSocket;
        return false;
    }
    return true;
}

bool Simulator::ControlSocket::StartTcp(const std::string& endpoint, std::string* error) {
    const std::string digits = endpoint.substr(4);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(digits) > 65535) {
        *error = "control socket " + endpoint + ": tcp: takes a port from 0 to 65535";
        return false;
    }
    m_path = endpoint;
    // Loopback only: whoever connects drives the simulated devices.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(std::stoul(digits)));
    m_listen = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_listen == kNoSocket) {
        *error = Failure(endpoint, "socket", socket_error());
        return false;
    }
#ifdef _WIN32
    // Without it another process could bind the same port and take requests.
    const BOOL exclusive = TRUE;
    setsockopt(m_listen, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
#else
    fcntl(m_listen, F_SETFD, FD_CLOEXEC);
#endif
    socklen_t length = sizeof address;
    if (bind(m_listen, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        *error = Failure(endpoint, "bind", socket_error());
        close_socket(m_listen);
        m_listen = kNoSocket;
        return false;
    }
    m_port = ntohs(address.sin_port);
    if (!Listen(error)) return false;
    diag_verbose("simulator control on 127.0.0.1 port " + std::to_string(m_port));
    return true;
}

bool Simulator::ControlSocket::StartUnix(const std::string& path, std::string* error) {
#ifdef _WIN32
    *error = "control socket " + path + ": only tcp:PORT is available on Windows";
    return false;
#else
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        *error = "control socket " + path + ": the path must hold 1 to " +
                 std::to_string(sizeof(address.sun_path) - 1) + " characters";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    struct stat existing {};
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            *error = "control socket " + path + ": the path exists and is not a socket";
            return false;
        }
        // A socket nobody listens on is what an earlier run left behind.
        const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0) {
            *error = Failure(path, "socket", errno);
            return false;
        }
        const bool inUse = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
        const int connectError = errno;
        close(probe);
        if (inUse) {
            *error = "control socket " + path + ": another process is listening there";
            return false;
        }
        if (connectError != ECONNREFUSED || unlink(path.c_str()) != 0) {
            *error = Failure(path, "cannot replace the existing socket",
                             connectError == ECONNREFUSED ? errno : connectError);
            return false;
        }
    }

    m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listen < 0) {
        *error = Failure(path, "socket", errno);
        return false;
    }
    if (bind(m_listen, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        *error = Failure(path, "bind", errno);
        close(m_listen);
        m_listen = -1;
        return false;
    }
    struct stat bound {};
    // Whoever can connect can drive the devices the bridge talks to: owner
    // only, set before listen so that nobody connects in between.
    m_path = path;
    if (chmod(path.c_str(), 0600) != 0 || stat(path.c_str(), &bound) != 0) {
        *error = Failure(path, "listen", errno);
        close(m_listen);
        m_listen = -1;
    }
    if (m_listen < 0 || !Listen(error)) {
        unlink(path.c_str());
        m_path.clear();
        return false;
    }
    m_dev = bound.st_dev;
    m_ino = bound.st_ino;
    return true;
#endif
}

void Simulator::ControlSocket::Stop() {
    if (m_thread.joinable()) {
        signal_wake_pair(m_wake);
        m_thread.join();
    }
    if (m_listen != kNoSocket) {
        close_socket(m_listen);
        m_listen = kNoSocket;
#ifndef _WIN32
        // Only our own socket: another run may have taken the path meanwhile.
        struct stat current {};
        if (m_port == 0 && !m_path.empty() && lstat(m_path.c_str(), &current) == 0 && current.st_dev == m_dev &&
            current.st_ino == m_ino)
            unlink(m_path.c_str());
#endif
    }
    for (SocketHandle& fd : m_wake) {
        if (fd != kNoSocket) close_socket(fd);
        fd = kNoSocket;
    }
}

void Simulator::ControlSocket::Run() {
    RunReportingFailure("simulator control socket stopped", [this] { Serve(); });
}

void Simulator::ControlSocket::Serve() {
    std::vector<Client> clients;
    struct Closer {
        std::vector<Client>& clients;
        ~Closer() {
            for (auto& client : clients) close_socket(client.fd);
        }
    } closer{clients};

    std::vector<pollfd> fds;
    while (true) {
        fds.clear();
        fds.push_back({m_wake[0], POLLIN, 0});
        fds.push_back({m_listen, POLLIN, 0});
        for (const auto& client : clients) {
            short events = 0;
            if (!client.closing && client.out.size() < kMaxPendingOutput) events |= POLLIN;
            if (!client.out.empty()) events |= POLLOUT;
            fds.push_back({client.fd, events, 0});
        }
        if (poll_sockets(fds.data(), fds.size(), -1) < 0) {
            const int pollError = socket_error();
            if (socket_interrupted(pollError)) continue;
            diag_error(Failure(m_path, "poll", pollError));
            return;
        }
        if (fds[0].revents) return;

        for (size_t i = 0; i < clients.size(); ++i) {
            Client& client = clients[i];
            const short revents = fds[i + 2].revents;
            if (revents & (POLLIN | POLLHUP | POLLERR)) {
                bool eof = false;
                char buffer[4096];
                while (!eof && !client.dead) {
                    const auto n = recv(client.fd, buffer, sizeof(buffer), 0);
                    const int readError = n < 0 ? socket_error() : 0;
                    if (n > 0) {
                        client.in.append(buffer, static_cast<size_t>(n));
                        if (client.in.size() > kMaxLine + sizeof(buffer)) break;
                    } else if (n == 0) {
                        eof = true;
                    } else if (socket_interrupted(readError)) {
                        continue;
                    } else {
                        if (!socket_would_block(readError)) client.dead = true;
                        break;
                    }
                }
                size_t start = 0;
                for (size_t end; !client.dead && (end = client.in.find('\n', start)) != std::string::npos;
                     start = end + 1) {
                    std::string line = client.in.substr(start, end - start);
                    if (!line.empty() && line.back() == '\r') line.pop_back();
                    if (line.find_first_not_of(" \t") != std::string::npos) client.out += m_handler(line) + "\n";
                }
                client.in.erase(0, start);
                if (client.in.size() > kMaxLine) {
                    client.out += "{\"ok\":false,\"error\":\"request line longer than " + std::to_string(kMaxLine) +
                                  " bytes\"}\n";
                    client.in.clear();
                    client.closing = true;
                }
                if (eof) {
                    // A last request without a line end still gets its answer.
                    if (client.in.find_first_not_of(" \t\r") != std::string::npos)
                        client.out += m_handler(client.in) + "\n";
                    client.in.clear();
                    client.closing = true;
                }
            }
            while (!client.dead && !client.out.empty()) {
                const auto n = send(client.fd, client.out.data(), static_cast<int>(client.out.size()), kSendNoSignal);
                const int sendError = n < 0 ? socket_error() : 0;
                if (n > 0) {
                    client.out.erase(0, static_cast<size_t>(n));
                } else if (n < 0 && socket_interrupted(sendError)) {
                    continue;
                } else {
                    if (n < 0 && !socket_would_block(sendError)) client.dead = true;
                    break;
                }
            }
            if (client.closing && client.out.empty()) client.dead = true;
        }
        for (auto it = clients.begin(); it != clients.end();) {
            if (it->dead) {
                close_socket(it->fd);
                it = clients.erase(it);
            } else {
                ++it;
            }
        }

        if (fds[1].revents & POLLIN) {
            while (true) {
#ifdef _WIN32
                const SocketHandle fd = accept(m_listen, nullptr, nullptr);
                if (fd == kNoSocket) {
                    const int acceptError = socket_error();
                    if (acceptError == WSAEINTR || acceptError == WSAECONNRESET) continue;
                    if (acceptError == WSAEMFILE || acceptError == WSAENOBUFS) Sleep(100);
                    break;
                }
                set_nonblocking(fd);
#else
                const int fd = accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EINTR || errno == ECONNABORTED) continue;
                    // Out of descriptors: the pending connection keeps the
                    // listener readable, so pause rather than spin on it.
                    if (errno == EMFILE || errno == ENFILE) poll(nullptr, 0, 100);
                    break;
                }
#endif
                if (clients.size() >= kMaxClients) {
                    close_socket(fd);
                    continue;
                }
                Client client;
                client.fd = fd;
                clients.push_back(std::move(client));
            }
        }
    }
}

}  // namespace orvex::sim
