// The control socket end to end over a real Unix socket, and the bridge
// process started with a scenario and a control socket.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "sim/SimTestUtil.h"
#include "support/Process.h"
#include "support/SimBridge.h"

namespace orvex::sim {
namespace {

using namespace testing;
using nlohmann::json;
using test::SimControlClient;

const char* const kScenario = R"({"devices":[
    {"name":"m81","vendor_id":"0x1D57","product_id":"0xFA60","device_id":3,"ack_delay_ms":0},
    {"name":"r65","vendor_id":"0x1D57","product_id":"0xFA65","device_id":5,"attached":false}]})";

class AControlSocket : public ::testing::Test {
protected:
    void SetUp() override {
        simulator = Load(kScenario);
        ASSERT_TRUE(simulator);
        path = dir.path() + "/control";
        std::string error;
        ASSERT_TRUE(simulator->StartControlSocket(path, &error)) << error;
        ASSERT_TRUE(client.Connect(path, &error)) << error;
    }
    std::string Ask(const std::string& request) { return client.Exchange(request + "\n"); }

    test::TempDir dir;
    std::string path;
    std::unique_ptr<Simulator> simulator;
    SimControlClient client;
};

TEST_F(AControlSocket, ListsEveryDeviceWithItsStateAndPaths) {
    EXPECT_EQ(Ask(R"({"op":"devices"})"),
              R"({"ok":true,"devices":[)"
              R"({"name":"m81","bus":"usb","vendor_id":7511,"product_id":64096,"device_id":3,"attached":true,)"
              R"("paths":["/dev/sim/m81/0","/dev/sim/m81/1"],"open_handles":0},)"
              R"({"name":"r65","bus":"usb","vendor_id":7511,"product_id":64101,"device_id":5,"attached":false,)"
              R"("paths":["/dev/sim/r65/0","/dev/sim/r65/1","/dev/sim/r65/2"],"open_handles":0}]})");
}

