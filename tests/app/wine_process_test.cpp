// The Windows binary under Wine, driven from Linux like a page and a test
// driver would: it must serve the same texts and console page as the Linux
// binary for the same simulated scenario, stop cleanly on Ctrl+C, let a
// second copy exit 0, print through pipes as a GUI program, and wait for a
// port held elsewhere.
// scripts/test.sh runs it with ORVEX_WINDOWS_BRIDGE naming the .exe, its
// console twin (.com) beside it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "support/Http.h"
#include "support/Process.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::WsClient;
using Texts = std::vector<std::string>;

const char* const kScenario =
    R"({"devices":[{"name":"m81","vendor_id":"0x1D57","product_id":"0xFA60","device_id":3,"ack_delay_ms":0}]})";

// posix_spawn takes no PATH search: the wine on PATH, by its full name.
std::string WineOnPath() {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin";
    for (size_t start = 0, end; start <= dirs.size(); start = end + 1) {
        end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/wine";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "wine";
}

int PortAfter(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + key.size());
}

struct Outcome {
    Texts page;
    std::string consolePage;
    int statusCode = 0;
    int closeCode = 0;
    int status = -1;
    std::string out, err;
};

// Greeting, a report, an unplug, then Ctrl+C (SIGINT; Wine turns it into the
// console's Ctrl+C event, which the twin passes on to the Windows bridge).
Outcome Drive(std::vector<std::string> command, const std::string& scenario, std::vector<std::string> env = {}) {
    Outcome run;
    for (const char* arg : {"--simulate", "", "--sim-control", "tcp:0", "--port", "0", "--verbose"})
        command.push_back(*arg ? arg : scenario);
    ChildProcess bridge(command, env);
    EXPECT_TRUE(bridge.WaitForStderr("console on", 30s)) << bridge.Stderr();
    const int port = test::ParseListeningPort(bridge.Stderr());
    const int control = PortAfter(bridge.Stderr(), "simulator control on 127.0.0.1 port ");
    if (port <= 0 || control <= 0) {
        ADD_FAILURE() << bridge.Stderr();
        return run;
    }
    const std::string host = "127.0.0.1:" + std::to_string(port);
    run.consolePage = test::HttpRequestOnce(static_cast<uint16_t>(port), "GET", "/", host).body;
    run.statusCode = test::HttpRequestOnce(static_cast<uint16_t>(port), "GET", "/status", host).status;
    WsClient page(static_cast<uint16_t>(port));
    test::SimControlClient driver;
    EXPECT_TRUE(page.Connect(10s));
    EXPECT_TRUE(page.WaitForMessages(1, 10s));
    EXPECT_TRUE(driver.ConnectTcp(static_cast<uint16_t>(control)));
    EXPECT_EQ(driver.Exchange(R"({"op":"report","device":"m81","hex":"050311"})"
                              "\n"),
              R"({"ok":true,"delivered":1})");
    EXPECT_TRUE(page.WaitForMessages(2, 10s));
    EXPECT_EQ(driver.Exchange(R"({"op":"unplug","device":"m81"})"
                              "\n"),
              R"({"ok":true})");
    EXPECT_TRUE(page.WaitForMessages(3, 10s));
    driver.Close();
    bridge.Signal(SIGINT);
    EXPECT_TRUE(page.WaitClosed(10s));
    run.closeCode = page.CloseCode();
    run.status = bridge.Wait(20s);
    bridge.FinishOutput();
    run.page = page.Messages();
    run.out = bridge.Stdout();
    run.err = bridge.Stderr();
    return run;
}

class TheWindowsBridgeUnderWine : public ::testing::Test {
protected:
    void SetUp() override {
        const char* exe = std::getenv("ORVEX_WINDOWS_BRIDGE");
        if (!exe || !*exe) GTEST_SKIP() << "ORVEX_WINDOWS_BRIDGE is not set (the Windows step of test.sh sets it)";
        gui = exe;
        std::string twin = gui;
        twin.replace(twin.size() - 4, 4, ".com");
        // From a console one runs the twin, which passes Ctrl+C on.
        windows = {WineOnPath(), twin};
        scenario = dir.path() + "/scenario.json";
        std::ofstream(scenario) << kScenario;
    }
    test::TempDir dir;
    std::string gui;                   // the GUI program
    std::vector<std::string> windows;  // its console twin under Wine
    std::string scenario;
};

TEST_F(TheWindowsBridgeUnderWine, ServesThePageTheSameTextsAsTheLinuxBinaryAndStopsOnCtrlC) {
    const Outcome onLinux = Drive({ORVEX_BRIDGE_BINARY}, scenario, {"XDG_RUNTIME_DIR=" + dir.path()});
    const Outcome onWine = Drive(windows, scenario);
    EXPECT_EQ(onLinux.page, (Texts{"0304", "81010503110000", "810003"}));
    EXPECT_EQ(onWine.page, onLinux.page);
    EXPECT_FALSE(onLinux.consolePage.empty());
    EXPECT_EQ(onWine.consolePage, onLinux.consolePage);
    EXPECT_EQ(onWine.statusCode, 200);
    EXPECT_EQ(onWine.closeCode, 1000);
    EXPECT_EQ(onWine.status, 0) << onWine.err;
    // Byte for byte: no "\r" slipped in by the C library's text mode.
    EXPECT_EQ(onWine.out.find('\r'), std::string::npos);
    EXPECT_EQ(onWine.err.find('\r'), std::string::npos);
    for (const char* line : {"Connection opened\n", "Connection closed\n"})
        EXPECT_NE(onWine.out.find(line), std::string::npos) << onWine.out;
}

