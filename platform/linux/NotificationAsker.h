// Asks the user about a page origin with a desktop notification
// (org.freedesktop.Notifications on the session bus) that carries the actions
// "allow" and "deny". A server without actions, or no session bus, leaves the
// console as the only place to answer.
//
// sd-bus connections are not thread-safe: one thread of the asker makes the
// connection, sends every call and handles every signal; Ask and Withdraw
// only queue work for it and never wait.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/TrustSeams.h"

namespace sdbus {
class IConnection;
class IProxy;
class Message;
}  // namespace sdbus

namespace orvex {

class NotificationAsker final : public Asker {
public:
    using Answer = std::function<void(const std::string& origin, OriginDecision decision)>;
    // busAddress empty: the session bus of DBUS_SESSION_BUS_ADDRESS. answer is
    // called on the asker's thread.
    NotificationAsker(std::string busAddress, Answer answer);
    ~NotificationAsker() override;
    NotificationAsker(const NotificationAsker&) = delete;
    NotificationAsker& operator=(const NotificationAsker&) = delete;

    // Ends the asker's thread (not from an answer); later questions are dropped.
    void Stop();

    void Ask(const std::string& origin) override;
    void Withdraw(const std::string& origin) override;

private:
    void Post(std::function<void()> task);
    void Loop();
    bool Connected();  // bus thread: a connection to a server with actions
    void Drop(const std::string& why);
    void Disconnect();  // forgets the questions shown and the connection
    // Takes question id off the desktop; false when the desktop did not answer.
    bool CloseQuestion(uint32_t id);
    void OnActionInvoked(sdbus::Message& message);
    void OnClosed(sdbus::Message& message);

    const std::string m_busAddress;
    const Answer m_answer;
    std::mutex m_mutex;  // guards m_tasks and m_stop only
    std::vector<std::function<void()>> m_tasks;
    bool m_stop = false;
    int m_wake = -1;
    std::thread m_thread;

    // Bus thread only.
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::unique_ptr<sdbus::IProxy> m_proxy;
    std::vector<std::unique_ptr<void, std::function<void(void*)>>> m_matches;
    std::map<uint32_t, std::string> m_shown;  // notification id -> origin
    bool m_noActions = false;
    bool m_reported = false;
};

}  // namespace orvex
