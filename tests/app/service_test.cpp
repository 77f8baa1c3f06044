// The bridge as an installed service sees it: --check beside a running bridge,
// without one and without BlueZ, and readiness reported to a service manager.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "support/Process.h"
#include "support/WsClient.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::kBridgeBinary;
using test::RunToEnd;
using test::TempDir;

// A mouse of family 0x81 and a connected BLE pad with its characteristics.
const char* kHealthy = R"({"devices": [
  {"name": "mouse", "vendor_id": "0x1D57", "product_id": "0xFA60", "device_id": 3},
  {"name": "pad", "bus": "ble", "vendor_id": "0x045E", "product_id": "0x0B13", "address": "C0:FF:EE:00:00:06",
   "collections": [["0x0001", "0x0002"]]}
]})";

// The same devices, but the mouse refuses to be opened and the pad's write
// characteristic cannot be written.
const char* kBroken = R"({"devices": [
  {"name": "mouse", "vendor_id": "0x1D57", "product_id": "0xFA60", "open_error": "permission"},
  {"name": "pad", "bus": "ble", "vendor_id": "0x045E", "product_id": "0x0B13", "address": "C0:FF:EE:00:00:06",
   "writable": false, "collections": [["0x0001", "0x0002"]]}
]})";

std::string WriteFile(const TempDir& dir, const std::string& name, const std::string& text) {
    const std::string path = dir.path() + "/" + name;
    std::ofstream(path) << text;
    return path;
}

std::vector<std::string> ProblemLines(const std::string& out) {
    std::vector<std::string> lines;
    size_t at = 0;
    while ((at = out.find("\nproblem: ", at)) != std::string::npos) {
        const size_t end = out.find('\n', at + 1);
        lines.push_back(out.substr(at + 1, end - at - 1));
        at = end;
    }
    return lines;
}

TEST(TheCheckOptions, AreListedInHelpAndJsonAloneIsAUsageError) {
    const auto help = RunToEnd({kBridgeBinary, "--help"}, 10s);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--check"), std::string::npos);
    EXPECT_NE(help.out.find("--json"), std::string::npos);

    TempDir dir;
    const auto json = RunToEnd({kBridgeBinary, "--json"}, 10s);
    EXPECT_EQ(json.status, 2);
    EXPECT_NE(json.err.find("orvex-bridge: --json needs --check"), std::string::npos) << json.err;
    const auto missing = RunToEnd({kBridgeBinary, "--check", "--simulate", dir.path() + "/none.json"}, 10s,
                                  {"XDG_RUNTIME_DIR=" + dir.path()});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("none.json"), std::string::npos) << missing.err;
    EXPECT_TRUE(missing.out.empty()) << missing.out;
}

class ACheckBesideASimulatedBridge : public ::testing::Test {
protected:
    void SetUp() override {
        scenario = WriteFile(runtime, "healthy.json", kHealthy);
        bridge = std::make_unique<ChildProcess>(
            std::vector<std::string>{kBridgeBinary, "--simulate", scenario, "--port", "0", "--verbose"}, Env());
        ASSERT_TRUE(bridge->Started());
        ASSERT_TRUE(bridge->WaitForStderr(" port ", 10s)) << bridge->Stderr();
        port = std::to_string(test::ParseListeningPort(bridge->Stderr()));
    }
    void TearDown() override {
        bridge->Signal(SIGTERM);
        EXPECT_EQ(bridge->Wait(10s), 0);
        bridge->FinishOutput();
    }
    std::vector<std::string> Env() { return {"XDG_RUNTIME_DIR=" + runtime.path()}; }

    TempDir runtime;
    std::string scenario;
    std::unique_ptr<ChildProcess> bridge;
    std::string port;
};