TEST_F(AControlSocket, QueuesReportsOnTheDefaultOrGivenCollection) {
    auto control = Open(*simulator, Path("m81", 0));
    auto input = Open(*simulator, Path("m81", 1));
    ASSERT_TRUE(control && input);
    EXPECT_EQ(Ask(R"({"op":"report","device":"m81","hex":"0103AABBCC"})"), R"({"ok":true,"delivered":1})");
    EXPECT_EQ(Ask(R"({"op":"report","device":"m81","hex":"02","collection":"0x0"})"), R"({"ok":true,"delivered":1})");
    EXPECT_EQ(ReadReport(*input), (Bytes{0x01, 0x03, 0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(ReadReport(*control), Bytes{0x02});
}

TEST_F(AControlSocket, ReturnsTheLogInOrderAndClearsIt) {
    auto control = Open(*simulator, Path("m81", 0));
    ASSERT_TRUE(control);
    ASSERT_EQ(Ask(R"({"op":"set","device":"m81","reject_feature":1})"), R"({"ok":true})");
    EXPECT_EQ(Send(*control, {0x05, 0x01}), -1);
    EXPECT_EQ(Send(*control, {0x05, 0x02}), 2);
    Bytes status = {0xA0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(control->get_feature_report(status.data(), status.size()), 8);
    const json reply = json::parse(Ask(R"({"op":"log","device":"m81"})"));
    ASSERT_TRUE(reply["ok"].get<bool>()) << reply.dump();
    const json& received = reply["received"];
    ASSERT_EQ(received.size(), 3u) << reply.dump();
    const char* const expected[] = {
        R"({"kind":"feature","collection":0,"hex":"0501","rejected":true})",
        R"({"kind":"feature","collection":0,"hex":"0502"})",
        R"({"kind":"get_feature","collection":0,"hex":"a000000000000000"})",
    };
    int64_t last = 0;
    for (size_t i = 0; i < 3; ++i) {
        json entry = received[i];
        ASSERT_TRUE(entry["t_ms"].is_number_integer());
        EXPECT_GE(entry["t_ms"].get<int64_t>(), last);
        last = entry["t_ms"].get<int64_t>();
        entry.erase("t_ms");
        EXPECT_EQ(entry, json::parse(expected[i]));
    }
    EXPECT_EQ(Ask(R"({"op":"clear","device":"m81"})"), R"({"ok":true})");
    EXPECT_EQ(Ask(R"({"op":"log","device":"m81"})"), R"({"ok":true,"received":[]})");
}

TEST_F(AControlSocket, SetsBehaviourThatTheDeviceThenShows) {
    auto control = Open(*simulator, Path("m81", 0));
    auto input = Open(*simulator, Path("m81", 1));
    ASSERT_TRUE(control && input);
    EXPECT_EQ(Ask(R"({"op":"set","device":"m81","ack_status":"0x02","answers":{"0x0B":"0bcafe"}})"), R"({"ok":true})");
    EXPECT_EQ(Send(*control, {0x05}), 1);
    EXPECT_EQ(ReadReport(*input), (Bytes{0x05, 0x03, 0x50, 0x02, 0x00}));
    Bytes answer = {0x0B, 0, 0, 0};
    EXPECT_EQ(control->get_feature_report(answer.data(), answer.size()), 4);
    EXPECT_EQ(answer, (Bytes{0x0B, 0xCA, 0xFE, 0x00}));
}

TEST_F(AControlSocket, PlugsAndUnplugsDevices) {
    EXPECT_EQ(Ask(R"({"op":"plug","device":"r65"})"), R"({"ok":true})");
    EXPECT_EQ(simulator->hid().enumerate(0x1D57, 0xFA65).size(), 3u);
    EXPECT_EQ(Ask(R"({"op":"unplug","device":"m81"})"), R"({"ok":true})");
    EXPECT_TRUE(simulator->hid().enumerate(0x1D57, 0xFA60).empty());
    EXPECT_EQ(Ask(R"({"op":"unplug","device":"m81"})"), R"({"ok":false,"error":"device \"m81\" is not attached"})");
}

TEST_F(AControlSocket, AnswersEveryBadRequestWithAClearErrorAndKeepsServing) {
    struct Case {
        std::string request;
        std::string reply;
    };
    const Case cases[] = {
        {R"({"op":"reboot"})",
         R"J({"ok":false,"error":"unknown op \"reboot\" (known: devices, report, log, clear, set, notify, plug, unplug)"})J"},
        {R"({"device":"m81"})", R"J({"ok":false,"error":"missing field \"op\" (a string)"})J"},
        {R"({"op":7})", R"J({"ok":false,"error":"missing field \"op\" (a string)"})J"},
        {R"(["op","devices"])", R"({"ok":false,"error":"a request is a JSON object with an \"op\""})"},
        {R"({"op":"log"})", R"({"ok":false,"error":"missing field \"device\""})"},
        {R"({"op":"clear","device":3})", R"({"ok":false,"error":"\"device\" must be a string"})"},
        {R"({"op":"log","device":"ghost"})", R"({"ok":false,"error":"unknown device \"ghost\""})"},
        {R"({"op":"plug","device":"ghost"})", R"({"ok":false,"error":"unknown device \"ghost\""})"},
        {R"({"op":"set","device":"ghost","ack":true})", R"({"ok":false,"error":"unknown device \"ghost\""})"},
        {R"({"op":"report","device":"m81"})",
         R"J({"ok":false,"error":"missing field \"hex\" (a string of hex digits)"})J"},
        {R"({"op":"report","device":"m81","hex":"0g"})",
         R"({"ok":false,"error":"hex: not a hex digit at position 1"})"},
        {R"({"op":"report","device":"m81","hex":"012"})", R"({"ok":false,"error":"hex: odd number of hex digits"})"},
        {R"({"op":"report","device":"m81","hex":"01","collection":2})",
         R"({"ok":false,"error":"collection 2 is out of range: device \"m81\" has 2 collections"})"},
        {R"({"op":"report","device":"m81","hex":"01","collection":-1})",
         R"({"ok":false,"error":"collection: -1 is out of range 0..1000000"})"},
        {R"({"op":"report","device":"r65","hex":"01"})", R"({"ok":false,"error":"device \"r65\" is not attached"})"},
        {R"({"op":"set","device":"m81","ack_after":"many"})",
         R"J({"ok":false,"error":"ack_after: \"many\" is not a number (use digits or \"0x\" and hex digits)"})J"},
        {R"({"op":"set","device":"m81","name":"x"})", R"({"ok":false,"error":"unknown behaviour field \"name\""})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(Ask(c.request), c.reply);
    }
    for (const std::string malformed : {"{", "nonsense", "{\"op\":\"devices\"", "\"\xff\""}) {
        SCOPED_TRACE(malformed);
        const json reply = json::parse(Ask(malformed));
        EXPECT_FALSE(reply["ok"].get<bool>());
        EXPECT_EQ(reply["error"].get<std::string>().rfind("malformed JSON: ", 0), 0u) << reply.dump();
    }
    EXPECT_EQ(Ask(R"({"op":"clear","device":"m81"})"), R"({"ok":true})");
}

