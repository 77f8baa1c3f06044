// The probes of --check on Windows: the named mutex for a running bridge, a
// connection and the TCP tables for the port, the Terminal Services session,
// the HID collections through SetupAPI, the GATT services of paired devices.
#include <windows.h>
#include <winsock2.h>
#include <wtsapi32.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "app/COrvexApp.h"
#include "app/CheckReport.h"
#include "platform/System.h"
#include "platform/windows/InterfacePath.h"
#include "platform/windows/TcpOwners.h"
#include "platform/windows/WinBleStack.h"
#include "platform/windows/WinHidApi.h"
#include "platform/windows/WinSession.h"

namespace orvex::check {

namespace {

// A mutex of another user's bridge exists but may not be opened.
bool BridgeRunning() {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, Widen(kInstanceName).c_str());
    if (mutex) CloseHandle(mutex);
    return mutex != nullptr || GetLastError() == ERROR_ACCESS_DENIED;
}

// Whether a page reaching the address would find a listener: a connection,
// given up after 2 s.
bool Connects(const std::string& address, uint16_t port) {
    namespace ip = boost::asio::ip;
    boost::system::error_code ec;
    ip::address_v4 host = ip::make_address_v4(address == "0.0.0.0" ? "127.0.0.1" : address, ec);
    if (ec) host = ip::address_v4::loopback();
    boost::asio::io_context io;
    ip::tcp::socket socket(io);
    bool connected = false;
    socket.async_connect({host, port}, [&](const boost::system::error_code& error) { connected = !error; });
    io.run_for(std::chrono::seconds(2));
    return connected;
}

std::vector<std::string> Listeners(uint16_t port) {
    std::vector<std::string> addresses;
    for (const int family : {AF_INET, AF_INET6}) {
        std::vector<TcpRow> rows;
        if (!ReadTcpTable(family, true, &rows)) continue;
        for (const TcpRow& row : rows) {
            if (row.local.port != port) continue;
            if (family == AF_INET) {
                boost::asio::ip::address_v4::bytes_type bytes;
                std::copy_n(row.local.address.begin(), bytes.size(), bytes.begin());
                addresses.push_back(boost::asio::ip::address_v4(bytes).to_string());
            } else {
                addresses.push_back(boost::asio::ip::address_v6(row.local.address).to_string());
            }
        }
    }
    return addresses;
}

}  // namespace

void ProbeInstance(Report* report) {
    report->lock.known = true;
    report->lock.held = BridgeRunning();
    if (!report->port_checked) return;
    report->listeners = Listeners(report->port);
    report->listening = Connects(report->address, report->port);
    // Which process listens is known, but not which one is the bridge: the
    // mutex names no owner.
    if (report->listening) report->holder.text = DescribePortHolder(report->port);
}

Session ProbeSession() {
    Session session;
    unsigned long id = 0;
    if (!LookUpThisSession(&id, &session.active, &session.why)) return session;
    session.found = true;
    session.id = std::to_string(id);
    return session;
}

std::unique_ptr<HidApi> SystemHid() {
    return std::make_unique<WinHidApi>();
}

// Windows grants every user its HID collections; there is no rule to install.
void ProbeNodeAccess(Report*) {}

Ble ProbeBle() {
    WinBleStack stack;
    return BleOfStack(stack, "windows");
}

std::string FixText(Fix fix, const std::string&) {
    switch (fix) {
        case Fix::StartBridge:
            return "start it: run orvex-bridge (the installer starts it at sign-in)";
        case Fix::RestartBridge:
            return "end orvex-bridge (Task Manager) and start it again";
        case Fix::ServerFailed:
            return "the running bridge was started with other --port or --listen options or could not start its "
                   "server: end orvex-bridge (Task Manager) and start it again";
        case Fix::HidLibrary:
            return "restart Windows";
        case Fix::StartBle:
            return "Bluetooth (turn it on in Settings)";
        case Fix::RereadBleServices:
            return "remove the device in Bluetooth settings and pair it again, so that Windows reads its services "
                   "anew";
        case Fix::ReconnectBle:
            return "turn the device off and on again, or remove it in Bluetooth settings and pair it again";
    }
    return "";
}

}  // namespace orvex::check
