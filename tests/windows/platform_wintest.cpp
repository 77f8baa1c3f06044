// The Windows backends, under Wine in CI: path keys, the instance mutex, the
// reader's wake event, HID on Wine's virtual devices, the hot-plug window, a
// removal named in another letter case and the simulator's TCP control
// socket.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <thread>

#include "app/COrvexDlg.h"
#include "platform/Native.h"
#include "platform/TrustFile.h"
#include "platform/windows/InterfacePath.h"
#include "sim/Devices.h"
#include "sim/Simulator.h"
#include "support/Fakes.h"
#include "support/Pages.h"
#include "windows/Wine.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;

TEST(AnInterfacePath, GivesVendorProductAndBusInAnyLetterCase) {
    struct Case {
        const char* path;
        uint16_t vendor, product, bus;
    } cases[] = {
        {R"(\\?\HID#VID_1D57&PID_FA60&MI_01&COL02#7&2b1c3d4&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030})", 0x1D57,
         0xFA60, kBusUsb},
        {R"(\\?\usb#vid_1d57&pid_fa65#5&1a2b&0&3#{a5dcbf10-6530-11d2-901f-00c04fb951ed})", 0x1D57, 0xFA65, kBusUsb},
        {R"(\\?\HID#{00001124-0000-1000-8000-00805f9b34fb}_VID&0002045e_PID&0b13&Col01#8&1f&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})",
         0x045E, 0x0B13, kBusBluetooth},
        {R"(\\?\BTHLEDevice#{0000fee0-0000-1000-8000-00805f9b34fb}_Dev_VID&02045e_PID&0b13_REV&0001_aabbccddeeff#8&2&0&0#{6e3bb679-4372-40c8-9eaa-4509df260cd8})",
         0x045E, 0x0B13, kBusBluetooth},
        {R"(\\?\HID#VID_ZZZZ&PID_12#1)", 0, 0, kBusUsb},
        {"", 0, 0, kBusUsb},
    };
    for (const auto& c : cases) {
        const DeviceChange change = ParseInterfacePath(c.path, DeviceChange::Kind::Removal);
        EXPECT_EQ(change.vendor_id, c.vendor) << c.path;
        EXPECT_EQ(change.product_id, c.product) << c.path;
        EXPECT_EQ(change.bus, c.bus) << c.path;
        EXPECT_EQ(change.path, c.path);
        EXPECT_EQ(change.kind, DeviceChange::Kind::Removal);
    }
}

TEST(APathToken, IsTheFifthAmpersandFieldSharedByTheCollectionsOfOneDevice) {
    const char* col1 = R"(\\?\hid#vid_1d57&pid_fa60&mi_01&col01#7&2b1c3d4&0&0000#{4d1e55b2})";
    const char* col2 = R"(\\?\hid#vid_1d57&pid_fa60&mi_01&col02#7&2b1c3d4&0&0001#{4d1e55b2})";
    EXPECT_EQ(PathToken(col1), "2b1c3d4");
    EXPECT_EQ(PathToken(col1), PathToken(col2));
    EXPECT_EQ(PathToken("&&a&&b&c&d&e&f"), "e");
    EXPECT_EQ(PathToken("a&b&c&d"), "");
    EXPECT_EQ(PathToken("a&b&c&d&"), "");
}

TEST(TheInstanceMutex, IsHeldByTheFirstAndFoundByASecond) {
    SingleInstanceLock first, second;
    std::string error;
    const std::string name = "orvex-test-" + std::to_string(GetCurrentProcessId());
    EXPECT_EQ(first.Acquire(name, &error), SingleInstanceLock::Result::Acquired) << error;
    EXPECT_EQ(second.Acquire(name, &error), SingleInstanceLock::Result::AlreadyRunning);
}