TEST_F(TheWindowsBridgeUnderWine, LetsASecondInstanceExitZeroOnTheNamedMutex) {
    std::vector<std::string> first = windows;
    for (const char* arg : {"--port", "0", "--verbose"}) first.push_back(arg);
    ChildProcess bridge(first);
    ASSERT_TRUE(bridge.WaitForStderr("console on", 30s)) << bridge.Stderr();
    std::vector<std::string> second = windows;
    for (const char* arg : {"--port", "0"}) second.push_back(arg);
    const auto result = test::RunToEnd(second, 30s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "orvex-bridge: another instance is already running (ZNQ Orvex Config); exiting\n");
    bridge.Signal(SIGINT);
    EXPECT_EQ(bridge.Wait(20s), 0);
}

// Every key path of a JSON value ("hid.nodes[].path"), for comparing the
// shape of two reports.
std::set<std::string> KeyPaths(const nlohmann::json& value, const std::string& at = "") {
    std::set<std::string> paths;
    if (value.is_object()) {
        for (const auto& [key, item] : value.items()) {
            const std::string path = at.empty() ? key : at + "." + key;
            paths.insert(path);
            for (const auto& inner : KeyPaths(item, path)) paths.insert(inner);
        }
    } else if (value.is_array()) {
        for (const auto& item : value)
            for (const auto& inner : KeyPaths(item, at + "[]")) paths.insert(inner);
    }
    return paths;
}

TEST_F(TheWindowsBridgeUnderWine, ChecksWhatItSeesOfTheSimulatedDevicesWithTheKeysOfLinux) {
    std::vector<std::string> check = windows;
    for (const char* arg : {"--check", "--json", "--port", "0", "--simulate"}) check.push_back(arg);
    check.push_back(scenario);
    const auto result = test::RunToEnd(check, 30s);
    // No bridge runs: a problem on either system.
    EXPECT_EQ(result.status, 1) << result.err;
    const auto json = nlohmann::json::parse(result.out, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << result.out;
    EXPECT_EQ(json["ok"], false);
    ASSERT_EQ(json["problems"].size(), 1u) << result.out;
    EXPECT_EQ(json["problems"][0]["what"], "no bridge is running for this user");
    EXPECT_EQ(json["bridge"]["running"], false);
    EXPECT_EQ(json["bridge"]["lock"], "ZNQ Orvex Config");
    EXPECT_EQ(json["port"]["checked"], false);
    size_t collections = 0;
    for (const auto& node : json["hid"]["nodes"]) {
        EXPECT_EQ(node["product_id"], "0xFA60");
        for (const auto& collection : node["collections"]) {
            EXPECT_EQ(collection["can_open"], true);
            ++collections;
        }
    }
    EXPECT_EQ(collections, 2u) << result.out;

    const auto onLinux =
        test::RunToEnd({ORVEX_BRIDGE_BINARY, "--check", "--json", "--port", "0", "--simulate", scenario}, 30s);
    EXPECT_EQ(onLinux.status, result.status);
    EXPECT_EQ(KeyPaths(json), KeyPaths(nlohmann::json::parse(onLinux.out, nullptr, false)))
        << result.out << onLinux.out;
}

// A GUI program (nothing shows at log-on) that still prints into a pipe and
// hands back its exit status, as does its console twin beside it.
TEST_F(TheWindowsBridgeUnderWine, PrintsIntoAPipeAndEndsWithItsStatusAsDoesItsConsoleTwin) {
    const auto onLinux = test::RunToEnd({ORVEX_BRIDGE_BINARY, "--version"}, 30s);
    for (const std::string& program : {gui, windows[1]}) {
        const auto version = test::RunToEnd({windows[0], program, "--version"}, 30s);
        EXPECT_EQ(version.status, 0) << program;
        EXPECT_EQ(version.out, onLinux.out) << program;
        const auto wrong = test::RunToEnd({windows[0], program, "--port", "x"}, 30s);
        EXPECT_EQ(wrong.status, 2) << program;
        EXPECT_NE(wrong.err.find("Try 'orvex-bridge --help'."), std::string::npos) << program << wrong.err;
    }
}

// A port that another program holds, here a Linux one: waited for, its holder
// named once, served once free.
TEST_F(TheWindowsBridgeUnderWine, WaitsForAPortThatAnotherProgramHolds) {
    auto taken = std::make_unique<test::TakenPort>();
    ASSERT_NE(taken->port(), 0);
    const std::string port = std::to_string(taken->port());
    std::vector<std::string> command = windows;
    for (const char* arg : {"--simulate", scenario.c_str(), "--port", port.c_str(), "--wait-for-port", "--verbose"})
        command.push_back(arg);
    ChildProcess bridge(command);
    ASSERT_TRUE(bridge.WaitForStderr("; waiting for it to be free", 30s)) << bridge.Stderr();
    EXPECT_NE(bridge.Stderr().find("; held by "), std::string::npos) << bridge.Stderr();
    taken.reset();
    ASSERT_TRUE(bridge.WaitForStderr("console on", 30s)) << bridge.Stderr();
    WsClient page(static_cast<uint16_t>(std::stoi(port)));
    ASSERT_TRUE(page.Connect(10s));
    EXPECT_TRUE(page.WaitForMessages(1, 10s));
    bridge.Signal(SIGINT);
    EXPECT_EQ(bridge.Wait(20s), 0);
}

}  // namespace
}  // namespace orvex
