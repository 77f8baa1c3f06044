#include "sim/ControlSocket.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <cstring>
#include <optional>
#include <set>
#include <thread>
#ifndef _WIN32
#include <boost/asio/local/stream_protocol.hpp>
#endif

#include "platform/Log.h"

namespace orvex::sim {

namespace {

namespace asio = boost::asio;
using boost::system::error_code;

constexpr size_t kMaxClients = 32;
constexpr size_t kMaxLine = 1 << 20;
// A client that sends requests but never reads its replies is not read from
// until it does, so one client cannot make the bridge hold unbounded replies.
constexpr size_t kMaxPendingOutput = 16 << 20;

std::string Failure(const std::string& path, const std::string& what, const std::string& why) {
    return "control socket " + path + ": " + what + ": " + why;
}

#ifndef _WIN32
// Whatever the bridge starts later must not inherit the simulator's sockets.
template <typename Socket>
void CloseOnExec(Socket& socket) {
    fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
}
#endif

class Session {
public:
    virtual ~Session() = default;
    virtual void Start() = 0;
    virtual void Close() = 0;
};

}  // namespace

struct Simulator::ControlSocket::Impl {
    explicit Impl(Handler h) : handler(std::move(h)) {}

    Handler handler;
    std::string path;
    asio::io_context io;
    std::optional<asio::ip::tcp::acceptor> tcp;
#ifndef _WIN32
    std::optional<asio::local::stream_protocol::acceptor> local;
    dev_t dev = 0;
    ino_t ino = 0;
#endif
    asio::steady_timer acceptPause{io};
    uint16_t port = 0;
    std::set<std::shared_ptr<Session>> sessions;  // io thread only
    bool stopping = false;                        // io thread only
    std::thread thread;

    template <typename Socket>
    class Client;
    template <typename Acceptor>
    void Accept(Acceptor& acceptor);
    void Shutdown();
    bool ListenTcp(const std::string& endpoint, std::string* error);
    bool ListenUnix(const std::string& where, std::string* error);
};

// One client: requests read a line at a time, answers written in order.
template <typename Socket>
class Simulator::ControlSocket::Impl::Client final : public Session,
                                                     public std::enable_shared_from_this<Client<Socket>> {
public:
    Client(Socket socket, Impl& owner) : m_socket(std::move(socket)), m_owner(owner), m_in(kMaxLine) {}

    void Start() override { Read(); }
    void Close() override {
        error_code ignored;
        m_socket.close(ignored);
        m_closed = true;
    }

private:
    void Read() {
        if (m_reading || m_closing || m_closed || m_out.size() >= kMaxPendingOutput) return;
        m_reading = true;
        asio::async_read_until(m_socket, m_in, '\n',
                               [self = this->shared_from_this()](const error_code& ec, size_t n) { self->Got(ec, n); });
    }

    void Got(const error_code& ec, size_t n) {
        m_reading = false;
        if (m_closed) return;
        if (!ec) {
            std::string line(asio::buffers_begin(m_in.data()), asio::buffers_begin(m_in.data()) + n - 1);
            m_in.consume(n);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            Answer(line);
        } else if (ec == asio::error::not_found) {
            m_out += "{\"ok\":false,\"error\":\"request line longer than " + std::to_string(kMaxLine) + " bytes\"}\n";
            m_closing = true;
        } else if (ec == asio::error::eof) {
            // A last request without a line end still gets its answer.
            Answer(std::string(asio::buffers_begin(m_in.data()), asio::buffers_end(m_in.data())));
            m_closing = true;
        } else {
            return Drop();
        }
        Write();
        Read();
    }

    void Answer(const std::string& line) {
        if (line.find_first_not_of(" \t\r") != std::string::npos) m_out += m_owner.handler(line) + "\n";
    }

    void Write() {
        if (m_writing || m_closed) return;
        if (m_out.empty()) {
            if (m_closing) Drop();
            return;
        }
        m_writing = true;
        m_sending.swap(m_out);
        m_out.clear();
        asio::async_write(m_socket, asio::buffer(m_sending),
                          [self = this->shared_from_this()](const error_code& ec, size_t) {
                              self->m_writing = false;
                              self->m_sending.clear();
                              if (ec) return self->Drop();
                              self->Write();
                              self->Read();
                          });
    }

    void Drop() {
        Close();
        m_owner.sessions.erase(this->shared_from_this());
    }

    Socket m_socket;
    Impl& m_owner;
    asio::streambuf m_in;
    std::string m_out, m_sending;
    bool m_reading = false, m_writing = false, m_closing = false, m_closed = false;
};

template <typename Acceptor>
void Simulator::ControlSocket::Impl::Accept(Acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](const error_code& ec, typename Acceptor::protocol_type::socket socket) {
        if (stopping || ec == asio::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors: the pending connection keeps the listener
            // ready, so pause rather than spin on it.
            acceptPause.expires_after(std::chrono::milliseconds(100));
            acceptPause.async_wait([this, &acceptor](const error_code& waited) {
                if (!waited && !stopping) Accept(acceptor);
            });
            return;
        }
        if (sessions.size() < kMaxClients) {
#ifndef _WIN32
            CloseOnExec(socket);
#endif
            auto client = std::make_shared<Client<typename Acceptor::protocol_type::socket>>(std::move(socket), *this);
            sessions.insert(client);
            client->Start();
        }
        Accept(acceptor);
    });
}

