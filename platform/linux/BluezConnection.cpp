#include "platform/linux/BluezConnection.h"

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "platform/Log.h"
#include "platform/linux/BluezBus.h"
#include "platform/linux/BusPoll.h"
#include "platform/linux/DBus.h"

namespace orvex {

// A call on its way: its proxy must outlive the reply.
struct BluezConnection::Call {
    std::unique_ptr<sdbus::IProxy> proxy;
    OnReply onReply;
};

BluezConnection::BluezConnection(std::string busAddress, const Timings& timings, Handlers handlers)
    : m_busAddress(std::move(busAddress)), m_timings(timings), m_handlers(std::move(handlers)) {}

BluezConnection::~BluezConnection() {
    Stop();
    if (m_wakeFd >= 0) close(m_wakeFd);
}

bool BluezConnection::Start(std::string* why) {
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        *why = std::string("cannot create an event descriptor: ") + std::strerror(errno);
        return false;
    }
    m_thread = std::thread([this] { Loop(); });
    return true;
}

void BluezConnection::Stop() {
    {
        MutexLock lock(m_mutex);
        m_stop = true;
    }
    m_answered.notify_all();
    WakeBusThread(m_wakeFd);
    if (m_thread.joinable()) m_thread.join();
}

bool BluezConnection::Post(std::function<void()> task) {
    {
        MutexLock lock(m_mutex);
        if (m_stop || m_wakeFd < 0) return false;
        m_tasks.push_back(std::move(task));
    }
    WakeBusThread(m_wakeFd);
    return true;
}

BluezConnection::Outcome BluezConnection::Request(const std::string& path, const char* interface, const char* method,
                                                  Append append, bool readBytes) {
    // Guarded by m_mutex; shared with the reply, which may come after the
    // caller stopped waiting.
    struct Answer {
        bool done = false;
        Outcome outcome;
    };
    auto answer = std::make_shared<Answer>();
    Outcome failed;
    {
        MutexLock lock(m_mutex);
        if (m_abandoned) {
            failed.error = "the bridge is stopping";
            return failed;
        }
    }
    const bool posted = Post([this, path, interface, method, append = std::move(append), readBytes, answer] {
        Send(path, interface, method, append,
             [this, answer, readBytes](sdbus::MethodReply* reply, const sdbus::Error* error) {
                 Outcome outcome;
                 if (error) {
                     outcome.error = error->getMessage().empty() ? error->getName() : error->getMessage();
                 } else {
                     try {
                         if (readBytes) *reply >> outcome.bytes;
                         outcome.ok = true;
                     } catch (const sdbus::Error& e) {
                         outcome.error = e.getMessage();
                     }
                 }
                 {
                     MutexLock lock(m_mutex);
                     answer->done = true;
                     answer->outcome = std::move(outcome);
                 }
                 m_answered.notify_all();
             });
    });
    if (!posted) {
        failed.error = "the stack is stopping";
        return failed;
    }
    MutexLock lock(m_mutex);
    const auto deadline = std::chrono::steady_clock::now() + CallerWait();
    while (!answer->done && !m_abandoned && !m_stop)
        if (m_answered.wait_until(lock, deadline) == std::cv_status::timeout) break;
    if (answer->done) return std::move(answer->outcome);
    failed.unanswered = true;
    failed.error = m_abandoned ? "not waited for: the bridge is stopping"
                   : m_stop    ? "the stack stopped"
                               : "no answer in time";
    return failed;
}

void BluezConnection::SetAbandoned(bool abandoned) {
    {
        MutexLock lock(m_mutex);
        m_abandoned = abandoned;
    }
    m_answered.notify_all();
}

// ---- The bus thread. Everything below touches the connection and runs
// ---- only there.

