// The bridge as a user runs it: the real binary, its command line, signals,
// exit statuses and the single-instance guard.
#include "support/Process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "app/Options.h"
#include "support/WsClient.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::kBridgeBinary;
using test::RunToEnd;
using test::TempDir;
using test::WsClient;

TEST(TheCommandLine, PrintsHelpAndVersionAndExitsZero) {
    const auto help = RunToEnd({kBridgeBinary, "--help"}, 10s);
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--port", "--listen", "--allow-origin", "--simulate", "--sim-control", "--verbose",
                               "--quiet", "--no-console", "--version", "--help"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    const auto version = RunToEnd({kBridgeBinary, "--version"}, 10s);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("orvex-bridge ", 0), 0u) << version.out;
}

TEST(TheCommandLine, RejectsUsageErrorsWithStatusTwoAndAMessage) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"--port", "70000"},
        {"--port", "ten"},
        {"--port"},
        {"--listen", "not-an-address"},
        {"--verbose=loud"},
        {"--quiet", "--verbose"},
        {"--sim-control", "/tmp/x.sock"},
        {"stray-argument"},
        {"--max-page-buffer", "65535"},
        {"--max-page-buffer", "1x"},
        {"--max-page-buffer", "2G"},
        {"--max-pages", "0"},
        {"--max-pages", "4097"},
        {"--origins", "sometimes"},
        {"--trust", "https://a.example", "--untrust", "https://b.example"},
        {"--list-trusted", "--trust", "https://a.example"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv = {kBridgeBinary};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto result = RunToEnd(argv, 10s);
        EXPECT_EQ(result.status, 2) << args.front();
        EXPECT_NE(result.err.find("orvex-bridge: "), std::string::npos) << args.front();
        EXPECT_TRUE(result.out.empty()) << args.front();
    }
}

