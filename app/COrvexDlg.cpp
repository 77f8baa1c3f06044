#include "app/COrvexDlg.h"

#include "platform/Log.h"

namespace orvex {

COrvexDlg::COrvexDlg(boost::asio::io_context& loop, const Backends& backends, PageServer& pages)
    : m_loop(loop),
      m_backends(backends),
      m_server(pages),
      m_hid(backends.hid, backends.clock, m_server, backends.timings),
      m_ble(backends.ble, m_server, backends.timings.bleStopWait),
      m_protocol(m_hid, backends.clock, m_server, backends.timings) {
    m_protocol.SetBlePort(&m_ble);
    m_commands.SetRoomHandler([this](PageId page) { m_server.resume_page(page); });
}

COrvexDlg::~COrvexDlg() {
    OnDestroy();
}

COrvexDlg::InitResult COrvexDlg::OnInitDialog(const ServerConfig& server, std::string* error) {
    const InitResult devices = StartDevices(error);
    if (devices != InitResult::Running) return devices;
    return StartServer(server, error) ? InitResult::Running : InitResult::ListenFailed;
}

COrvexDlg::InitResult COrvexDlg::StartDevices(std::string* error) {
    // Device notifications first, so nothing plugged in during the open steps
    // goes unnoticed. A monitor that cannot start only costs hot-plug.
    if (m_backends.monitor && !m_monitorStarted)
        m_monitorStarted =
            m_backends.monitor->start(m_loop, [this](const DeviceChange& change) { OnDeviceChange(change); });

    // Once per run: the library keeps its state until the process ends.
    if (!m_hidInitialised) {
        if (m_backends.hid.init() != 0) {
            if (error) *error = "cannot initialise the HID library; running without devices and without server";
            return InitResult::HidInitFailed;
        }
        m_hidInitialised = true;
    }

    for (uint8_t family : HidFamiliesBy(&FamilyRules::openRank)) m_hid.OpenHidFamily(family);
    OpenBleFamily();

    // Without the command thread every frame from a page would be dropped.
    if (!m_commands.Start()) diag_error("commands from pages are dropped: no command thread");
    return InitResult::Running;
}

bool COrvexDlg::StartServer(const ServerConfig& server, std::string* error) {
    if (m_serverStarted) return true;
    if (!m_server.Start(server, *this, error)) return false;
    m_serverStarted = true;
    return true;
}

void COrvexDlg::OnDestroy() {
    if (m_destroyed) return;
    m_destroyed = true;
    StopAll(1000);
}

void COrvexDlg::Suspend() {
    if (m_destroyed) return;
    // 1001, going away: the bridge steps aside for another session's, which
    // a page that connects again then finds.
    StopAll(1001);
    // Every timer was cancelled; an expiry already queued must not open a
    // family again.
    for (auto& entry : m_timers) ++m_timerGeneration[entry.first];
    m_hid.CloseAll();
}

void COrvexDlg::StopAll(uint16_t closeStatus) {
    for (auto& entry : m_timers) entry.second->cancel();
    if (m_monitorStarted) m_backends.monitor->stop();
    m_monitorStarted = false;
    m_hid.RequestStopAll();
    // An exchange under way winds down while the pages close, not after;
    // a BLE write or connect stops waiting for a stack that does not answer.
    m_protocol.SetAbandon(true);
    m_ble.AbandonCalls();
    m_server.close_all_connections(closeStatus);
    if (m_serverStarted) m_server.Stop();
    m_serverStarted = false;
    m_commands.Stop();
    // Callbacks of the stack's threads must not outlive the slots they write.
    // The one wait for the BLE worker on the loop, bounded: the stack's calls
    // fail at once by now.
    m_ble.UnregisterAll();
    m_hid.JoinAllReaders();
}

void COrvexDlg::OnDeviceChange(const DeviceChange& change) {
    if (change.kind == DeviceChange::Kind::Removal) {
        // Every handler decides alone; one node can concern several families.
        m_hid.HandleHidRemoval(change);
        HandleBleRemoval(change);
        return;
    }

    trace("DBT_DEVICEARRIVAL.\n");
    if (change.path.empty()) return;
    // Nothing is opened yet: a device announces each of its nodes, and every
    // announcement pushes the family's timer back, so the family is rebuilt
    // once, a second after the last one.
    int restarted = 0;
    for (const FamilyRules& rules : kFamilies) {
        const bool concerned = rules.transport == Transport::Ble
                                   ? change.bus == kBusBluetooth && change.vendor_id == kBleHidVendorId
                                   : FamilyTakesProduct(rules, change.vendor_id, change.product_id);
        // Families that share a timer share it once.
        if (!concerned || rules.openTimer == restarted) continue;
        restarted = rules.openTimer;
        RestartTimer(rules.openTimer, m_backends.timings.arrivalDelay);
    }
}

void COrvexDlg::HandleBleRemoval(const DeviceChange& change) {
    m_ble.HandleBleRemoval(change);
}

void COrvexDlg::OnTimer(int id) {
    // An expiry queued before OnDestroy must not open what was just closed.
    if (m_destroyed) return;
    KillTimer(id);
    if (id == IDT_CONNECT_BLE) {
        ConnectBleSlots();
        return;
    }
    for (const FamilyRules& rules : kFamilies) {
        if (rules.openTimer != id) continue;
        if (rules.transport == Transport::Ble)
            OpenBleFamily();
        else
            m_hid.OpenHidFamily(rules.family);
    }
}

void COrvexDlg::RestartTimer(int id, Milliseconds delay) {
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

size_t COrvexDlg::HandleFrame(const uint8_t* frame, PageId page) {
    return m_commands.Post(frame, page);
}

void COrvexDlg::OpenBleFamily() {
    // The devices connect a while after they are listed, once the stack has
    // caught up with them.
    if (m_ble.OpenBleFamily(m_backends.hid)) RestartTimer(IDT_CONNECT_BLE, m_backends.timings.bleConnectDelay);
}

void COrvexDlg::ConnectBleSlots() {
    m_ble.ConnectBleSlots();
}

}  // namespace orvex
