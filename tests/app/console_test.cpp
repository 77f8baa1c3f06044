// The console on the pages' port: what plain HTTP gets, /status against the
// simulator, and the WebSocket side left as it was.
#include "app/Console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "app/Options.h"
#include "support/Http.h"
#include "support/Pages.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

namespace orvex::test {
namespace {

using namespace std::chrono_literals;

const char* const kScenario = R"({"devices":[
    {"name":"m81","vendor_id":"0x1D57","product_id":"0xFA60","device_id":3},
    {"name":"pad","bus":"ble","vendor_id":"0x045E","product_id":"0x0B13","device_id":6,
     "address":"C0:FF:EE:00:00:06"}]})";

TEST(AConsoleHost, IsALoopbackNameOrTheListeningAddressWithNoPortOrTheRightOne) {
    struct Case {
        const char* host;
        const char* listen;
        bool accepted;
    };
    const Case cases[] = {
        {"localhost", "127.0.0.1", true},
        {"LocalHost:8086", "127.0.0.1", true},
        {"127.0.0.1:8086", "127.0.0.1", true},
        {"127.4.5.6", "127.0.0.1", true},
        {"[::1]:8086", "127.0.0.1", true},
        {"[::1]", "127.0.0.1", true},
        {"192.0.2.7:8086", "192.0.2.7", true},
        {"[2001:db8::1]:8086", "2001:db8::1", true},
        {"localhost:8087", "127.0.0.1", false},
        {"localhost:", "127.0.0.1", false},
        {"localhost.", "127.0.0.1", false},
        {"evil.example", "127.0.0.1", false},
        {"127.0.0.1.evil.example", "127.0.0.1", false},
        {"127.0.0.1:80x", "127.0.0.1", false},
        {"[127.0.0.1]", "127.0.0.1", false},
        {"::1", "127.0.0.1", false},
        {"[::1", "127.0.0.1", false},
        {"", "127.0.0.1", false},
        {"192.0.2.7", "127.0.0.1", false},
        {"0.0.0.0:8086", "0.0.0.0", false},
        {"10.0.0.1:8086", "0.0.0.0", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsConsoleHost(c.host, c.listen, 8086), c.accepted) << c.host;
}

class AConsoleOnASimulatedBridge : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        bridge = SimBridge::StartOrExplain(kScenario, nullptr, &why);
        if (!bridge) GTEST_SKIP() << why;
        port = bridge->port();
        self = "127.0.0.1:" + std::to_string(port);
    }
    HttpAnswer Get(const std::string& target, const std::string& method = "GET") {
        return HttpRequestOnce(port, method, target, self);
    }

    std::unique_ptr<SimBridge> bridge;
    uint16_t port = 0;
    std::string self;
};

