// The Bluetooth LE seam over BlueZ on the system D-Bus.
//
// Device nodes are BlueZ's org.bluez.Device1 objects; each GATT service
// (org.bluez.GattService1) is an interface named
//   BTHLEDEVICE\{<service uuid>}_DEV_VID&<ss><vvvv>_PID&<pppp>_REV&<dddd>_<address>\<object path>
// with vendor source, vendor, product and version from the device's Modalias.
// Subscriptions are StartNotify with Value changes in PropertiesChanged;
// writes are WriteValue with type "request".
//
// Threads. The bus thread (BluezConnection) is the only one that ever
// touches the connection; other threads hand it tasks and wait for their
// outcome with a time-out. On it, the stack keeps a copy of BlueZ's objects
// (BluezObjects), listed once per connection (and again when BlueZ comes back
// on the bus) and kept current by InterfacesAdded, InterfacesRemoved and
// PropertiesChanged; listings and opens answer from the copy. A registration
// outlives its characteristic's object: when BlueZ shows the object again
// (bluetoothd restarted, the device reconnected), the bus thread subscribes
// to it again, as BlueZ forgot the old subscription. m_mutex guards the copy
// and what the threads share, and is held only to read or change them, never
// over bus traffic or a callback. A second thread runs the notification
// callbacks, so that a slow callback stalls neither the bus nor the other
// callers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/BleStack.h"
#include "platform/ThreadSafety.h"
#include "platform/Timings.h"
#include "platform/linux/BluezConnection.h"

namespace sdbus {
class Message;
}  // namespace sdbus

namespace orvex {

namespace bluez {
struct Objects;
}

class BluezStack final : public BleStack {
public:
    // busAddress empty: DBUS_SYSTEM_BUS_ADDRESS, else the system bus. The
    // connection is made at first use; without BlueZ the stack lists nothing.
    explicit BluezStack(std::string busAddress = "", const Timings& timings = Timings());
    ~BluezStack() override;
    BluezStack(const BluezStack&) = delete;
    BluezStack& operator=(const BluezStack&) = delete;

    std::vector<BleDeviceNode> DeviceNodes() override;
    std::vector<std::string> ServiceInterfaces() override;
    std::unique_ptr<BleServiceHandle> OpenService(const std::string& interfaceName) override;
    // Waits for a running callback of this registration only. Called from a
    // callback (which it must not be), it cannot wait for that callback to
    // return: it ends the registration, says so and returns at once.
    void UnregisterEvent(BleEventHandle handle) override;
    // Fails the calls that wait for the bus thread or for BlueZ, and the
    // connection that is on its way.
    void SetStopping(bool stopping) override;

    struct Registration;
    class Service;

private:
    friend class Service;
    enum class State {
        Offline,     // no connection
        Connecting,  // a connection or the object listing is on its way
        Ready,       // the copy of the objects is current
        Absent,      // connected, but BlueZ did not list its objects
    };
    struct Delivery {
        std::shared_ptr<Registration> registration;
        std::vector<uint8_t> value;
    };

    // With m_mutex held: true when the copy is current. Asks for a
    // connection (at most every retry interval) and waits for it, bounded.
    bool LoadedLocked(MutexLock& lock) ORVEX_REQUIRES(m_mutex);
    // Ends a registration; stopNotify: and BlueZ's subscription with its
    // last one, sent without waiting for BlueZ's answer.
    void End(BleEventHandle handle, bool stopNotify);
    void DeliveryLoop();

    // What runs on the bus thread only.
    void Connect(const std::string& address);
    void LoadObjects();
    void Drop(const std::string& why);
    void OnObjectManager(sdbus::Message& message);
    void OnPropertiesChanged(sdbus::Message& message);
    void OnNameOwnerChanged(sdbus::Message& message);
    // StartNotify again for every registration whose characteristic is in
    // the copy and that BlueZ no longer counts.
    void Resubscribe();
    // With m_mutex held: a new copy of the objects; BlueZ's subscriptions
    // went with the old one.
    void ReplaceObjectsLocked(std::unique_ptr<bluez::Objects> objects) ORVEX_REQUIRES(m_mutex);
    void SetState(State state);
    void Unavailable(const std::string& why);

    const std::string m_busAddress;
    const Timings m_timings;

    // Guards every field from here to the bus thread's own.
    Mutex m_mutex;
    std::condition_variable_any m_stateChanged;
    std::condition_variable_any m_deliveryReady;
    State m_state ORVEX_GUARDED_BY(m_mutex) = State::Offline;
    bool m_stop ORVEX_GUARDED_BY(m_mutex) = false;
    bool m_stopping ORVEX_GUARDED_BY(m_mutex) = false;  // SetStopping
    // A listing that failed for another reason than BlueZ's absence is
    // asked again at use, no sooner than the retry interval.
    bool m_retryListing ORVEX_GUARDED_BY(m_mutex) = false;
    std::chrono::steady_clock::time_point m_nextAttempt ORVEX_GUARDED_BY(m_mutex){};
    std::unique_ptr<bluez::Objects> m_objects ORVEX_GUARDED_BY(m_mutex);
    std::map<BleEventHandle, std::shared_ptr<Registration>> m_registrations ORVEX_GUARDED_BY(m_mutex);
    BleEventHandle m_nextHandle ORVEX_GUARDED_BY(m_mutex) = 1;
    std::deque<Delivery> m_deliveries ORVEX_GUARDED_BY(m_mutex);
    bool m_reportedOverflow ORVEX_GUARDED_BY(m_mutex) = false;

    // The bus thread's own.
    uint64_t m_listing = 0;  // the listing whose answer counts
    bool m_reportedUnavailable = false;

    // Stopped first by the destructor: its handlers use every field above.
    BluezConnection m_bus;
    std::thread m_deliveryThread;
};

}  // namespace orvex
