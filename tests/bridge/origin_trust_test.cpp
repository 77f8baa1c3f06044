// Pages of origins the user has not trusted, through the real server over
// loopback: held without greeting or texts until the answer, their frames run
// in order after Allow, closed with 1008 after Deny or the time-out.
#include <gtest/gtest.h>

#include "bridge/OriginTrust.h"
#include "bridge/WebSocketServer.h"
#include "support/Pages.h"
#include "support/WsClient.h"

namespace orvex::test {
namespace {

const std::string kSite = "https://pages.example";

class AServerThatAsks : public ::testing::Test {
protected:
    void Start(OriginPolicy policy, std::vector<std::string> fixed = {},
               std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        trust = std::make_unique<OriginTrust>(policy, std::move(fixed), timeout);
        trust->SetAsker(asker);
        trust->SetPages(&server);
        ServerConfig config;
        config.port = 0;
        config.quiet = true;
        config.origin_gate = trust.get();
        std::string error;
        ASSERT_TRUE(server.Start(config, target, &error)) << error;
    }
    void TearDown() override {
        if (trust) trust->SetPages(nullptr);
        server.Stop();
    }
    std::unique_ptr<WsClient> Page(const std::string& origin) {
        auto page = std::make_unique<WsClient>(server.port(), origin);
        EXPECT_TRUE(page->Connect()) << origin;
        return page;
    }