TEST(AReaderWakeEvent, IsSignalledWhileSetAlsoWhenSetBeforeItWasMade) {
    ReaderWake wake;
    wake.Set();
    HANDLE event = static_cast<HANDLE>(wake.waitable());
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    wake.Clear();
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    wake.Set();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

// Wine offers two virtual HID devices (vendor 0x845E, a mouse and a
// keyboard); real Windows has others, so this skips there.
TEST(TheHidBackend, ListsOpensAndReadsTheCapabilitiesOfWinesVirtualDevices) {
    NativeHidApi hid;
    ASSERT_EQ(hid.init(), 0);
    const auto entries = hid.enumerate(0x845E, 0);
    if (!test::RunningUnderWine()) GTEST_SKIP() << "not under Wine: no virtual HID devices to expect";
    ASSERT_FALSE(entries.empty()) << "Wine's virtual HID devices (vendor 0x845E) are missing";
    std::vector<std::string> usages;
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.path.rfind(R"(\\?\)", 0), 0u) << entry.path;
        EXPECT_EQ(entry.bus_type, kBusUsb);
        const DeviceChange change = ParseInterfacePath(entry.path, DeviceChange::Kind::Arrival);
        EXPECT_EQ(change.vendor_id, entry.vendor_id) << entry.path;
        EXPECT_EQ(change.product_id, entry.product_id) << entry.path;
        usages.push_back(std::to_string(entry.usage_page) + ":" + std::to_string(entry.usage));
        HidOpenError error = HidOpenError::Other;
        auto device = hid.open(entry, &error);
        if (!device) continue;  // a collection the system keeps to itself
        EXPECT_EQ(error, HidOpenError::None);
        // Nothing is typed: a bounded read ends empty, a woken one at once.
        uint8_t report[64];
        EXPECT_EQ(device->read_timeout(report, sizeof report, 0), 0);
        ReaderWake wake;
        std::thread stopper([&] {
            std::this_thread::sleep_for(50ms);
            wake.Set();
        });
        EXPECT_EQ(device->read_wait(report, sizeof report, wake), 0);
        stopper.join();
    }
    EXPECT_NE(std::find(usages.begin(), usages.end(), "1:2"), usages.end());
    EXPECT_NE(std::find(usages.begin(), usages.end(), "1:6"), usages.end());
    EXPECT_TRUE(hid.enumerate(0x1D57, 0).empty());
    HidOpenError error = HidOpenError::None;
    HidDeviceInfo missing;
    missing.path = R"(\\?\HID#VID_1D57&PID_FA60#0&0&0&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030})";
    EXPECT_EQ(hid.open(missing, &error), nullptr);
    EXPECT_NE(error, HidOpenError::None);
}

TEST(TheHotPlugWindow, RegistersStopsAndCanStartAgain) {
    boost::asio::io_context loop;
    NativeDeviceMonitor monitor;
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(monitor.start(loop, [](const DeviceChange&) {})) << round;
        monitor.stop();
    }
    loop.run();
}