void BluezConnection::Loop() {
    bool hangUp = false;
    for (;;) {
        std::vector<std::function<void()>> tasks;
        {
            MutexLock lock(m_mutex);
            if (m_stop) break;
            tasks.swap(m_tasks);
        }
        RunBusTasks(tasks, "BLE");
        if (m_connection) {
            bool failed = false;
            try {
                while (dbus::ProcessPending(*m_connection)) {
                }
            } catch (const sdbus::Error&) {
                failed = true;
            }
            for (uint64_t id : m_finishedCalls) m_calls.erase(id);
            m_finishedCalls.clear();
            // What arrived before the hang-up has been handled now.
            if (failed || hangUp) m_handlers.lost("the bus connection closed");
        }
        hangUp = false;

        BusWait wait;
        try {
            wait = WaitForBusOrWake(m_connection.get(), m_wakeFd);
        } catch (const sdbus::Error&) {
            m_handlers.lost("the bus connection closed");
            continue;
        }
        if (wait.error != 0) {
            diag_error(std::string("BLE stopped: ") + std::strerror(wait.error));
            break;
        }
        hangUp = wait.hangUp;
    }
    // Callers may still wait for calls in flight; they learn of the end.
    Close("org.orvex.Error.Stopped", "the stack stopped");
}

bool BluezConnection::Open(const std::string& address, std::string* why) {
    const std::string socket = bluez::UnixSocketOf(address);
    struct stat info {};
    if (!socket.empty() && stat(socket.c_str(), &info) != 0) {
        *why = "no bus at " + address + ": " + std::strerror(errno);
        return false;
    }
    try {
        m_connection = m_busAddress.empty() ? dbus::SystemBus() : dbus::BusAt(m_busAddress);
        // The matches are made with blocking calls: bounded like the others.
        m_connection->setMethodCallTimeout(m_timings.busCallTimeout);
        // Signals are wanted before the listing, so that none falls between.
        m_matches.push_back(dbus::AddMatch(
            *m_connection,
            std::string("type='signal',sender='") + bluez::kBluez + "',interface='" + bluez::kObjectManager + "'",
            m_handlers.objectManager));
        m_matches.push_back(
            dbus::AddMatch(*m_connection,
                           std::string("type='signal',sender='") + bluez::kBluez +
                               "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'",
                           m_handlers.propertiesChanged));
        m_matches.push_back(
            dbus::AddMatch(*m_connection,
                           std::string("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                                       "member='NameOwnerChanged',arg0='") +
                               bluez::kBluez + "'",
                           m_handlers.nameOwnerChanged));
    } catch (const sdbus::Error& e) {
        m_matches.clear();
        m_connection.reset();
        *why = "cannot connect to the system bus: " + e.getMessage();
        return false;
    }
    return true;
}

void BluezConnection::Close(const std::string& errorName, const std::string& why) {
    m_handlers.closing();
    const sdbus::Error error = dbus::MakeError(errorName, why);
    for (auto& [id, call] : m_calls) call->onReply(nullptr, &error);
    m_calls.clear();
    m_finishedCalls.clear();
    m_matches.clear();
    m_connection.reset();
}

void BluezConnection::Send(const std::string& path, const char* interface, const char* method, const Append& append,
                           OnReply onReply) {
    // Nothing a reply handler throws may unwind through the bus library.
    auto guarded = [onReply = std::move(onReply)](sdbus::MethodReply* reply, const sdbus::Error* error) {
        try {
            onReply(reply, error);
        } catch (const std::exception& e) {
            diag_error(std::string("BLE reply: ") + e.what());
        }
    };
    if (!m_connection) {
        const sdbus::Error closed = dbus::MakeError("org.orvex.Error.NotConnected", "no bus connection");
        guarded(nullptr, &closed);
        return;
    }
    const uint64_t id = m_nextCall++;
    auto call = std::make_unique<Call>();
    call->onReply = guarded;
    try {
        call->proxy = dbus::CreateProxy(*m_connection, bluez::kBluez, path);
        sdbus::MethodCall message = dbus::CreateMethodCall(*call->proxy, interface, method);
        if (append) append(message);
        dbus::CallAsync(
            *call->proxy, message,
            [this, id](sdbus::MethodReply* reply, const sdbus::Error* error) {
                auto it = m_calls.find(id);
                if (it == m_calls.end()) return;
                it->second->onReply(reply, error);
                // Its proxy is still in use up the stack: it goes after processing.
                m_finishedCalls.push_back(id);
            },
            m_timings.busCallTimeout);
    } catch (const sdbus::Error& e) {
        guarded(nullptr, &e);
        return;
    }
    m_calls[id] = std::move(call);
}

}  // namespace orvex