    std::shared_ptr<RecordingAsker> asker = std::make_shared<RecordingAsker>();
    std::unique_ptr<OriginTrust> trust;
    RecordingTarget target;
    WebSocketServer server;
};

TEST_F(AServerThatAsks, HoldsAnUntrustedPageUntilAllowedThenGreetsItAndRunsItsFramesInOrder) {
    Start(OriginPolicy::Ask);
    auto held = Page(kSite);
    auto second = Page(kSite);
    held->SendText("8101");
    held->SendText("8102");
    // A program without an Origin header is served meanwhile.
    auto local = Page("");
    ASSERT_TRUE(local->WaitForMessages(1));
    local->SendText("8103");
    ASSERT_TRUE(target.WaitForFrames(1));
    server.broadcast("0501");
    ASSERT_TRUE(local->WaitForMessages(2));
    EXPECT_EQ(asker->Events(), std::vector<std::string>{"ask " + kSite});  // one question for both pages
    ASSERT_EQ(trust->Snap().pending.size(), 1u);
    EXPECT_EQ(trust->Snap().pending[0].pages, 2u);
    EXPECT_EQ(target.Frames().size(), 1u);
    EXPECT_TRUE(held->Messages().empty());

    trust->Decide(kSite, OriginDecision::Allow);
    ASSERT_TRUE(target.WaitForFrames(3));
    EXPECT_EQ(target.Frames()[1][1], 0x01);
    EXPECT_EQ(target.Frames()[2][1], 0x02);
    EXPECT_EQ(target.Pages()[1], target.Pages()[2]);
    server.broadcast("0502");
    ASSERT_TRUE(held->WaitForMessages(2));
    EXPECT_EQ(held->Messages(), (std::vector<std::string>{"0304", "0502"}));
    ASSERT_TRUE(second->WaitForMessages(2));
    EXPECT_EQ(asker->Events().back(), "withdraw " + kSite);
    EXPECT_TRUE(trust->Snap().pending.empty());
    // Trusted now: a new page is greeted at once.
    EXPECT_TRUE(Page(kSite)->WaitForMessages(1));
    // Removed: its pages lose the devices.
    trust->Decide(kSite, OriginDecision::Forget);
    ASSERT_TRUE(held->WaitClosed());
    EXPECT_EQ(held->CloseCode(), 1008);
}

TEST_F(AServerThatAsks, ClosesHeldPagesWith1008OnDenyOrTimeOutAndRemembersOnlyTheDenial) {
    Start(OriginPolicy::Ask, {}, std::chrono::milliseconds(300));
    auto denied = Page(kSite);
    denied->SendText("8101");
    ASSERT_TRUE(asker->WaitForEvents(1));
    trust->Decide(kSite, OriginDecision::Deny);
    ASSERT_TRUE(denied->WaitClosed());
    EXPECT_EQ(denied->CloseCode(), 1008);
    EXPECT_EQ(denied->CloseReason(), "origin not trusted");
    // Reconnecting does not ask again.
    auto again = Page(kSite);
    ASSERT_TRUE(again->WaitClosed());
    EXPECT_EQ(again->CloseCode(), 1008);
    EXPECT_EQ(asker->Events(), (std::vector<std::string>{"ask " + kSite, "withdraw " + kSite}));
    EXPECT_EQ(trust->Snap().denied, std::vector<std::string>{kSite});

    // Forgotten, it is asked about again, and nobody answers in time.
    trust->Decide(kSite, OriginDecision::Forget);
    auto unanswered = Page(kSite);
    ASSERT_TRUE(unanswered->WaitClosed());
    EXPECT_EQ(unanswered->CloseCode(), 1008);
    EXPECT_EQ(unanswered->CloseReason(), "origin not trusted");
    ASSERT_TRUE(asker->WaitForEvents(4));
    EXPECT_EQ(asker->Events()[3], "withdraw " + kSite);
    EXPECT_TRUE(unanswered->Messages().empty());
    EXPECT_TRUE(target.Frames().empty());
    EXPECT_TRUE(trust->Snap().denied.empty());
}

TEST_F(AServerThatAsks, ClosesAHeldPageAtItsSixtyFifthFrame) {
    Start(OriginPolicy::Ask);
    auto page = Page(kSite);
    for (int i = 0; i < 64; ++i) page->SendText("8101");
    EXPECT_FALSE(page->WaitClosed(std::chrono::milliseconds(300)));
    page->SendText("8101");
    ASSERT_TRUE(page->WaitClosed());
    EXPECT_EQ(page->CloseCode(), 1008);
    EXPECT_TRUE(target.Frames().empty());
}

TEST(AnOriginPolicy, AnswersEachHandshakeAsTheUserWouldExpect) {
    struct Case {
        OriginPolicy policy;
        std::vector<std::string> fixed;
        const char* origin;  // "" sends no Origin header
        int status;          // 0: the page opens and is greeted
    };
    const Case cases[] = {
        {OriginPolicy::Ask, {}, "", 0},
        {OriginPolicy::Ask, {}, "null", 403},
        {OriginPolicy::Ask, {"null"}, "null", 0},
        {OriginPolicy::Ask, {kSite}, kSite.c_str(), 0},
        {OriginPolicy::Ask, {}, "https://pages.example/<b>Allow</b>", 403},
        {OriginPolicy::Listed, {kSite}, kSite.c_str(), 0},
        {OriginPolicy::Listed, {kSite}, "https://other.example", 403},
        {OriginPolicy::Listed, {kSite}, "", 403},
        {OriginPolicy::Listed, {}, "null", 403},
        {OriginPolicy::Any, {}, "https://other.example", 0},
        {OriginPolicy::Any, {}, "null", 0},
    };
    for (const Case& c : cases) {
        OriginTrust trust(c.policy, c.fixed, std::chrono::seconds(60));
        WebSocketServer server;
        RecordingTarget target;
        ServerConfig config;
        config.port = 0;
        config.quiet = true;
        config.origin_gate = &trust;
        std::string error;
        ASSERT_TRUE(server.Start(config, target, &error)) << error;
        WsClient page(server.port(), c.origin);
        const bool opened = page.Connect();
        EXPECT_EQ(opened, c.status == 0) << OriginPolicyName(c.policy) << " " << c.origin;
        EXPECT_EQ(page.HandshakeStatus(), c.status) << OriginPolicyName(c.policy) << " " << c.origin;
        if (opened) {
            EXPECT_TRUE(page.WaitForMessages(1)) << c.origin;
            page.Close();
            page.WaitClosed();
        }
        server.Stop();
    }
}

TEST(AnOrigin, IsSchemeHostAndPortExactlyAsBrowsersSendIt) {
    for (const char* good : {"https://pages.example", "http://localhost:8080", "http://[::1]:10086",
                             "chrome-extension://abcdef", "http://127.0.0.1"})
        EXPECT_TRUE(IsOriginText(good)) << good;
    for (const char* bad : {"", "null", "pages.example", "https://", "https://pages.example/", "HTTPS://a.example",
                            "https://Pages.example", "https://a.example:99999", "https://a.example:",
                            "https://user@a.example", "https://a.example/x", "https://a b", "http://[::1"})
        EXPECT_FALSE(IsOriginText(bad)) << bad;
}

}  // namespace
}  // namespace orvex::test
