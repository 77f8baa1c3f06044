// Which pages may use the devices, as the user meets it: the real binary, a
// fake notification server on a private session bus, the console's /origins,
// and the trust file across restarts.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/Options.h"
#include "support/Http.h"
#include "support/PrivateBus.h"
#include "support/Process.h"
#include "support/WsClient.h"

namespace orvex::test {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

const std::string kSite = "https://pages.example";

class ABridgeThatAsks : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = PrivateBus::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
    }
    // The fake answers every question with answer (see fake_notifications.py).
    void Start(const std::string& answer) {
        std::string error;
        fake.reset();
        fake = bus.StartFake(ORVEX_FAKE_NOTIFICATIONS, {answer}, &error);
        ASSERT_TRUE(fake) << error;
        bridge =
            std::make_unique<ChildProcess>(std::vector<std::string>{kBridgeBinary, "--port", "0", "--verbose"}, Env());
        ASSERT_TRUE(bridge->WaitForStderr("console on", 30s)) << bridge->Stderr();
        port = static_cast<uint16_t>(ParseListeningPort(bridge->Stderr()));
    }
    std::vector<std::string> Env() {
        return {"XDG_RUNTIME_DIR=" + dir.path(), "XDG_CONFIG_HOME=" + dir.path() + "/config",
                "DBUS_SESSION_BUS_ADDRESS=" + bus.address()};
    }
    void Stop() {
        bridge->Signal(SIGTERM);
        EXPECT_EQ(bridge->Wait(30s), 0) << bridge->Stderr();
        bridge->FinishOutput();
        EXPECT_EQ(SanitizerReportIn(bridge->Stderr()), "");
    }
    // The fake's calls, one JSON array each.
    std::vector<json> Calls() {
        std::vector<json> calls;
        std::istringstream lines(fake->Stdout());
        for (std::string line; std::getline(lines, line);)
            if (!line.empty() && line.front() == '[') calls.push_back(json::parse(line));
        return calls;
    }
    HttpAnswer Post(const std::string& origin, const std::string& type, const std::string& body) {
        return HttpRequestOnce(port, "POST", "/origins", "127.0.0.1:" + std::to_string(port),
                               {"Origin: " + origin, "Content-Type: " + type}, body);
    }
    std::string TrustFile() {
        std::ifstream in(dir.path() + "/config/orvex-bridge/trusted-origins");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    TempDir dir;
    PrivateBus bus;
    std::unique_ptr<ChildProcess> fake, bridge;
    uint16_t port = 0;
};

TEST_F(ABridgeThatAsks, AsksOnTheDesktopOnceAndRemembersAllowAcrossRestarts) {
    Start("allow");
    WsClient page(port, kSite);
    ASSERT_EQ(page.Greeting(10s), "0304");
    EXPECT_NE(bridge->Stderr().find("page origin " + kSite + " waits for the user"), std::string::npos);
    const std::vector<json> calls = Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0][0], "GetCapabilities");
    EXPECT_EQ(calls[1][0], "Notify");
    EXPECT_NE(calls[1][2].get<std::string>().find(kSite), std::string::npos);  // the summary names it
    EXPECT_NE(calls[1][3].get<std::string>().find("change device settings"), std::string::npos);
    EXPECT_EQ(calls[1][4], json({"allow", "Allow", "deny", "Deny"}));
    EXPECT_EQ(calls[1][5], 0);  // never expires
    EXPECT_NE(TrustFile().find(kSite + "\n"), std::string::npos);
    Stop();

    Start("none");
    WsClient again(port, kSite);
    EXPECT_EQ(again.Greeting(10s), "0304");
    const auto status = json::parse(HttpRequestOnce(port, "GET", "/status", "localhost").body);
    EXPECT_EQ(status["origins"], json({{"policy", "ask"}, {"trusted", 1}, {"pending", 0}, {"denied", 0}}));
    Stop();
    EXPECT_TRUE(Calls().empty());
}

TEST_F(ABridgeThatAsks, TakesTheAnswerFromTheConsolePageOnlyAndTakesBackTheQuestion) {
    Start("none");
    WsClient page(port, kSite);
    ASSERT_TRUE(page.Connect());
    const std::string self = "http://127.0.0.1:" + std::to_string(port);
    json origins;
    for (int i = 0; i < 500 && Calls().size() < 2; ++i) std::this_thread::sleep_for(10ms);
    origins = json::parse(HttpRequestOnce(port, "GET", "/origins", "localhost").body);
    EXPECT_EQ(origins["policy"], "ask");
    ASSERT_EQ(origins["pending"].size(), 1u);
    EXPECT_EQ(origins["pending"][0]["origin"], kSite);
    EXPECT_EQ(origins["pending"][0]["pages"], 1);
    const RunResult check = RunToEnd({kBridgeBinary, "--check", "--json", "--port", std::to_string(port)}, 30s, Env());
    const json report = json::parse(check.out, nullptr, false);
    ASSERT_TRUE(report.is_object()) << check.out << check.err;
    EXPECT_EQ(report["origins"]["policy"], "ask");
    EXPECT_EQ(report["origins"]["pending"], 1);
    EXPECT_EQ(report["origins"]["denied"], 0);

    const std::string deny = json({{"origin", kSite}, {"decision", "deny"}}).dump();
    EXPECT_EQ(Post(kSite, "application/json", json({{"origin", kSite}, {"decision", "allow"}}).dump()).status, 403);
    EXPECT_EQ(Post("http://localhost:1", "application/json", deny).status, 403);
    EXPECT_EQ(Post(self, "text/plain", deny).status, 415);
    for (const char* bad : {"", "{", "[]", R"({"origin":"https://pages.example","decision":"maybe"})",
                            R"({"origin":"pages.example","decision":"deny"})", R"({"origin":1,"decision":"deny"})"})
        EXPECT_EQ(Post(self, "application/json", bad).status, 400) << bad;
    EXPECT_TRUE(page.Messages().empty());

    EXPECT_EQ(Post(self, "application/json; charset=utf-8", deny).status, 204);
    ASSERT_TRUE(page.WaitClosed());
    EXPECT_EQ(page.CloseCode(), 1008);
    EXPECT_EQ(page.CloseReason(), "origin not trusted");
    origins = json::parse(HttpRequestOnce(port, "GET", "/origins", "localhost").body);
    EXPECT_EQ(origins["denied"], json({kSite}));
    EXPECT_TRUE(origins["pending"].empty());
    Stop();
    ASSERT_TRUE(fake->WaitForStdout("CloseNotification", 10s)) << fake->Stdout();
    const std::vector<json> calls = Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2], json({"CloseNotification", calls[1][1]}));
}