TEST_F(AConsoleOnASimulatedBridge, AnswersEachRequestWithItsStatusAndSafeHeaders) {
    struct Case {
        std::string method, target, host;
        int status;
        std::string type;
    };
    const std::string wrongPort = "localhost:" + std::to_string(port + 1);
    const std::vector<Case> cases = {
        {"GET", "/", self, 200, "text/html; charset=utf-8"},
        {"GET", "/?from=bookmark", "localhost:" + std::to_string(port), 200, "text/html; charset=utf-8"},
        {"GET", "/protocol.js", self, 200, "text/javascript; charset=utf-8"},
        {"GET", "/console.css", self, 200, "text/css; charset=utf-8"},
        {"GET", "/status", self, 200, "application/json"},
        {"GET", "/status/", self, 404, "text/plain; charset=utf-8"},
        {"GET", "/../CMakeLists.txt", self, 404, "text/plain; charset=utf-8"},
        {"POST", "/status", self, 405, "text/plain; charset=utf-8"},
        {"DELETE", "/", self, 405, "text/plain; charset=utf-8"},
        {"GET", "/", "attacker.example", 403, "text/plain; charset=utf-8"},
        {"GET", "/status", "attacker.example:" + std::to_string(port), 403, "text/plain; charset=utf-8"},
        {"POST", "/", "attacker.example", 403, "text/plain; charset=utf-8"},
        {"GET", "/status", wrongPort, 403, "text/plain; charset=utf-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + " " + c.target + " Host " + c.host);
        HttpAnswer a = HttpRequestOnce(port, c.method, c.target, c.host);
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.headers["content-type"], c.type);
        EXPECT_EQ(a.headers["content-length"], std::to_string(a.body.size()));
        EXPECT_EQ(a.headers["x-content-type-options"], "nosniff");
        EXPECT_EQ(a.headers["connection"], "close");
        for (const auto& header : a.headers) EXPECT_NE(header.first.rfind("access-control-", 0), 0u) << header.first;
        const std::string csp = a.headers["content-security-policy"];
        EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos) << csp;
        // Only a trusted Host is echoed into the policy.
        const bool trusted = c.status != 403 && c.status != 405;
        EXPECT_EQ(csp.find("connect-src 'self' ws://" + c.host + ";") != std::string::npos, trusted) << csp;
        if (c.status == 405) {
            EXPECT_EQ(a.headers["allow"], "GET, HEAD");
        }
    }
    EXPECT_NE(Get("/").body.find("<title>orvex-bridge console</title>"), std::string::npos);
}

TEST_F(AConsoleOnASimulatedBridge, AnswersHeadLikeGetWithoutTheBody) {
    for (const std::string target : {"/", "/status", "/missing"}) {
        HttpAnswer get = Get(target);
        HttpAnswer head = Get(target, "HEAD");
        EXPECT_EQ(head.status, get.status) << target;
        EXPECT_EQ(head.headers["content-type"], get.headers["content-type"]) << target;
        EXPECT_EQ(head.headers["content-length"], std::to_string(get.body.size())) << target;
        EXPECT_EQ(head.body, "") << target;
    }
}

TEST_F(AConsoleOnASimulatedBridge, ReportsSlotsTrafficPagesAndBleStateInStatus) {
    WsClient page(port);
    ASSERT_EQ(page.Greeting(), "0304");
    std::string error;
    for (uint8_t n : {1, 2}) ASSERT_TRUE(bridge->sim().QueueReport("m81", {0x05, 0x03, n, 0, 0}, -1, &error)) << error;
    // Then the BLE device's own id notification, 50 ms after it subscribes.
    ASSERT_TRUE(page.WaitForMessages(4, 20s));

    const auto status = nlohmann::json::parse(Get("/status").body);
    EXPECT_EQ(status["version"], kVersion);
    EXPECT_GE(status["uptime_ms"].get<int64_t>(), 0);
    EXPECT_EQ(status["listen"], nlohmann::json({{"address", "127.0.0.1"}, {"port", port}}));
    EXPECT_EQ(status["pages"], 1);
    EXPECT_EQ(status["devices"], "simulated");
    // No session followed here: always active.
    EXPECT_EQ(status["session"], nlohmann::json({{"uid", getuid()}, {"id", nullptr}, {"active", true}}));
    ASSERT_EQ(status["families"].size(), 6u);
    std::vector<std::string> families;
    for (const auto& f : status["families"]) families.push_back(f["family"]);
    EXPECT_EQ(families, (std::vector<std::string>{"0x80", "0x81", "0x82", "0x83", "0x84", "0x85"}));

    const auto& mouse = status["families"][1]["slots"];
    ASSERT_EQ(mouse.size(), 1u) << status.dump();
    EXPECT_EQ(mouse[0]["slot"], 0);
    EXPECT_EQ(mouse[0]["device_id"], 3);
    EXPECT_EQ(mouse[0]["node"], "/dev/sim/m81/1");
    EXPECT_EQ(mouse[0]["paired"], true);
    EXPECT_EQ(mouse[0]["reports"], 2);
    ASSERT_TRUE(mouse[0]["last_report_ms_ago"].is_number()) << status.dump();
    EXPECT_LE(mouse[0]["last_report_ms_ago"].get<int64_t>(), status["uptime_ms"].get<int64_t>());
    EXPECT_TRUE(status["families"][0]["slots"].empty());

    const auto& ble = status["families"][4];
    EXPECT_EQ(ble["transport"], "ble");
    ASSERT_EQ(ble["slots"].size(), 1u);
    EXPECT_EQ(ble["slots"][0]["device_id"], 6);
    EXPECT_EQ(ble["slots"][0]["state"], "connected");
    EXPECT_FALSE(ble["slots"][0]["address"].get<std::string>().empty());

    // A rebuilt family starts counting again.
    bridge->RunOnLoop([&] { bridge->dialog().hid().OpenHidFamily(0x81); });
    const auto rebuilt = nlohmann::json::parse(Get("/status").body)["families"][1]["slots"][0];
    EXPECT_EQ(rebuilt["reports"], 0);
    EXPECT_TRUE(rebuilt["last_report_ms_ago"].is_null());
}

