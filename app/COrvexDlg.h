// The main loop object: owns every device table for the whole run, receives
// device changes and timer expiries on one thread, runs start-up and shutdown.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "ble/BleSlots.h"
#include "bridge/PageServer.h"
#include "hid/HidDeviceManager.h"
#include "platform/BleStack.h"
#include "platform/Clock.h"
#include "platform/DeviceMonitor.h"
#include "platform/HidApi.h"
#include "platform/Timings.h"
#include "protocol/CommandProtocol.h"
#include "protocol/CommandQueue.h"

namespace orvex {

// The families' open timers (IDT_OPEN_*) are in families/Families.h.
constexpr int IDT_CONNECT_BLE = 1616;

struct Backends {
    HidApi& hid;
    DeviceMonitor* monitor;  // may be null: no hot-plug
    BleStack* ble;           // may be null: no BLE
    Clock& clock;
    Timings timings = Timings();
};

class COrvexDlg final : public FrameTarget {
public:
    // Every text for the pages goes to pages, which OnInitDialog starts last.
    COrvexDlg(boost::asio::io_context& loop, const Backends& backends, PageServer& pages);
    ~COrvexDlg() override;
    COrvexDlg(const COrvexDlg&) = delete;
    COrvexDlg& operator=(const COrvexDlg&) = delete;

    enum class InitResult { Running, HidInitFailed, ListenFailed };
    // Start-up in order: device notifications, hid_init, the HID families'
    // open steps by open rank, then BLE, then the server thread.
    InitResult OnInitDialog(const ServerConfig& server, std::string* error);
    // The start-up steps before the server (Running: the devices are open).
    InitResult StartDevices(std::string* error);
    // The last start-up step; false with the reason when it cannot listen
    // (PageServer::port_taken tells whether the port was held).
    bool StartServer(const ServerConfig& server, std::string* error);
    // Shutdown in order: stop requests, close every page, server stopped and
    // joined, readers joined. Safe to call twice.
    void OnDestroy();
    // The shutdown steps without the end: every page closed with 1001, the
    // server stopped, every reader joined and every device handle closed,
    // every BLE registration dropped, no timer and no device notification
    // left. StartDevices and StartServer start again afterwards.
    void Suspend();

    void OnDeviceChange(const DeviceChange& change);
    void OnTimer(int id);
    // Cancels the timer if pending and arms it again.
    void RestartTimer(int id, Milliseconds delay);
    void KillTimer(int id);

    // From the server thread: queued for the command thread, which handles
    // frames one at a time in their order of arrival. Never waits.
    size_t HandleFrame(const uint8_t* frame, PageId page) override;

    void OpenBleFamily();
    void ConnectBleSlots();

    boost::asio::io_context& loop() { return m_loop; }
    HidDeviceManager& hid() { return m_hid; }
    BleSlots& ble() { return m_ble; }
    bool server_running() const { return m_serverStarted; }

private:
    // Removal of a BLE HID node; called after the four HID removal handlers.
    void HandleBleRemoval(const DeviceChange& change);

    boost::asio::io_context& m_loop;
    Backends m_backends;
    PageServer& m_server;
    HidDeviceManager m_hid;
    // Before the protocol, which writes through it, so that it outlives it.
    BleSlots m_ble;
    CommandProtocol m_protocol;
    // Frames from the server thread, handled one at a time off that thread.
    CommandQueue m_commands{m_protocol};
    std::map<int, std::unique_ptr<boost::asio::steady_timer>> m_timers;
    std::map<int, unsigned> m_timerGeneration;
    bool m_monitorStarted = false;
    bool m_serverStarted = false;
    bool m_destroyed = false;
    bool m_hidInitialised = false;

    // The shutdown steps common to OnDestroy and Suspend.
    void StopAll(uint16_t closeStatus);
};

}  // namespace orvex