// A question left on the desktop after the bridge has gone would take an
// answer nobody hears.
TEST_F(ABridgeThatAsks, TakesBackItsQuestionWhenItStops) {
    Start("none");
    WsClient page(port, kSite);
    ASSERT_TRUE(page.Connect());
    ASSERT_TRUE(fake->WaitForStdout("\"Notify\"", 10s)) << bridge->Stderr();
    Stop();
    ASSERT_TRUE(fake->WaitForStdout("CloseNotification", 10s)) << fake->Stdout();
    const std::vector<json> calls = Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2], json({"CloseNotification", calls[1][1]}));
}

TEST(TheOriginsOption, AsksByDefaultAndKeepsAnAllowListAloneMeaningOnlyThose) {
    const std::vector<std::pair<std::vector<std::string>, OriginPolicy>> cases = {
        {{}, OriginPolicy::Ask},
        {{"--allow-origin", kSite}, OriginPolicy::Listed},
        {{"--allow-origin", kSite, "--origins", "ask"}, OriginPolicy::Ask},
        {{"--origins", "any"}, OriginPolicy::Any},
    };
    for (const auto& [args, policy] : cases) {
        std::vector<std::string> words = {"orvex-bridge"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        Options options;
        ASSERT_EQ(ParseOptions(static_cast<int>(argv.size()), argv.data(), &options), ParseOutcome::Run);
        EXPECT_EQ(options.origins, policy) << ::testing::PrintToString(args);
    }
    // Origins as a person types them are compared as browsers send them;
    // anything else is named and refused.
    std::string typed[] = {"orvex-bridge", "--allow-origin", "HTTPS://Config.Example:443/", "--allow-origin", "null"};
    char* argv[] = {typed[0].data(), typed[1].data(), typed[2].data(), typed[3].data(), typed[4].data()};
    Options options;
    ASSERT_EQ(ParseOptions(5, argv, &options), ParseOutcome::Run);
    EXPECT_EQ(options.server.allowed_origins, (std::vector<std::string>{"https://config.example", "null"}));
    const RunResult bad = RunToEnd({kBridgeBinary, "--allow-origin", "https://config.example/page"}, 10s);
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("--allow-origin: 'https://config.example/page' is not an origin"), std::string::npos)
        << bad.err;
}

TEST(TheTrustCommands, EditAndListTheTrustFileAndRefuseMalformedOrigins) {
    TempDir dir;
    const std::vector<std::string> env = {"XDG_CONFIG_HOME=" + dir.path()};
    EXPECT_EQ(RunToEnd({kBridgeBinary, "--trust", "HTTPS://Pages.Example:443/"}, 10s, env).status, 0);
    EXPECT_EQ(RunToEnd({kBridgeBinary, "--trust", "http://localhost:8080"}, 10s, env).status, 0);
    EXPECT_EQ(RunToEnd({kBridgeBinary, "--untrust", kSite}, 10s, env).status, 0);
    for (const char* bad : {"pages.example", "https://pages.example/x", "null"}) {
        const RunResult result = RunToEnd({kBridgeBinary, "--trust", bad}, 10s, env);
        EXPECT_EQ(result.status, 2) << bad;
        EXPECT_NE(result.err.find("is not an origin"), std::string::npos) << result.err;
    }
    const RunResult list = RunToEnd({kBridgeBinary, "--list-trusted"}, 10s, env);
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, "http://localhost:8080\n");

    // A hand-edited line that is no origin is a problem that --check names.
    std::ofstream(dir.path() + "/orvex-bridge/trusted-origins", std::ios::app) << "localhost:8081\n";
    const RunResult check = RunToEnd({kBridgeBinary, "--check", "--json", "--port", "0"}, 30s, env);
    EXPECT_EQ(check.status, 1);
    const json report = json::parse(check.out, nullptr, false);
    ASSERT_TRUE(report.is_object()) << check.out;
    EXPECT_EQ(report["origins"]["malformed_lines"], json({3}));
    EXPECT_EQ(report["origins"]["trusted"], 1);
    EXPECT_NE(report["problems"].dump().find("trusted-origins line 3 is not an origin: localhost:8081"),
              std::string::npos)
        << report["problems"].dump();
}

}  // namespace
}  // namespace orvex::test
