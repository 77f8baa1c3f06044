#include "support/FakeBluez.h"

#include <unistd.h>

#include "platform/linux/DBus.h"

namespace orvex::test {

namespace {
const char* kControl = "org.orvex.FakeBluez";
}  // namespace

std::string FakeBluez::Unavailable() {
    return PrivateBus::Unavailable();
}

FakeBluez::FakeBluez(int unrelatedObjects) : m_unrelated(unrelatedObjects) {}

FakeBluez::~FakeBluez() {
    m_proxy.reset();
    m_control.reset();
    m_fake.reset();
    m_bus.Stop();
}

bool FakeBluez::Start(std::string* error) {
    return StartBus(error);
}

bool FakeBluez::StartBus(std::string* error) {
    if (!m_bus.Start(error) || !StartFake(error)) return false;
    try {
        m_control = dbus::BusAt(m_bus.address());
        m_proxy = dbus::CreateProxy(*m_control, "org.bluez", "/");
    } catch (const sdbus::Error& e) {
        *error = "no control connection: " + e.getMessage();
        return false;
    }
    return true;
}

bool FakeBluez::RestartBus(std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy.reset();
    m_control.reset();
    // The bus first: BlueZ does not leave it before it goes.
    m_bus.Stop();
    m_fake.reset();
    return StartBus(error);
}

bool FakeBluez::StartFake(std::string* error, bool announceLater) {
    std::vector<std::string> args{std::to_string(m_unrelated)};
    if (announceLater) args.push_back("late");
    m_fake = m_bus.StartFake(ORVEX_FAKE_BLUEZ, args, error);
    return m_fake != nullptr;
}

bool FakeBluez::Restart(std::string* error, bool announceLater) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fake.reset();
    return StartFake(error, announceLater);
}

std::vector<FakeBluez::Write> FakeBluez::Writes() {
    std::vector<sdbus::Struct<sdbus::ObjectPath, std::vector<uint8_t>, std::string>> raw;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_proxy->callMethod("Writes").onInterface(kControl).storeResultsTo(raw);
    }
    std::vector<Write> writes;
    for (const auto& w : raw) writes.push_back(Write{w.get<0>(), w.get<1>(), w.get<2>()});
    return writes;
}

std::vector<std::string> FakeBluez::Events() {
    std::vector<std::string> events;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("Events").onInterface(kControl).storeResultsTo(events);
    return events;
}

unsigned FakeBluez::Calls(const std::string& method) {
    uint32_t count = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("Calls").onInterface(kControl).withArguments(method).storeResultsTo(count);
    return count;
}

void FakeBluez::Notify(const std::string& path, const std::vector<uint8_t>& value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("Notify").onInterface(kControl).withArguments(sdbus::ObjectPath(path), value);
}

void FakeBluez::NotifyStamped(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("NotifyStamped").onInterface(kControl).withArguments(sdbus::ObjectPath(path));
}

void FakeBluez::FailWrites(bool fail) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("FailWrites").onInterface(kControl).withArguments(fail);
}

void FakeBluez::HoldWrites(double seconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("HoldWrites").onInterface(kControl).withArguments(seconds);
}

void FakeBluez::ReleaseWrites() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("ReleaseWrites").onInterface(kControl);
}

unsigned FakeBluez::HeldWrites() {
    uint32_t count = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("HeldWrites").onInterface(kControl).storeResultsTo(count);
    return count;
}

void FakeBluez::Hang(double seconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("Hang").onInterface(kControl).withArguments(seconds);
}

unsigned FakeBluez::Hung() {
    uint32_t count = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("Hung").onInterface(kControl).storeResultsTo(count);
    return count;
}

std::string FakeBluez::AddDevice(const std::string& address) {
    sdbus::ObjectPath path;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("AddDevice").onInterface(kControl).withArguments(address).storeResultsTo(path);
    return path;
}

void FakeBluez::SetConnected(const std::string& path, bool connected) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("SetConnected").onInterface(kControl).withArguments(sdbus::ObjectPath(path), connected);
}

void FakeBluez::RemoveDevice(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxy->callMethod("RemoveDevice").onInterface(kControl).withArguments(sdbus::ObjectPath(path));
}

}  // namespace orvex::test