TEST(TheSimulatorControlSocket, ServesOnLoopbackTcpAndRefusesUnixPaths) {
    std::string error;
    auto simulator = sim::Simulator::LoadScenarioText(
        R"({"devices":[{"name":"m81","vendor_id":"0x1D57","product_id":"0xFA60"}]})", &error);
    ASSERT_TRUE(simulator) << error;
    EXPECT_FALSE(simulator->StartControlSocket("C:\\control.sock", &error));
    EXPECT_EQ(error, "control socket C:\\control.sock: only tcp:PORT is available on Windows");
    ASSERT_TRUE(simulator->StartControlSocket("tcp:0", &error)) << error;
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(simulator->ControlPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const std::string request = "{\"op\":\"clear\",\"device\":\"m81\"}\n";
    ASSERT_EQ(send(s, request.data(), static_cast<int>(request.size()), 0), static_cast<int>(request.size()));
    std::string reply;
    char buffer[256];
    int n;
    while (reply.find('\n') == std::string::npos && (n = recv(s, buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, n);
    EXPECT_EQ(reply, "{\"ok\":true}\n");
    simulator->StopControlSocket();
    EXPECT_EQ(recv(s, buffer, sizeof buffer, 0), 0);  // closed by the stop
    closesocket(s);
    WSACleanup();
}

// Under %APPDATA% (here a folder with a name outside the ANSI code page):
// written by rename, read back, and an edit by another program seen while the
// bridge runs.
TEST(TheTrustFile, LivesUnderAppDataAndIsFollowedWhileRunning) {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring appData = std::wstring(temp) + L"orvex-\u00e9t\u00e9-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(appData.c_str(), nullptr));
    const std::wstring saved = _wgetenv(L"APPDATA") ? _wgetenv(L"APPDATA") : L"";
    _wputenv_s(L"APPDATA", appData.c_str());
    const std::string path = TrustFilePath();
    _wputenv_s(L"APPDATA", saved.c_str());
    ASSERT_EQ(path, Narrow(appData) + "\\orvex-bridge\\trusted-origins");

    std::atomic<int> changes{0};
    TrustFileWatcher watcher;
    std::string error;
    ASSERT_TRUE(watcher.Start(
        path, [&] { ++changes; }, &error))
        << error;
    ASSERT_TRUE(EditTrustFile(path, "https://a.example", true, &error)) << error;
    ASSERT_TRUE(EditTrustFile(path, "http://localhost:8080", true, &error)) << error;
    ASSERT_TRUE(EditTrustFile(path, "https://a.example", false, &error)) << error;
    EXPECT_EQ(ReadTrustFile(path).origins, std::vector<std::string>{"http://localhost:8080"});
    for (int i = 0; i < 100 && changes == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GT(changes.load(), 0);
    watcher.Stop();
    DeleteFileW(Widen(path).c_str());
    RemoveDirectoryW(Widen(path.substr(0, path.rfind('\\'))).c_str());
    RemoveDirectoryW(appData.c_str());
}

// SetupAPI lists the collection in lower case; the removal names it as the
// device-change message does.
TEST(AHidRemoval, ReachesThePagesWhateverTheLetterCaseOfItsPath) {
    const std::string listed =
        R"(\\?\hid#vid_1d57&pid_fa60&mi_01#7&2b1c3d4&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})";
    const std::string removed =
        R"(\\?\HID#VID_1D57&PID_FA60&MI_01#7&2B1C3D4&0&0000#{4D1E55B2-F16F-11CF-88CB-001111000030})";
    EXPECT_TRUE(WinHidApi().same_path(listed, removed));
    EXPECT_FALSE(WinHidApi().same_path(listed, removed + "1"));

    test::FakeHidApi hid;
    hid.samePath = [](const std::string& a, const std::string& b) { return WinHidApi().same_path(a, b); };
    auto mouse = hid.Add(sim::Model("vireo"), listed, "2b1c3d4");
    test::FakeMonitor monitor;
    test::FakeClock clock{10ms};
    test::FakePages pages;
    boost::asio::io_context loop;
    COrvexDlg dialog(loop, Backends{hid, &monitor, nullptr, clock, test::ShortTimings()}, pages);
    ServerConfig config;
    config.port = 0;
    std::string error;
    ASSERT_EQ(dialog.OnInitDialog(config, &error), COrvexDlg::InitResult::Running) << error;
    ASSERT_GT(mouse[1]->OpenHandles(), 0);

    hid.Unplug("2b1c3d4");
    ASSERT_TRUE(monitor.Deliver(ParseInterfacePath(removed, DeviceChange::Kind::Removal)));
    // The monitor delivers on the loop.
    EXPECT_TRUE(test::WaitUntil([&] {
        loop.restart();
        loop.run_for(std::chrono::milliseconds(10));
        return !pages.Texts().empty();
    }));
    EXPECT_EQ(pages.Texts(), std::vector<std::string>{"810000"});
    dialog.OnDestroy();
}

}  // namespace
}  // namespace orvex