TEST_F(ACheckBesideASimulatedBridge, ReportsTheBridgeItsPortAndEveryDeviceAndExitsZero) {
    const auto text = RunToEnd({kBridgeBinary, "--check", "--simulate", scenario, "--port", port}, 30s, Env());
    EXPECT_EQ(text.status, 0) << text.out << text.err;
    const std::string& out = text.out;
    EXPECT_EQ(out.rfind("orvex-bridge 0.1.0\nbridge: running (pid ", 0), 0u) << out;
    for (const std::string& expected : std::vector<std::string>{
             "lock " + runtime.path() + "/ZNQ Orvex Config.lock\n",
             "\nport: 127.0.0.1:" + port + " listening, by the bridge\n",
             "\nHID nodes (simulated):\n"
             "  /dev/sim/mouse/0  1D57:FA60 usb: can open\n"
             "    usage 000B:0000 family 0x81 control\n"
             "  /dev/sim/mouse/1  1D57:FA60 usb: can open\n"
             "    usage 000A:0000 family 0x81 input\n"
             "  /dev/sim/pad/0  045E:0B13 bluetooth: not opened: not needed\n"
             "    usage 0001:0002 family 0x84 (reached over BLE)\n"
             "BLE (simulated stack): answering\n"
             "  device C0:FF:EE:00:00:06 \"pad\" 045E:0B13: paired, connected, 0xFEE3 write present, 0xFEE4 notify "
             "present\n"
             "result: everything needed works\n"})
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\nin:\n" << out;
    EXPECT_TRUE(ProblemLines(out).empty()) << out;

    const auto json =
        RunToEnd({kBridgeBinary, "--check", "--json", "--simulate", scenario, "--port", port}, 30s, Env());
    EXPECT_EQ(json.status, 0);
    const auto report = nlohmann::json::parse(json.out);
    EXPECT_EQ(report["version"], "0.1.0");
    EXPECT_EQ(report["ok"], true);
    EXPECT_TRUE(report["problems"].empty());
    EXPECT_EQ(report["bridge"]["running"], true);
    EXPECT_GT(report["bridge"]["pid"].get<long>(), 0);
    EXPECT_EQ(report["port"]["by_bridge"], true);
    const auto& nodes = report["hid"]["nodes"];
    ASSERT_EQ(nodes.size(), 3u) << nodes.dump();
    EXPECT_EQ(nodes[0]["path"], "/dev/sim/mouse/0");
    EXPECT_EQ(nodes[0]["vendor_id"], "0x1D57");
    EXPECT_EQ(nodes[0]["collections"][0]["families"][0]["family"], "0x81");
    EXPECT_EQ(nodes[0]["collections"][0]["families"][0]["role"], "control");
    EXPECT_EQ(nodes[2]["bus"], "bluetooth");
    const auto& pad = report["ble"]["devices"].at(0);
    EXPECT_EQ(pad["address"], "C0:FF:EE:00:00:06");
    EXPECT_EQ(pad["write_characteristic"], true);
    EXPECT_EQ(pad["notify_characteristic"], true);
    // The bridge was neither disturbed nor replaced.
    EXPECT_EQ(bridge->Wait(0ms), -1);
    EXPECT_EQ(bridge->Stderr().find("already running"), std::string::npos);
}