void Simulator::ControlSocket::Impl::Shutdown() {
    stopping = true;
    error_code ignored;
    if (tcp) tcp->close(ignored);
#ifndef _WIN32
    if (local) local->close(ignored);
#endif
    acceptPause.cancel();
    for (const auto& session : sessions) session->Close();
    sessions.clear();
}

bool Simulator::ControlSocket::Impl::ListenTcp(const std::string& endpoint, std::string* error) {
    const std::string digits = endpoint.substr(4);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(digits) > 65535) {
        *error = "control socket " + endpoint + ": tcp: takes a port from 0 to 65535";
        return false;
    }
    path = endpoint;
    // Loopback only: whoever connects drives the simulated devices.
    const asio::ip::tcp::endpoint address(asio::ip::address_v4::loopback(), static_cast<uint16_t>(std::stoul(digits)));
    error_code ec;
    tcp.emplace(io);
    tcp->open(address.protocol(), ec);
#ifdef _WIN32
    // Without it another process could bind the same port and take requests.
    using exclusive = asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
    if (!ec) tcp->set_option(exclusive(true), ec);
#else
    if (!ec) CloseOnExec(*tcp);
#endif
    if (!ec) tcp->bind(address, ec);
    if (!ec) tcp->listen(16, ec);
    if (!ec) port = tcp->local_endpoint(ec).port();
    if (ec) {
        *error = Failure(endpoint, "listen", ec.message());
        tcp.reset();
        return false;
    }
    diag_verbose("simulator control on 127.0.0.1 port " + std::to_string(port));
    return true;
}

bool Simulator::ControlSocket::Impl::ListenUnix(const std::string& where, std::string* error) {
#ifdef _WIN32
    *error = "control socket " + where + ": only tcp:PORT is available on Windows";
    return false;
#else
    sockaddr_un address{};
    if (where.empty() || where.size() >= sizeof(address.sun_path)) {
        *error = "control socket " + where + ": the path must hold 1 to " +
                 std::to_string(sizeof(address.sun_path) - 1) + " characters";
        return false;
    }
    const asio::local::stream_protocol::endpoint endpoint(where);
    struct stat existing {};
    if (lstat(where.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            *error = "control socket " + where + ": the path exists and is not a socket";
            return false;
        }
        // A socket nobody listens on is what an earlier run left behind.
        asio::local::stream_protocol::socket probe(io);
        error_code refused;
        probe.connect(endpoint, refused);
        if (!refused) {
            *error = "control socket " + where + ": another process is listening there";
            return false;
        }
        if (refused != asio::error::connection_refused || unlink(where.c_str()) != 0) {
            *error = Failure(where, "cannot replace the existing socket",
                             refused == asio::error::connection_refused ? std::strerror(errno) : refused.message());
            return false;
        }
    }
    error_code ec;
    local.emplace(io);
    local->open(endpoint.protocol(), ec);
    if (!ec) CloseOnExec(*local);
    if (!ec) local->bind(endpoint, ec);
    if (ec) {
        *error = Failure(where, "bind", ec.message());
        local.reset();
        return false;
    }
    path = where;
    // Whoever can connect can drive the devices the bridge talks to: owner
    // only, set before listen so that nobody connects in between.
    struct stat bound {};
    if (chmod(where.c_str(), 0600) != 0 || stat(where.c_str(), &bound) != 0)
        ec = error_code(errno, boost::system::system_category());
    if (!ec) local->listen(16, ec);
    if (ec) {
        *error = Failure(where, "listen", ec.message());
        local.reset();
        unlink(where.c_str());
        path.clear();
        return false;
    }
    dev = bound.st_dev;
    ino = bound.st_ino;
    return true;
#endif
}

Simulator::ControlSocket::ControlSocket(Handler handler) : m_impl(std::make_unique<Impl>(std::move(handler))) {}

Simulator::ControlSocket::~ControlSocket() {
    Stop();
}

uint16_t Simulator::ControlSocket::port() const {
    return m_impl->port;
}

bool Simulator::ControlSocket::Start(const std::string& path, std::string* error) {
    Impl& s = *m_impl;
    if (path.compare(0, 4, "tcp:") == 0) {
        if (!s.ListenTcp(path, error)) return false;
        s.Accept(*s.tcp);
    } else {
        if (!s.ListenUnix(path, error)) return false;
#ifndef _WIN32
        s.Accept(*s.local);
#endif
    }
    s.thread = std::thread([&s] { RunReportingFailure("simulator control socket stopped", [&s] { s.io.run(); }); });
    return true;
}

void Simulator::ControlSocket::Stop() {
    Impl& s = *m_impl;
    if (!s.thread.joinable()) return;
    // Closing everything on its own thread leaves the loop without work.
    asio::post(s.io, [&s] { s.Shutdown(); });
    s.thread.join();
#ifndef _WIN32
    // Only our own socket: another run may have taken the path meanwhile.
    struct stat current {};
    if (!s.path.empty() && s.port == 0 && lstat(s.path.c_str(), &current) == 0 && current.st_dev == s.dev &&
        current.st_ino == s.ino)
        unlink(s.path.c_str());
#endif
}

}  // namespace orvex::sim