TEST(TheCommandLine, RejectsAMalformedScenarioFileWithStatusTwoNamingTheFile) {
    TempDir dir;
    const std::string file = dir.path() + "/broken.json";
    FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("{\"devices\": [ {\"name\": ", f);
    std::fclose(f);
    const auto result = RunToEnd({kBridgeBinary, "--simulate", file}, 10s, {"XDG_RUNTIME_DIR=" + dir.path()});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find(file), std::string::npos) << result.err;
    const auto missing =
        RunToEnd({kBridgeBinary, "--simulate", dir.path() + "/none.json"}, 10s, {"XDG_RUNTIME_DIR=" + dir.path()});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("none.json"), std::string::npos) << missing.err;
}
// The bridge's command line with these arguments.
ParseOutcome Parse(const std::vector<std::string>& args, Options* options) {
    std::vector<std::string> words = {"orvex-bridge"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    return ParseOptions(static_cast<int>(argv.size()), argv.data(), options);
}

TEST(TheCommandLine, TakesPageLimitsInBytesOrWithSizeSuffixes) {
    const std::vector<std::pair<std::vector<std::string>, std::pair<size_t, size_t>>> cases = {
        {{}, {1 << 20, 64}},
        {{"--max-page-buffer", "65536", "--max-pages", "1"}, {65536, 1}},
        {{"--max-page-buffer", "64K"}, {64 << 10, 64}},
        {{"--max-page-buffer", "2MiB", "--max-pages", "4096"}, {2 << 20, 4096}},
        {{"--max-page-buffer", "1024M"}, {size_t(1) << 30, 64}},
    };
    for (const auto& [args, expected] : cases) {
        Options options;
        ASSERT_EQ(Parse(args, &options), ParseOutcome::Run) << args.size();
        EXPECT_EQ(options.server.max_page_buffer, expected.first) << args.size();
        EXPECT_EQ(options.server.max_pages, expected.second) << args.size();
    }
}

TEST(TheCommandLine, ListensOnBothLoopbacksByDefaultAndOnEachGivenAddressOnce) {
    using Addresses = std::vector<std::string>;
    const std::vector<std::pair<Addresses, Addresses>> cases = {
        {{}, {"127.0.0.1", "::1"}},
        {{"--listen", "0.0.0.0"}, {"0.0.0.0"}},
        {{"--listen", "::1", "--listen", "127.0.0.1", "--listen", "::1"}, {"::1", "127.0.0.1"}},
    };
    for (const auto& [args, expected] : cases) {
        Options options;
        ASSERT_EQ(Parse(args, &options), ParseOutcome::Run) << args.size();
        Addresses got{options.server.address};
        got.insert(got.end(), options.server.more_addresses.begin(), options.server.more_addresses.end());
        EXPECT_EQ(got, expected) << args.size();
    }
}

class ARunningBridge : public ::testing::Test {
protected:
    void SetUp() override {
        bridge =
            std::make_unique<ChildProcess>(std::vector<std::string>{kBridgeBinary, "--port", "0", "--verbose"}, Env());
        ASSERT_TRUE(bridge->Started());
        ASSERT_TRUE(bridge->WaitForStderr(" port ", 10s)) << bridge->Stderr();
        port = test::ParseListeningPort(bridge->Stderr());
        ASSERT_GT(port, 0) << bridge->Stderr();
    }
    std::vector<std::string> Env() { return {"XDG_RUNTIME_DIR=" + runtime.path()}; }

    TempDir runtime;
    std::unique_ptr<ChildProcess> bridge;
    int port = -1;
};

TEST_F(ARunningBridge, GreetsAPageAndLogsTheConnection) {
    WsClient page(static_cast<uint16_t>(port));
    ASSERT_EQ(page.Greeting(), "0304");
    page.SendText("zz");
    page.Close();
    ASSERT_TRUE(page.WaitClosed());
    bridge->Signal(SIGTERM);
    EXPECT_EQ(bridge->Wait(10s), 0);
    bridge->FinishOutput();
    const std::string out = bridge->Stdout();
    EXPECT_NE(out.find("Connection opened\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Received message: zz\nDecode failed: invalid stoi argument\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Connection closed\n"), std::string::npos) << out;
}

TEST_F(ARunningBridge, ClosesEveryPageWith1000AndExitsZeroOnSigtermAndSigint) {
    for (int signal : {SIGTERM, SIGINT}) {
        if (signal == SIGINT) SetUp();
        WsClient a(static_cast<uint16_t>(port)), b(static_cast<uint16_t>(port));
        ASSERT_EQ(a.Greeting(), "0304");
        ASSERT_EQ(b.Greeting(), "0304");
        const auto asked = std::chrono::steady_clock::now();
        bridge->Signal(signal);
        ASSERT_TRUE(a.WaitClosed(5s));
        ASSERT_TRUE(b.WaitClosed(5s));
        EXPECT_EQ(a.CloseCode(), 1000);
        EXPECT_EQ(b.CloseCode(), 1000);
        EXPECT_EQ(a.CloseReason(), "");
        EXPECT_EQ(bridge->Wait(10s), 0) << "signal " << signal;
        // Shutdown is bounded; the exact figure is not a test of machine speed.
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 10s);
    }
}

TEST_F(ARunningBridge, LetsASecondInstanceExitZeroAtOnceAndKeepsServing) {
    const auto second = RunToEnd({kBridgeBinary, "--port", "0"}, 10s, Env());
    EXPECT_EQ(second.status, 0);
    EXPECT_NE(second.err.find("already running"), std::string::npos) << second.err;
    WsClient page(static_cast<uint16_t>(port));
    ASSERT_EQ(page.Greeting(), "0304");
}

TEST(ABridgeWhosePortIsTaken, ExitsOneWithOneLineNamingAddressPortAndError) {
    test::TakenPort blocker;
    ASSERT_NE(blocker.port(), 0);
    const std::string taken = std::to_string(blocker.port());

    TempDir runtime;
    const auto result = RunToEnd({kBridgeBinary, "--port", taken}, 10s, {"XDG_RUNTIME_DIR=" + runtime.path()});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("127.0.0.1"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(taken), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("in use"), std::string::npos) << result.err;
    // The holder is this test, as /proc shows it.
    EXPECT_NE(result.err.find("; held by pid " + std::to_string(getpid()) + " ("), std::string::npos) << result.err;
    size_t lines = 0;
    for (char c : result.err) lines += c == '\n';
    EXPECT_EQ(lines, 1u) << result.err;
}

}  // namespace
}  // namespace orvex
