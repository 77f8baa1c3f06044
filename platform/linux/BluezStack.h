// The Bluetooth LE seam over BlueZ on the system D-Bus.
//
// Device nodes are BlueZ's org.bluez.Device1 objects; each GATT service
// (org.bluez.GattService1) is an interface named
//   BTHLEDEVICE\{<service uuid>}_DEV_VID&<ss><vvvv>_PID&<pppp>_REV&<dddd>_<address>\<object path>
// with vendor source, vendor, product and version from the device's Modalias.
// Subscriptions are StartNotify with Value changes in PropertiesChanged;
// writes are WriteValue with type "request".
//
// One connection serves every thread: calls hold a lock, and one thread of
// its own dispatches signals under the same lock, so that when a
// registration is released no callback of it is still running.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/BleStack.h"

namespace sdbus {
class IConnection;
}

namespace orvex {

class BluezStack final : public BleStack {
public:
    // busAddress empty: DBUS_SYSTEM_BUS_ADDRESS, else the system bus. The
    // connection is made at first use; without BlueZ the stack lists nothing.
    explicit BluezStack(std::string busAddress = "");
    ~BluezStack() override;
    BluezStack(const BluezStack&) = delete;
    BluezStack& operator=(const BluezStack&) = delete;

    std::vector<BleDeviceNode> DeviceNodes() override;
    std::vector<std::string> ServiceInterfaces() override;
    std::unique_ptr<BleServiceHandle> OpenService(const std::string& interfaceName) override;
    void UnregisterEvent(BleEventHandle handle) override;

    struct Registration;
    struct Objects;
    class Service;

private:
    friend class Service;
    // Both require m_mutex held.
    bool ConnectLocked();
    bool ManagedObjectsLocked(Objects* objects);
    void Dispatch();
    void Wake();
    void Unavailable(const std::string& why);
    std::string BusAddress() const;

    const std::string m_busAddress;
    std::mutex m_mutex;
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::map<BleEventHandle, std::unique_ptr<Registration>> m_registrations;
    BleEventHandle m_nextHandle = 1;
    bool m_reportedUnavailable = false;
    std::chrono::steady_clock::time_point m_nextAttempt{};
    int m_wakeFd = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_dispatcher;
};

}  // namespace orvex