TEST(ACheckWithoutABridge, NamesEachProblemOnOneLineExitsOneAndCreatesNoLockFile) {
    TempDir runtime;
    const std::string scenario = WriteFile(runtime, "broken.json", kBroken);
    const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + runtime.path()};
    const auto text = RunToEnd({kBridgeBinary, "--check", "--simulate", scenario, "--port", "0"}, 30s, env);
    EXPECT_EQ(text.status, 1);
    const std::vector<std::string> expected = {
        "problem: no bridge is running for this user; start it: systemctl --user start orvex-bridge (or run "
        "orvex-bridge)",
        "problem: /dev/sim/mouse/0 (1D57:FA60) cannot be opened; re-plug the device",
        "problem: /dev/sim/mouse/1 (1D57:FA60) cannot be opened; re-plug the device",
        "problem: BLE device C0:FF:EE:00:00:06 \"pad\" lacks the 0xFEE3 write or 0xFEE4 notify characteristic; "
        "remove and pair it again (bluetoothctl remove C0:FF:EE:00:00:06) so that BlueZ reads its services anew",
    };
    EXPECT_EQ(ProblemLines(text.out), expected) << text.out;
    EXPECT_NE(text.out.find("\nport: not checked (--port 0)\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\n  /dev/sim/mouse/0  1D57:FA60 usb: cannot open\n"
                            "    usage 000B:0000 family 0x81 control (permission denied)\n"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("\nresult: 4 problems\n"), std::string::npos) << text.out;

    const auto json = RunToEnd({kBridgeBinary, "--check", "--json", "--simulate", scenario, "--port", "0"}, 30s, env);
    EXPECT_EQ(json.status, 1);
    const auto report = nlohmann::json::parse(json.out);
    EXPECT_EQ(report["ok"], false);
    ASSERT_EQ(report["problems"].size(), expected.size());
    EXPECT_EQ(report["problems"][1]["what"], "/dev/sim/mouse/0 (1D57:FA60) cannot be opened");
    EXPECT_EQ(report["hid"]["nodes"][0]["collections"][0]["error"], "permission denied");
    EXPECT_EQ(report["ble"]["devices"][0]["write_characteristic"], false);
    EXPECT_NE(access((runtime.path() + "/ZNQ Orvex Config.lock").c_str(), F_OK), 0) << "the check took the lock";
}

TEST(ACheckOnAMachineWithoutBluez, SaysBluezDoesNotAnswerOnTheBusItTried) {
    TempDir dir;
    const std::string bus = "unix:path=" + dir.path() + "/no-bus";
    const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir.path(), "DBUS_SYSTEM_BUS_ADDRESS=" + bus};
    const auto text = RunToEnd({kBridgeBinary, "--check", "--port", "0"}, 30s, env);
    // No bridge runs under this runtime directory.
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.out.find("\nBLE (BlueZ at " + bus + "): not answering: no bus at " + bus +
                            " (No such file or directory)\n"),
              std::string::npos)
        << text.out;

    const auto json = RunToEnd({kBridgeBinary, "--check", "--json", "--port", "0"}, 30s, env);
    EXPECT_EQ(json.status, 1);
    const auto report = nlohmann::json::parse(json.out);
    EXPECT_EQ(report["ble"]["stack"], "bluez");
    EXPECT_EQ(report["ble"]["bus"], bus);
    EXPECT_EQ(report["ble"]["answering"], false);
    EXPECT_TRUE(report["ble"]["devices"].empty());
}

// The datagram socket a service manager gives its Type=notify services.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : m_path(path) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (m_fd < 0 || path.size() >= sizeof address.sun_path) return;
        path.copy(address.sun_path, path.size());
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~NotifySocket() {
        if (m_fd >= 0) close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }
    // One message, or "" after the time-out.
    std::string Receive(std::chrono::milliseconds timeout) {
        pollfd fds{m_fd, POLLIN, 0};
        if (poll(&fds, 1, static_cast<int>(timeout.count())) != 1) return "";
        char buffer[512];
        const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
    }

private:
    std::string m_path;
    int m_fd = -1;
};

TEST(ABridgeUnderAServiceManager, IsReadyOnlyOnceItListensAndSaysWhenItStops) {
    TempDir dir;
    NotifySocket manager(dir.path() + "/notify");
    if (!manager.ok()) GTEST_SKIP() << "cannot bind a Unix datagram socket in " << dir.path();
    const std::string scenario = WriteFile(dir, "healthy.json", kHealthy);
    const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir.path(), "NOTIFY_SOCKET=" + dir.path() + "/notify"};
    ChildProcess bridge({kBridgeBinary, "--simulate", scenario, "--port", "0"}, env);
    ASSERT_TRUE(bridge.Started());

    const std::string ready = manager.Receive(30s);
    const std::string prefix = "READY=1\nSTATUS=listening on 127.0.0.1 port ";
    ASSERT_EQ(ready.rfind(prefix, 0), 0u) << ready << bridge.Stderr();
    // Ready means a page can connect now, without waiting.
    test::WsClient page(static_cast<uint16_t>(std::stoi(ready.substr(prefix.size()))));
    ASSERT_TRUE(page.Connect(5s));
    ASSERT_TRUE(page.WaitForMessages(1));
    EXPECT_EQ(page.Messages().front(), "0304");

    // A second bridge started by the manager ends cleanly, not as a failure.
    const auto second = RunToEnd({kBridgeBinary, "--simulate", scenario, "--port", "0"}, 10s, env);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(manager.Receive(10s), "READY=1\nSTATUS=another instance is already running");

    bridge.Signal(SIGTERM);
    EXPECT_EQ(manager.Receive(10s), "STOPPING=1");
    EXPECT_EQ(bridge.Wait(10s), 0);
    bridge.FinishOutput();
}

