// A private D-Bus bus (PrivateBus) with the fake BlueZ of
// fake_bluez.py on it, and a control connection that drives the fake. Shared
// by the BlueZ backend's tests and its benchmark.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/PrivateBus.h"

namespace sdbus {
class IConnection;
class IProxy;
}  // namespace sdbus

namespace orvex::test {

// The fake's connected vendor device and its objects.
inline const std::string kFakePad = "/org/bluez/hci0/dev_C0_FF_EE_00_00_01";
inline const std::string kFakePadWrite = kFakePad + "/service000c/char000d";
inline const std::string kFakePadNotify = kFakePad + "/service000c/char000f";
inline const std::string kFakePadInterface =
    "BTHLEDEVICE\\{0000FEE0-0000-1000-8000-00805F9B34FB}_DEV_VID&02045E_PID&0B13_REV&0001_C0FFEE000001\\" + kFakePad +
    "/service000c";
// The other device's battery service, with a notify characteristic 0x2A19.
inline const std::string kFakeOther = "/org/bluez/hci0/dev_11_22_33_44_55_66";
inline const std::string kFakeOtherNotify = kFakeOther + "/service0010/char0011";
inline const std::string kFakeOtherInterface =
    "BTHLEDEVICE\\{0000180F-0000-1000-8000-00805F9B34FB}_DEV_VID&000000_PID&0000_REV&0000_112233445566\\" + kFakeOther +
    "/service0010";

class FakeBluez {
public:
    // Empty when a private bus and the fake can run here, else the reason.
    static std::string Unavailable();

    // unrelatedObjects: that many more objects in the tree, none of them
    // the vendor's.
    explicit FakeBluez(int unrelatedObjects = 0);
    ~FakeBluez();
    FakeBluez(const FakeBluez&) = delete;
    FakeBluez& operator=(const FakeBluez&) = delete;

    // The bus and the fake on it; false with the reason when they did not start.
    bool Start(std::string* error);
    const std::string& address() const { return m_bus.address(); }
    // BlueZ leaves the bus (the fake ends) and comes back with its objects
    // as they were at start; announceLater: listed without the devices, which
    // are announced a moment later.
    bool Restart(std::string* error, bool announceLater = false);
    // The bus itself goes and comes back at the same address, with a new fake.
    bool RestartBus(std::string* error);

    struct Write {
        std::string path;
        std::vector<uint8_t> value;
        std::string type;
    };
    std::vector<Write> Writes();
    std::vector<std::string> Events();  // "StartNotify <path>", "StopNotify <path>"
    unsigned Calls(const std::string& method);
    void Notify(const std::string& path, const std::vector<uint8_t>& value);
    // A notification whose value is the emission time (CLOCK_MONOTONIC
    // nanoseconds, 8 bytes little-endian).
    void NotifyStamped(const std::string& path);
    void FailWrites(bool fail);
    // Later writes are answered after that many seconds or at ReleaseWrites.
    void HoldWrites(double seconds);
    void ReleaseWrites();
    unsigned HeldWrites();  // received and not answered yet
    // BlueZ hangs: listings, StartNotify, StopNotify and descriptor reads
    // that arrive within that many seconds are answered when they are over.
    void Hang(double seconds);
    unsigned Hung();  // received during the hang and not answered yet
    // Adds a disconnected vendor device (product 0x0B14) with the vendor
    // service, announced; returns its object path.
    std::string AddDevice(const std::string& address);
    void SetConnected(const std::string& path, bool connected);
    void RemoveDevice(const std::string& path);

private:
    bool StartBus(std::string* error);
    bool StartFake(std::string* error, bool announceLater = false);

    const int m_unrelated;
    PrivateBus m_bus;
    std::unique_ptr<ChildProcess> m_fake;
    std::mutex m_mutex;  // one control call at a time on the connection
    std::unique_ptr<sdbus::IConnection> m_control;
    std::unique_ptr<sdbus::IProxy> m_proxy;
};

}  // namespace orvex::test
