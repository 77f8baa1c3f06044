#include "app/COrvexDlg.h"

#include "platform/Log.h"

namespace orvex {

COrvexDlg::COrvexDlg(boost::asio::io_context& loop, const Backends& backends)
    : m_loop(loop), m_backends(backends), m_hid(backends.hid, backends.clock), m_protocol(m_hid, backends.clock) {}

COrvexDlg::~COrvexDlg() { OnDestroy(); }

COrvexDlg::InitResult COrvexDlg::OnInitDialog(const ServerConfig& server, std::string* error) {
    // Device notifications first, so nothing plugged in during the open steps
    // goes unnoticed. A monitor that cannot start only costs hot-plug.
    if (m_backends.monitor)
        m_monitorStarted =
            m_backends.monitor->start(m_loop, [this](const DeviceChange& change) { OnDeviceChange(change); });

    if (m_backends.hid.init() != 0) {
        if (error) *error = "cannot initialise the HID library; running without devices and without server";
        return InitResult::HidInitFailed;
    }

    for (uint8_t family : {0x81, 0x82, 0x83, 0x85, 0x80}) m_hid.OpenHidFamily(family);
    OpenBleFamily();

    g_main_dialog = this;
    if (!start_server(server, error)) return InitResult::ListenFailed;
    m_serverStarted = true;
    return InitResult::Running;
}

void COrvexDlg::OnDestroy() {
    if (m_destroyed) return;
    m_destroyed = true;
    for (auto& entry : m_timers) entry.second->cancel();
    if (m_monitorStarted) m_backends.monitor->stop();
    m_hid.RequestStopAll();
    close_all_connections();
    if (m_serverStarted) stop_server();
    m_serverStarted = false;
    if (g_main_dialog == this) g_main_dialog = nullptr;
    m_hid.JoinAllReaders();
}

void COrvexDlg::OnDeviceChange(const DeviceChange&) {
    // Hot-plug arrives with its own change.
}

void COrvexDlg::OnTimer(int id) {
    KillTimer(id);
}

void COrvexDlg::RestartTimer(int id, std::chrono::milliseconds delay) {
    auto& timer = m_timers[id];
    if (!timer) timer = std::make_unique<boost::asio::steady_timer>(m_loop);
    timer->cancel();
    // An expiry already queued when the timer was cancelled still arrives
    // without error; the generation tells it apart from the new arming.
    const unsigned generation = ++m_timerGeneration[id];
    timer->expires_after(delay);
    timer->async_wait([this, id, generation](const boost::system::error_code& ec) {
        if (!ec && m_timerGeneration[id] == generation) OnTimer(id);
    });
}

void COrvexDlg::KillTimer(int id) {
    auto it = m_timers.find(id);
    if (it != m_timers.end()) it->second->cancel();
    ++m_timerGeneration[id];
}

int COrvexDlg::HandleDeviceQuery(const uint8_t* frame) { return m_protocol.HandleDeviceQuery(frame); }

int COrvexDlg::HandleDeviceCommand(const uint8_t* frame) { return m_protocol.HandleDeviceCommand(frame); }

void COrvexDlg::OpenBleFamily() {
    // BLE discovery arrives with the BLE transport.
}

void COrvexDlg::ConnectBleSlots() {}

}  // namespace orvex
