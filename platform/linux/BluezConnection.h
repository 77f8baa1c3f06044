// The BlueZ backend's bus thread and its connection to the system bus.
//
// sd-bus connections are not thread-safe, so this thread is the only one
// that ever touches the connection: it makes it, sends every call, handles
// every reply and signal, and drops it. Other threads hand it tasks (Post)
// or a call whose outcome they wait for, bounded (Request). What BlueZ's
// signals and a lost connection mean is the owner's business: they come to
// it as Handlers, on this thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/ThreadSafety.h"
#include "platform/Timings.h"

namespace sdbus {
class IConnection;
class Message;
class MethodCall;
class MethodReply;
class Error;
}  // namespace sdbus

namespace orvex {

class BluezConnection {
public:
    struct Handlers {
        // BlueZ's InterfacesAdded and InterfacesRemoved, a PropertiesChanged
        // of one of its objects, and a change of owner of its name.
        std::function<void(sdbus::Message&)> objectManager, propertiesChanged, nameOwnerChanged;
        // The connection failed; the owner calls Close.
        std::function<void(const std::string& why)> lost;
        // Called by Close before the calls on their way fail, so that the
        // owner can take what they answer for stale.
        std::function<void()> closing;
    };
    struct Outcome {
        bool ok = false;
        // The call went out and its answer was not waited for: BlueZ may
        // still carry it out.
        bool unanswered = false;
        std::string error;
        std::vector<uint8_t> bytes;
    };
    using Append = std::function<void(sdbus::MethodCall&)>;
    using OnReply = std::function<void(sdbus::MethodReply*, const sdbus::Error*)>;

    // busAddress empty: the system bus.
    BluezConnection(std::string busAddress, const Timings& timings, Handlers handlers);
    ~BluezConnection();
    BluezConnection(const BluezConnection&) = delete;
    BluezConnection& operator=(const BluezConnection&) = delete;

    // Starts the thread; false with the reason when it cannot wait for tasks.
    bool Start(std::string* why);
    // Ends the thread: the calls on their way fail, later tasks are refused.
    void Stop();
    bool Usable() const { return m_wakeFd >= 0; }
    // How long a caller waits for the bus thread to answer.
    Milliseconds CallerWait() const { return m_timings.busCallTimeout + m_timings.busCallerGrace; }

    // Queues a task for the bus thread; false when it stops.
    bool Post(std::function<void()> task);
    // One method call through the bus thread, waited for with a time-out.
    // append adds the arguments; it runs on the bus thread.
    Outcome Request(const std::string& path, const char* interface, const char* method, Append append, bool readBytes);
    // Abandoned: Requests fail at once, those waiting now included, until
    // called with false. Their calls stay on their way; a late answer is
    // dropped. Tasks and Send are not concerned.
    void SetAbandoned(bool abandoned);

    // The bus thread only.
    bool IsOpen() const { return m_connection != nullptr; }
    // The connection at address (the system bus's, resolved) with the
    // matches of the Handlers' signals; false with the reason.
    bool Open(const std::string& address, std::string* why);
    // Fails the calls on their way with the reason and drops the connection.
    void Close(const std::string& errorName, const std::string& why);
    void Send(const std::string& path, const char* interface, const char* method, const Append& append,
              OnReply onReply);

private:
    struct Call;
    void Loop();

    const std::string m_busAddress;
    const Timings m_timings;
    const Handlers m_handlers;
    int m_wakeFd = -1;

    Mutex m_mutex;
    // Signalled when a Request's answer arrives, and at abandon and stop.
    std::condition_variable_any m_answered;
    bool m_stop ORVEX_GUARDED_BY(m_mutex) = false;
    bool m_abandoned ORVEX_GUARDED_BY(m_mutex) = false;
    std::vector<std::function<void()>> m_tasks ORVEX_GUARDED_BY(m_mutex);

    // The bus thread's own.
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::vector<std::unique_ptr<void, std::function<void(void*)>>> m_matches;
    std::map<uint64_t, std::unique_ptr<Call>> m_calls;
    std::vector<uint64_t> m_finishedCalls;
    uint64_t m_nextCall = 1;

    std::thread m_thread;
};

}  // namespace orvex