TEST(ABridgeUnderAServiceManager, WaitsForAHeldPortSayingForWhomOnceAndIsReadyOnceItListens) {
    TempDir dir;
    NotifySocket manager(dir.path() + "/notify");
    if (!manager.ok()) GTEST_SKIP() << "cannot bind a Unix datagram socket in " << dir.path();
    auto taken = std::make_unique<test::TakenPort>();
    const std::string port = std::to_string(taken->port());
    ASSERT_NE(taken->port(), 0);
    const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir.path(), "NOTIFY_SOCKET=" + dir.path() + "/notify"};
    ChildProcess bridge(
        {kBridgeBinary, "--simulate", WriteFile(dir, "healthy.json", kHealthy), "--port", port, "--wait-for-port"},
        env);
    const std::string waiting = manager.Receive(30s);
    EXPECT_EQ(waiting.rfind("STATUS=waiting for port " + port + ", held by pid " + std::to_string(getpid()) + " (", 0),
              0u)
        << waiting << bridge.Stderr();
    // Past the first attempt again (after 1 s), the holder is still named once.
    std::this_thread::sleep_for(1500ms);
    taken.reset();
    EXPECT_EQ(manager.Receive(30s), "READY=1\nSTATUS=listening on 127.0.0.1 port " + port);
    test::WsClient page(static_cast<uint16_t>(std::stoi(port)));
    ASSERT_TRUE(page.Connect(5s));
    EXPECT_TRUE(page.WaitForMessages(1));
    bridge.Signal(SIGTERM);
    EXPECT_EQ(bridge.Wait(10s), 0);
    bridge.FinishOutput();
    const std::string err = bridge.Stderr();
    EXPECT_NE(err.find("held by"), std::string::npos) << err;
    EXPECT_EQ(err.find("held by"), err.rfind("held by")) << err;
}

TEST(ABridgeRestartedRightAfterItClosedAPage, GetsItsPortBack) {
    TempDir dir;
    const std::string scenario = WriteFile(dir, "healthy.json", kHealthy);
    const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir.path()};
    ChildProcess first({kBridgeBinary, "--simulate", scenario, "--port", "0", "--verbose"}, env);
    ASSERT_TRUE(first.WaitForStderr(" port ", 10s)) << first.Stderr();
    const std::string port = std::to_string(test::ParseListeningPort(first.Stderr()));
    {
        test::WsClient page(static_cast<uint16_t>(std::stoi(port)));
        ASSERT_TRUE(page.Connect());
        ASSERT_TRUE(page.WaitForMessages(1));
        // The bridge closes the page, so its side of the connection waits
        // in TIME_WAIT after it is gone.
        first.Signal(SIGTERM);
        ASSERT_TRUE(page.WaitClosed(10s));
    }
    ASSERT_EQ(first.Wait(10s), 0);

    ChildProcess second({kBridgeBinary, "--simulate", scenario, "--port", port, "--verbose"}, env);
    EXPECT_TRUE(second.WaitForStderr("listening on 127.0.0.1 port " + port, 10s)) << second.Stderr();
    second.Signal(SIGTERM);
    EXPECT_EQ(second.Wait(10s), 0);
    second.FinishOutput();
}

}  // namespace
}  // namespace orvex