TEST_F(AControlSocket, AnswersPipelinedAndSplitRequestsInOrderAndSkipsBlankLines) {
    client.Send("{\"op\":\"clear\",\"device\":\"m81\"}\r\n\n   \n{\"op\":\"nope\"}\n{\"op\":\"cl");
    EXPECT_EQ(client.ReadLine(), R"({"ok":true})");
    EXPECT_EQ(client.ReadLine().substr(0, 34), R"({"ok":false,"error":"unknown op \")");
    client.Send("ear\",\"device\":\"r65\"}\n");
    EXPECT_EQ(client.ReadLine(), R"({"ok":true})");
}

TEST_F(AControlSocket, AnswersALastRequestWithoutLineEndThenCloses) {
    client.Send(R"({"op":"clear","device":"m81"})");
    client.ShutdownWrite();
    EXPECT_EQ(client.ReadLine(), R"({"ok":true})");
    EXPECT_TRUE(client.WaitClosed());
}

TEST_F(AControlSocket, RefusesAnOverlongLineAndClosesThatConnectionOnly) {
    SimControlClient other;
    ASSERT_TRUE(other.Connect(path));
    std::thread flood([&] { client.Send(std::string(1100000, 'x')); });
    EXPECT_EQ(client.ReadLine(), R"({"ok":false,"error":"request line longer than 1048576 bytes"})");
    EXPECT_TRUE(client.WaitClosed());
    flood.join();
    EXPECT_EQ(other.Exchange("{\"op\":\"clear\",\"device\":\"m81\"}\n"), R"({"ok":true})");
}

TEST_F(AControlSocket, ServesSeveralClientsAtOnce) {
    constexpr int kClients = 4, kRequests = 50;
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int c = 0; c < kClients; ++c)
        threads.emplace_back([&] {
            SimControlClient mine;
            if (!mine.Connect(path)) return;
            for (int i = 0; i < kRequests; ++i)
                if (mine.Exchange("{\"op\":\"report\",\"device\":\"m81\",\"hex\":\"0103\"}\n") ==
                    R"({"ok":true,"delivered":0})")
                    ++good;
        });
    for (int i = 0; i < kRequests; ++i)
        EXPECT_EQ(Ask(R"({"op":"log","device":"m81"})"), R"({"ok":true,"received":[]})");
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), kClients * kRequests);
}

TEST_F(AControlSocket, IsOwnerOnlyAndRemovedWhenStopped) {
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::string error;
    EXPECT_FALSE(simulator->StartControlSocket(dir.path() + "/second", &error));
    EXPECT_EQ(error, "the simulator's control socket is already open");
    simulator->StopControlSocket();
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_TRUE(client.WaitClosed());
    simulator->StopControlSocket();  // twice is harmless
}

size_t OpenDescriptors() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

