#include "sim/ControlSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
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
    return "control socket " + path + ": " + what + ": " + std::strerror(error);
}

struct Client {
    int fd = -1;
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
    if (chmod(path.c_str(), 0600) != 0 || stat(path.c_str(), &bound) != 0 || listen(m_listen, 16) != 0 ||
        pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = Failure(path, "listen", errno);
        close(m_listen);
        m_listen = -1;
        for (int& fd : m_wake) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
        unlink(path.c_str());
        return false;
    }
    m_path = path;
    m_dev = bound.st_dev;
    m_ino = bound.st_ino;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void Simulator::ControlSocket::Stop() {
    if (m_thread.joinable()) {
        const char byte = 0;
        ssize_t written;
        do {
            written = write(m_wake[1], &byte, 1);
        } while (written < 0 && errno == EINTR);
        m_thread.join();
    }
    if (m_listen >= 0) {
        close(m_listen);
        m_listen = -1;
        // Only our own socket: another run may have taken the path meanwhile.
        struct stat current {};
        if (!m_path.empty() && lstat(m_path.c_str(), &current) == 0 && current.st_dev == m_dev &&
            current.st_ino == m_ino)
            unlink(m_path.c_str());
    }
    for (int& fd : m_wake) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

void Simulator::ControlSocket::Run() {
    try {
        Serve();
    } catch (const std::exception& e) {
        diag_error(std::string("simulator control socket stopped: ") + e.what());
    } catch (...) {
        diag_error("simulator control socket stopped");
    }
}

void Simulator::ControlSocket::Serve() {
    std::vector<Client> clients;
    struct Closer {
        std::vector<Client>& clients;
        ~Closer() {
            for (auto& client : clients) close(client.fd);
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
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            diag_error(Failure(m_path, "poll", errno));
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
                    const ssize_t n = read(client.fd, buffer, sizeof(buffer));
                    if (n > 0) {
                        client.in.append(buffer, static_cast<size_t>(n));
                        if (client.in.size() > kMaxLine + sizeof(buffer)) break;
                    } else if (n == 0) {
                        eof = true;
                    } else if (errno == EINTR) {
                        continue;
                    } else {
                        if (errno != EAGAIN && errno != EWOULDBLOCK) client.dead = true;
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
                const ssize_t n = send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
                if (n > 0) {
                    client.out.erase(0, static_cast<size_t>(n));
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else {
                    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) client.dead = true;
                    break;
                }
            }
            if (client.closing && client.out.empty()) client.dead = true;
        }
        for (auto it = clients.begin(); it != clients.end();) {
            if (it->dead) {
                close(it->fd);
                it = clients.erase(it);
            } else {
                ++it;
            }
        }

        if (fds[1].revents & POLLIN) {
            while (true) {
                const int fd = accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EINTR || errno == ECONNABORTED) continue;
                    // Out of descriptors: the pending connection keeps the
                    // listener readable, so pause rather than spin on it.
                    if (errno == EMFILE || errno == ENFILE) poll(nullptr, 0, 100);
                    break;
                }
                if (clients.size() >= kMaxClients) {
                    close(fd);
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
