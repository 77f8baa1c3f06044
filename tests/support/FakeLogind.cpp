#include "support/FakeLogind.h"

#include <unistd.h>

#include "platform/linux/DBus.h"

namespace orvex::test {

FakeLogind::FakeLogind() = default;

FakeLogind::~FakeLogind() {
    m_proxy.reset();
    m_control.reset();
    m_fake.reset();
    m_bus.Stop();
}

bool FakeLogind::Start(const std::vector<std::string>& sessions, std::string* error) {
    std::string ids;
    for (const std::string& id : sessions) ids += (ids.empty() ? "" : ",") + id;
    if (!m_bus.Start(error)) return false;
    m_fake = m_bus.StartFake(ORVEX_FAKE_LOGIND, {std::to_string(getuid()), ids}, error);
    if (!m_fake) return false;
    try {
        m_control = dbus::BusAt(m_bus.address());
        m_proxy = dbus::CreateProxy(*m_control, "org.freedesktop.login1", "/org/freedesktop/login1");
    } catch (const sdbus::Error& e) {
        *error = "no control connection: " + e.getMessage();
        return false;
    }
    return true;
}

void FakeLogind::Activate(const std::string& session) {
    Call("Activate", session);
}

void FakeLogind::Remove(const std::string& session) {
    Call("Remove", session);
}

void FakeLogind::Call(const char* method, const std::string& session) {
    m_proxy->callMethod(method).onInterface("org.orvex.FakeLogind").withArguments(session);
}

}  // namespace orvex::test