TEST(AControlSocketLifetime, LeavesNoDescriptorOpenOnceStopped) {
    if (OpenDescriptors() == 0) GTEST_SKIP() << "no /proc/self/fd to count descriptors";
    test::TempDir dir;
    const size_t before = OpenDescriptors();
    for (int round = 0; round < 3; ++round) {
        auto simulator = Load(kScenario);
        ASSERT_TRUE(simulator);
        std::string error;
        ASSERT_TRUE(simulator->StartControlSocket(dir.path() + "/control", &error)) << error;
        SimControlClient a, b;
        ASSERT_TRUE(a.Connect(dir.path() + "/control"));
        ASSERT_TRUE(b.Connect(dir.path() + "/control"));
        EXPECT_EQ(a.Exchange("{\"op\":\"clear\",\"device\":\"m81\"}\n"), R"({"ok":true})");
        a.Close();
        EXPECT_FALSE(simulator->StartControlSocket(dir.path() + "/notes", &error));
        simulator.reset();  // stops the socket with b still connected
        EXPECT_TRUE(b.WaitClosed());
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

// "tcp:PORT": the same requests on 127.0.0.1 (the only kind Wine offers).
TEST(AControlSocketOnTcp, AnswersOnLoopbackAndRefusesAnythingButAPort) {
    auto simulator = Load(kScenario);
    ASSERT_TRUE(simulator);
    std::string error;
    for (const char* bad : {"tcp:", "tcp:x1", "tcp:65536", "tcp:123456", "tcp:-1"}) {
        EXPECT_FALSE(simulator->StartControlSocket(bad, &error)) << bad;
        EXPECT_EQ(error, std::string("control socket ") + bad + ": tcp: takes a port from 0 to 65535");
    }
    ASSERT_TRUE(simulator->StartControlSocket("tcp:0", &error)) << error;
    const uint16_t port = simulator->ControlPort();
    ASSERT_NE(port, 0);
    SimControlClient client;
    ASSERT_TRUE(client.ConnectTcp(port, &error)) << error;
    EXPECT_EQ(client.Exchange("{\"op\":\"clear\",\"device\":\"m81\"}\n"), R"({"ok":true})");
    simulator->StopControlSocket();
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(simulator->ControlPort(), 0);
}

TEST(AControlSocketPath, ReplacesAStaleSocketButNeitherALiveOneNorAnyOtherFile) {
    test::TempDir dir;
    auto simulator = Load(kScenario);
    ASSERT_TRUE(simulator);
    std::string error;

    const std::string stale = dir.path() + "/stale";
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", stale.c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        close(fd);  // bound, never listening: what a killed run leaves
    }
    ASSERT_TRUE(simulator->StartControlSocket(stale, &error)) << error;
    SimControlClient client;
    ASSERT_TRUE(client.Connect(stale));
    EXPECT_EQ(client.Exchange("{\"op\":\"clear\",\"device\":\"m81\"}\n"), R"({"ok":true})");

    auto second = Load(kScenario);
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->StartControlSocket(stale, &error));
    EXPECT_EQ(error, "control socket " + stale + ": another process is listening there");

    const std::string file = dir.path() + "/notes.txt";
    std::ofstream(file) << "keep me";
    EXPECT_FALSE(second->StartControlSocket(file, &error));
    EXPECT_EQ(error, "control socket " + file + ": the path exists and is not a socket");
    std::ifstream kept(file);
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "keep me");

    const std::string missingDir = dir.path() + "/no/such/dir/socket";
    EXPECT_FALSE(second->StartControlSocket(missingDir, &error));
    EXPECT_EQ(error, "control socket " + missingDir + ": bind: No such file or directory");

    const std::string tooLong = dir.path() + "/" + std::string(120, 'x');
    EXPECT_FALSE(second->StartControlSocket(tooLong, &error));
    EXPECT_EQ(error, "control socket " + tooLong + ": the path must hold 1 to 107 characters");
}

// Control requests and scenario texts of any shape are left to the fuzz
// targets (fuzz/sim_control.cpp, fuzz/scenario.cpp), whose seeds replay as tests.

// The bridge as a user starts it. XDG_RUNTIME_DIR is private to each run so
// that other bridges on the machine do not count as a running instance.
#define SKIP_WITHOUT_BRIDGE_BINARY()            \
    if (access(ORVEX_BRIDGE_BINARY, X_OK) != 0) \
    GTEST_SKIP() << "the bridge binary is not built: " << ORVEX_BRIDGE_BINARY

TEST(TheBridgeProcess, StopsWithStatusTwoAndNamesTheFileForABadScenario) {
    SKIP_WITHOUT_BRIDGE_BINARY();
    test::TempDir dir;
    const std::string file = dir.path() + "/bad.json";
    std::ofstream(file) << R"({"devices":[{"name":"m","vendor_id":"0x1D57","product_id":"0xFA60","bus":"pci"}]})";
    const auto result = test::RunToEnd({ORVEX_BRIDGE_BINARY, "--port", "0", "--simulate", file},
                                       std::chrono::seconds(30), {"XDG_RUNTIME_DIR=" + dir.path()});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find(file + R"(: device 0 ("m"): bus: expected "usb" or "ble", got "pci")"), std::string::npos)
        << result.err;
}

TEST(TheBridgeProcess, ServesTheControlSocketWhileRunningAndRemovesItAtTheEnd) {
    SKIP_WITHOUT_BRIDGE_BINARY();
    test::TempDir dir;
    const std::string file = dir.path() + "/scenario.json";
    const std::string control = dir.path() + "/control";
    std::ofstream(file) << kScenario;
    test::ChildProcess bridge({ORVEX_BRIDGE_BINARY, "--port", "0", "--simulate", file, "--sim-control", control},
                              {"XDG_RUNTIME_DIR=" + dir.path()});
    ASSERT_TRUE(bridge.Started());
    SimControlClient client;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!client.Connect(control) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const json log = json::parse(client.Exchange("{\"op\":\"log\",\"device\":\"m81\"}\n"));
    ASSERT_TRUE(log["ok"].get<bool>()) << log.dump();
    EXPECT_EQ(client.Exchange("{\"op\":\"plug\",\"device\":\"r65\"}\n"), R"({"ok":true})");
    client.Close();
    bridge.Signal(SIGTERM);
    EXPECT_EQ(bridge.Wait(std::chrono::seconds(30)), 0) << bridge.Stderr();
    EXPECT_NE(access(control.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace orvex::sim
