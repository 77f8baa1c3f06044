#include "platform/linux/LogindSession.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Log.h"
#include "platform/linux/BusHelpers.h"
#include "platform/linux/DBus.h"

namespace orvex {

namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kUser = "org.freedesktop.login1.User";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

sdbus::Variant GetProperty(sdbus::IConnection& connection, const std::string& path, const char* interface,
                           const char* name, std::chrono::milliseconds timeout) {
    auto proxy = dbus::CreateProxy(connection, kLogind, path);
    sdbus::Variant value;
    proxy->callMethod("Get")
        .onInterface(kProperties)
        .withTimeout(timeout)
        .withArguments(std::string(interface), std::string(name))
        .storeResultsTo(value);
    return value;
}

// The session's path and properties on an open connection; throws sdbus::Error.
LoginSessionInfo LookUp(sdbus::IConnection& connection, uid_t uid, std::chrono::milliseconds timeout) {
    LoginSessionInfo info;
    auto manager = dbus::CreateProxy(connection, kLogind, kManagerPath);
    sdbus::ObjectPath path;
    const char* named = std::getenv("XDG_SESSION_ID");
    if (named && *named) {
        manager->callMethod("GetSession")
            .onInterface(kManager)
            .withTimeout(timeout)
            .withArguments(std::string(named))
            .storeResultsTo(path);
    } else {
        sdbus::ObjectPath user;
        manager->callMethod("GetUser")
            .onInterface(kManager)
            .withTimeout(timeout)
            .withArguments(static_cast<uint32_t>(uid))
            .storeResultsTo(user);
        const auto display = GetProperty(connection, user, kUser, "Display", timeout)
                                 .get<sdbus::Struct<std::string, sdbus::ObjectPath>>();
        path = display.get<1>();
        if (path == "/" || path.empty()) {
            info.why = "user " + std::to_string(uid) + " has no display session";
            return info;
        }
    }
    info.path = path;
    info.id = GetProperty(connection, path, kSession, "Id", timeout).get<std::string>();
    info.active = GetProperty(connection, path, kSession, "Active", timeout).get<bool>();
    info.remote = GetProperty(connection, path, kSession, "Remote", timeout).get<bool>();
    info.found = true;
    return info;
}

// A connection to the system bus, or null with the reason. A missing socket
// is told apart first: sd-bus would name it less clearly.
std::unique_ptr<sdbus::IConnection> ConnectSystemBus(std::string* why) {
    const std::string address = dbus::SystemBusAddress("");
    const std::string socket = dbus::UnixSocketOf(address);
    struct stat info {};
    if (!socket.empty() && stat(socket.c_str(), &info) != 0) {
        *why = "no system bus at " + address + " (" + std::strerror(errno) + ")";
        return nullptr;
    }
    try {
        return dbus::SystemBus();
    } catch (const sdbus::Error& e) {
        *why = "cannot connect to the system bus: " + e.getMessage();
        return nullptr;
    }
}

std::string Describe(const sdbus::Error& e) {
    if (e.getName() == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        e.getName() == "org.freedesktop.DBus.Error.NameHasNoOwner")
        return "no logind on the system bus";
    return "logind: " + e.getMessage();
}

}  // namespace

LoginSessionInfo LookUpLoginSession(uid_t uid, std::chrono::milliseconds timeout) {
    LoginSessionInfo info;
    auto connection = ConnectSystemBus(&info.why);
    if (!connection) return info;
    try {
        return LookUp(*connection, uid, timeout);
    } catch (const sdbus::Error& e) {
        info.why = Describe(e);
        return info;
    }
}

std::unique_ptr<SessionWatch> FindSystemSession(std::string* why) {
    auto session = std::make_unique<LogindSession>();
    if (!session->Find(why)) return nullptr;
    return session;
}

LogindSession::LogindSession(std::chrono::milliseconds callTimeout) : m_timeout(callTimeout) {}

LogindSession::~LogindSession() {
    stop();
}