TEST_F(AConsoleOnASimulatedBridge, ServesNeitherPageNorStatusWhenTurnedOff) {
    Console off(bridge->dialog(), bridge->pages(), ConsoleSettings{false, true});
    ServerConfig config;
    off.Attach(config);
    EXPECT_FALSE(config.accept_own_origins);
    for (const char* target : {"/", "/index.html", "/status"})
        EXPECT_EQ(config.http_handler(HttpRequest{"GET", target, self}).status, 404) << target;

    const char* argv[] = {"orvex-bridge", "--no-console"};
    Options options;
    ASSERT_EQ(ParseOptions(2, const_cast<char**>(argv), &options), ParseOutcome::Run);
    EXPECT_FALSE(options.console);
}

class AServerWithAllowedOrigins : public ::testing::Test {
protected:
    uint16_t Start(bool ownOrigins, uint16_t wanted = 0) {
        ServerConfig config;
        config.port = wanted;
        config.quiet = true;
        config.allowed_origins = {"https://pages.example"};
        config.accept_own_origins = ownOrigins;
        std::string error;
        EXPECT_TRUE(server.Start(config, target, &error)) << error;
        return server.port();
    }
    int Handshake(uint16_t port, const std::string& origin) {
        WsClient page(port, origin);
        return page.Connect() ? 101 : page.HandshakeStatus();
    }
    RecordingTarget target;
    WebSocketServer server;
};

TEST_F(AServerWithAllowedOrigins, AcceptsTheConsolesOwnOriginsOnlyWhenAskedTo) {
    uint16_t port = Start(true);
    const std::string p = ":" + std::to_string(port);
    EXPECT_EQ(Handshake(port, "https://pages.example"), 101);
    EXPECT_EQ(Handshake(port, "http://127.0.0.1" + p), 101);
    EXPECT_EQ(Handshake(port, "http://localhost" + p), 101);
    EXPECT_EQ(Handshake(port, "http://[::1]" + p), 101);
    EXPECT_EQ(Handshake(port, "http://localhost:" + std::to_string(port + 1)), 403);
    EXPECT_EQ(Handshake(port, "https://localhost" + p), 403);
    EXPECT_EQ(Handshake(port, "http://attacker.example" + p), 403);
    server.Stop();

    port = Start(false);
    EXPECT_EQ(Handshake(port, "http://127.0.0.1:" + std::to_string(port)), 403);
}

TEST_F(AServerWithAllowedOrigins, ListensAgainOnItsPortRightAfterPagesWereOpen) {
    const uint16_t port = Start(false);
    {
        WsClient page(port, "https://pages.example");
        ASSERT_EQ(page.Greeting(), "0304");
        server.close_all_connections();
        ASSERT_TRUE(page.WaitClosed());
    }
    server.Stop();
    // The closed connection's port is in TIME_WAIT now; a restarted bridge
    // must still get it.
    EXPECT_EQ(Start(false, port), port);
}

}  // namespace
}  // namespace orvex::test
