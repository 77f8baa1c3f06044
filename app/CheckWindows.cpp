// orvex-bridge --check on Windows: whether a bridge runs (its mutex), whether
// the port answers, the HID collections of the vendor and whether they open,
// and the GATT service interfaces of the BLE devices.
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "app/COrvexApp.h"
#include "app/Check.h"
#include "hid/HidFamilies.h"
#include "platform/Log.h"
#include "platform/Sockets.h"
#include "platform/windows/InterfacePath.h"
#include "platform/windows/WinBleStack.h"
#include "platform/windows/WinHidApi.h"
#include "sim/Simulator.h"

namespace orvex {

namespace {

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
    return text;
}

bool BridgeRunning() {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, Widen(kInstanceName).c_str());
    if (mutex) CloseHandle(mutex);
    return mutex != nullptr || GetLastError() == ERROR_ACCESS_DENIED;
}

bool PortListening(const std::string& address, uint16_t port) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    SocketHandle s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address == "0.0.0.0" ? "127.0.0.1" : address.c_str(), &to.sin_addr);
    const bool ok = s != kNoSocket && connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    if (s != kNoSocket) close_socket(s);
    WSACleanup();
    return ok;
}

}  // namespace

int RunCheck(const Options& options) {
    std::unique_ptr<sim::Simulator> simulator;
    std::unique_ptr<HidApi> ownHid;
    HidApi* hid = nullptr;
    std::vector<std::string> gattInterfaces;
    if (!options.simulate.empty()) {
        std::string error;
        simulator = sim::Simulator::LoadScenarioFile(options.simulate, &error);
        if (!simulator) {
            diag_error(error);
            return 2;
        }
        hid = &simulator->hid();
        gattInterfaces = simulator->ble().ServiceInterfaces();
    } else {
        ownHid = std::make_unique<WinHidApi>();
        hid = ownHid.get();
        gattInterfaces = WinBleStack().ServiceInterfaces();
    }

    const bool running = BridgeRunning();
    const bool portChecked = options.server.port != 0;
    const bool listening = portChecked && PortListening(options.server.address, options.server.port);
    nlohmann::ordered_json json;
    json["version"] = kVersion;
    json["bridge"] = {{"running", running}, {"mutex", kInstanceName}};
    json["port"] = {{"address", options.server.address}, {"port", options.server.port}, {"checked", portChecked}};
    if (portChecked) json["port"]["listening"] = listening;
    json["hid"] = nlohmann::ordered_json::array();
    bool allOpen = true;
    for (const auto& entry : hid->enumerate(kOrvexVendorId, 0)) {
        HidOpenError error = HidOpenError::None;
        const bool canOpen = hid->open(entry, &error) != nullptr;
        allOpen = allOpen && canOpen;
        json["hid"].push_back({{"path", entry.path},
                               {"vendor_id", "0x" + Hex4(entry.vendor_id)},
                               {"product_id", "0x" + Hex4(entry.product_id)},
                               {"usage_page", "0x" + Hex4(entry.usage_page)},
                               {"usage", "0x" + Hex4(entry.usage)},
                               {"can_open", canOpen}});
    }
    json["ble"] = {{"gatt_service_interfaces", gattInterfaces}};
    json["ok"] = allOpen;

    if (options.json) {
        std::cout << json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
    } else {
        std::cout << "orvex-bridge " << kVersion << "\n"
                  << "bridge: " << (running ? "running" : "not running") << " (mutex " << kInstanceName << ")\n";
        if (!portChecked)
            std::cout << "port: not checked (--port 0)\n";
        else
            std::cout << "port: " << options.server.address << ":" << options.server.port
                      << (listening ? " listening" : " nothing listens") << "\n";
        std::cout << "HID collections" << (simulator ? " (simulated)" : "") << ":"
                  << (json["hid"].empty() ? " none" : "") << "\n";
        for (const auto& c : json["hid"])
            std::cout << "  " << c["path"].get<std::string>() << "  " << c["usage_page"].get<std::string>() << ":"
                      << c["usage"].get<std::string>() << ": "
                      << (c["can_open"].get<bool>() ? "can open" : "cannot open") << "\n";
        std::cout << "BLE GATT service interfaces:" << (gattInterfaces.empty() ? " none" : "") << "\n";
        for (const auto& path : gattInterfaces) std::cout << "  " << path << "\n";
        std::cout << "result: " << (allOpen ? "everything needed works" : "a collection cannot be opened") << "\n";
    }
    std::cout.flush();
    return allOpen ? 0 : 1;
}

}  // namespace orvex