bool LogindSession::Find(std::string* why) {
    m_connection = ConnectSystemBus(why);
    if (!m_connection) return false;
    try {
        // The matches first, so that no change falls between them and the look.
        m_connection->setMethodCallTimeout(std::chrono::duration_cast<std::chrono::microseconds>(m_timeout).count());
        auto onRemoved = [this](sdbus::Message& message) {
            std::string id;
            sdbus::ObjectPath path;
            message >> id >> path;
            if (m_info.found && path == m_info.path) Deliver(Change::Ended);
        };
        m_matches.push_back(dbus::AddMatch(
            *m_connection,
            std::string("type='signal',sender='") + kLogind + "',interface='" + kManager + "',member='SessionRemoved'",
            onRemoved));
        auto onChanged = [this](sdbus::Message& message) {
            if (!m_info.found || dbus::PathOf(message) != m_info.path) return;
            std::string interface;
            std::map<std::string, sdbus::Variant> changed;
            std::vector<std::string> invalidated;
            message >> interface >> changed >> invalidated;
            if (interface != kSession) return;
            std::string state;
            if (dbus::Get(changed, "State", &state) && state == "closing") {
                Deliver(Change::Ended);
                return;
            }
            bool active = m_active;
            bool known = dbus::Get(changed, "Active", &active);
            for (const auto& name : invalidated)
                if (name == "Active") {
                    try {
                        active = GetProperty(*m_connection, m_info.path, kSession, "Active", m_timeout).get<bool>();
                        known = true;
                    } catch (const sdbus::Error& e) {
                        diag_warning("cannot read whether session " + m_info.id + " is active: " + e.getMessage());
                    }
                }
            if (known && !m_info.remote) Deliver(active ? Change::Active : Change::Inactive);
        };
        m_matches.push_back(dbus::AddMatch(*m_connection,
                                           std::string("type='signal',sender='") + kLogind + "',interface='" +
                                               kProperties + "',member='PropertiesChanged',arg0='" + kSession + "'",
                                           onChanged));
        m_info = LookUp(*m_connection, getuid(), m_timeout);
    } catch (const sdbus::Error& e) {
        m_info = LoginSessionInfo();
        m_info.why = Describe(e);
    }
    if (!m_info.found) {
        *why = m_info.why;
        m_matches.clear();
        m_connection.reset();
        return false;
    }
    m_active = m_info.remote || m_info.active;
    return true;
}

void LogindSession::start(boost::asio::io_context& loop, Handler handler) {
    if (!m_connection) return;
    m_loop = &loop;
    m_handler = std::move(handler);
    try {
        const int fd = dbus::GetPollData(*m_connection).fd;
        m_descriptor = std::make_unique<boost::asio::posix::stream_descriptor>(loop, fd);
    } catch (const std::exception& e) {
        LoseBus(e.what());
        return;
    }
    // Signals that came in with the replies of the look-up already wait in
    // the connection, where the descriptor no longer shows them.
    ProcessBus();
}

void LogindSession::stop() {
    if (m_descriptor) {
        boost::system::error_code ignored;
        m_descriptor->cancel(ignored);
        // The descriptor is the connection's to close.
        m_descriptor->release();
        m_descriptor.reset();
    }
    m_matches.clear();
    m_connection.reset();
}

void LogindSession::WaitForBus() {
    if (!m_descriptor) return;
    m_descriptor->async_wait(boost::asio::posix::stream_descriptor::wait_read,
                             [this](const boost::system::error_code& ec) {
                                 if (!ec) ProcessBus();
                             });
}

void LogindSession::ProcessBus() {
    if (!m_connection) return;
    bool any = false;
    try {
        while (dbus::ProcessPending(*m_connection)) any = true;
    } catch (const sdbus::Error& e) {
        LoseBus(e.getMessage());
        return;
    }
    if (!any) {
        // Readable with nothing to read: the bus hung up.
        pollfd probe{m_descriptor->native_handle(), POLLIN, 0};
        if (poll(&probe, 1, 0) > 0 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            LoseBus("the connection closed");
            return;
        }
    }
    WaitForBus();
}

void LogindSession::Deliver(Change change) {
    if (m_ended) return;
    if (change == Change::Ended) {
        m_ended = true;
    } else {
        const bool active = change == Change::Active;
        if (m_active.exchange(active) == active) return;
    }
    // Posted: the handler may stop this watch, which must not happen inside
    // the connection's own processing.
    boost::asio::post(*m_loop, [this, change] {
        if (m_handler) m_handler(change);
    });
}

void LogindSession::LoseBus(const std::string& why) {
    // Nobody can tell any more which session is in front: the bridge serves,
    // as where there is no logind at all.
    diag_warning("lost the login session's bus (" + why + "); following it no more");
    if (m_descriptor) {
        m_descriptor->release();
        m_descriptor.reset();
    }
    m_matches.clear();
    m_connection.reset();
    if (!m_ended && m_loop) Deliver(Change::Active);
}

}  // namespace orvex
