// The bridge's one way onto D-Bus: every bus user (BlueZ, logind, the
// desktop question, the test fakes, the real-BlueZ suite's central) makes
// connections, proxies, matches and calls through these few functions.
//
// Debian 12 ships sdbus-c++ 1.x, Debian 13 ships 2.x, whose calls differ in
// name and argument types but not in what they do on the bus. CMake finds
// the generation (ORVEX_SDBUS_MAJOR) and this file is the only one that
// looks at it: a third generation means editing this file alone. What both
// generations spell the same (messages, variants, errors read by their
// getters, the synchronous convenience calls) is used directly.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifndef ORVEX_SDBUS_MAJOR
#error "ORVEX_SDBUS_MAJOR (the sdbus-c++ major version) is set by CMake"
#endif

namespace orvex::dbus {

using Connection = sdbus::IConnection;
using Proxy = sdbus::IProxy;
// A match rule in force while this is kept.
using Match = std::unique_ptr<void, std::function<void(void*)>>;
using SignalHandler = std::function<void(sdbus::Message&)>;
// Exactly one of the two is given: the reply, or the error.
using ReplyHandler = std::function<void(sdbus::MethodReply*, const sdbus::Error*)>;

inline std::unique_ptr<Connection> SystemBus() {
    return sdbus::createSystemBusConnection();
}
inline std::unique_ptr<Connection> SessionBus() {
    return sdbus::createSessionBusConnection();
}
// The bus at a D-Bus address ("unix:path=...").
inline std::unique_ptr<Connection> BusAt(const std::string& address) {
    return sdbus::createSessionBusConnectionWithAddress(address);
}

inline sdbus::Error MakeError(const std::string& name, const std::string& message) {
#if ORVEX_SDBUS_MAJOR >= 2
    return sdbus::Error(sdbus::Error::Name(name), message);
#else
    return sdbus::Error(name, message);
#endif
}

// A proxy on the caller's connection: it runs no thread of its own, the
// connection's owner dispatches its replies.
inline std::unique_ptr<Proxy> CreateProxy(Connection& connection, const std::string& service, const std::string& path) {
#if ORVEX_SDBUS_MAJOR >= 2
    return sdbus::createProxy(connection, sdbus::ServiceName(service), sdbus::ObjectPath(path));
#else
    return sdbus::createProxy(connection, service, path);
#endif
}

inline Match AddMatch(Connection& connection, const std::string& rule, SignalHandler handler) {
#if ORVEX_SDBUS_MAJOR >= 2
    return connection.addMatch(
        rule, [handler = std::move(handler)](sdbus::Message message) { handler(message); }, sdbus::return_slot);
#else
    return connection.addMatch(rule, std::move(handler));
#endif
}

inline sdbus::MethodCall CreateMethodCall(Proxy& proxy, const char* interface, const char* method) {
#if ORVEX_SDBUS_MAJOR >= 2
    return proxy.createMethodCall(sdbus::InterfaceName(interface), sdbus::MethodName(method));
#else
    return proxy.createMethodCall(interface, method);
#endif
}

// The member (signal or method name) and the object path a message
// carries, "" for none (2.x gives them as C strings that may be null).
inline std::string MemberOf(const sdbus::Message& message) {
#if ORVEX_SDBUS_MAJOR >= 2
    const char* member = message.getMemberName();
    return member ? member : "";
#else
    return message.getMemberName();
#endif
}
inline std::string PathOf(const sdbus::Message& message) {
#if ORVEX_SDBUS_MAJOR >= 2
    const char* path = message.getPath();
    return path ? path : "";
#else
    return message.getPath();
#endif
}

// Sends the call; the connection's owner dispatches onReply later, on its
// thread, while the proxy lives.
inline void CallAsync(Proxy& proxy, const sdbus::MethodCall& message, ReplyHandler onReply,
                      std::chrono::microseconds timeout) {
#if ORVEX_SDBUS_MAJOR >= 2
    proxy.callMethodAsync(
        message,
        [onReply = std::move(onReply)](sdbus::MethodReply reply, std::optional<sdbus::Error> error) {
            onReply(error ? nullptr : &reply, error ? &*error : nullptr);
        },
        static_cast<uint64_t>(timeout.count()));
#else
    proxy.callMethod(
        message,
        [onReply = std::move(onReply)](sdbus::MethodReply& reply, const sdbus::Error* error) {
            onReply(error ? nullptr : &reply, error);
        },
        static_cast<uint64_t>(timeout.count()));
#endif
}

// Handles one thing that is due (a message, a reply, a time-out); false when
// nothing was.
inline bool ProcessPending(Connection& connection) {
#if ORVEX_SDBUS_MAJOR >= 2
    return connection.processPendingEvent();
#else
    return connection.processPendingRequest();
#endif
}

// What a thread that runs the connection itself waits on.
struct PollData {
    int fd = -1;
    short events = 0;
    // Absolute CLOCK_MONOTONIC time in microseconds; UINT64_MAX: none.
    uint64_t deadlineUs = UINT64_MAX;
    // A descriptor the library signals besides the bus's (POLLIN), -1: none.
    int eventFd = -1;
};

inline PollData GetPollData(const Connection& connection) {
    const auto data = connection.getEventLoopPollData();
    PollData result;
    result.fd = data.fd;
    result.events = data.events;
#if ORVEX_SDBUS_MAJOR >= 2
    // 2.x gives the library's "no time-out" as the largest duration.
    const auto count = data.timeout.count();
    result.deadlineUs =
        count < 0 || data.timeout == std::chrono::microseconds::max() ? UINT64_MAX : static_cast<uint64_t>(count);
    result.eventFd = data.eventFd;
#else
    result.deadlineUs = data.timeout_usec;
#endif
    return result;
}

// Methods of one interface on an exported object, made known together.
class MethodTable {
public:
    template <typename Function>
    MethodTable& Add(const char* name, Function function) {
#if ORVEX_SDBUS_MAJOR >= 2
        m_items.push_back(sdbus::registerMethod(name).implementedAs(std::move(function)));
#else
        m_adders.push_back([name, function](sdbus::IObject& object, const char* interface) {
            object.registerMethod(name).onInterface(interface).implementedAs(function);
        });
#endif
        return *this;
    }
    void Export(sdbus::IObject& object, const char* interface) {
#if ORVEX_SDBUS_MAJOR >= 2
        object.addVTable(std::move(m_items)).forInterface(interface);
#else
        for (const auto& add : m_adders) add(object, interface);
        object.finishRegistration();
#endif
    }

private:
#if ORVEX_SDBUS_MAJOR >= 2
    std::vector<sdbus::VTableItem> m_items;
#else
    std::vector<std::function<void(sdbus::IObject&, const char*)>> m_adders;
#endif
};

inline std::unique_ptr<sdbus::IObject> CreateObject(Connection& connection, const std::string& path) {
#if ORVEX_SDBUS_MAJOR >= 2
    return sdbus::createObject(connection, sdbus::ObjectPath(path));
#else
    return sdbus::createObject(connection, path);
#endif
}

}  // namespace orvex::dbus
