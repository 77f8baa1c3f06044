// A fake logind (fake_logind.py) on a private bus: one user, the test's
// uid, with sessions that a test switches between and removes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/PrivateBus.h"

namespace sdbus {
class IConnection;
class IProxy;
}  // namespace sdbus

namespace orvex::test {

class FakeLogind {
public:
    FakeLogind();
    ~FakeLogind();
    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    // sessions: their ids; the first is active and the user's display
    // session. False with the reason when the bus or the fake did not start.
    bool Start(const std::vector<std::string>& sessions, std::string* error);
    const std::string& address() const { return m_bus.address(); }
    // This session becomes active and every other one inactive.
    void Activate(const std::string& session);
    // The session closes and goes, as at logout.
    void Remove(const std::string& session);

private:
    void Call(const char* method, const std::string& session);

    PrivateBus m_bus;
    std::unique_ptr<ChildProcess> m_fake;
    std::unique_ptr<sdbus::IConnection> m_control;
    std::unique_ptr<sdbus::IProxy> m_proxy;
};

}  // namespace orvex::test
