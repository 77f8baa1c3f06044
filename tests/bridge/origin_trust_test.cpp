// Pages of origins the user has not trusted, through the real server over
// loopback: held without greeting or texts until the answer, their frames run
// in order after Allow, closed with 1008 after Deny or the time-out.
#include <gtest/gtest.h>

#include "bridge/OriginTrust.h"
#include "bridge/WebSocketServer.h"
#include "support/Capture.h"
#include "support/Pages.h"
#include "support/WsClient.h"

namespace orvex::test {
namespace {

const std::string kSite = "https://pages.example";

class AServerThatAsks : public ::testing::Test {
protected:
    void Start(OriginPolicy policy, std::vector<std::string> fixed = {},
               std::chrono::milliseconds timeout = std::chrono::seconds(60), size_t maxPages = 64) {
        trust = std::make_unique<OriginTrust>(policy, std::move(fixed), timeout);
        trust->SetAsker(asker);
        trust->SetPages(&server);
        ServerConfig config;
        config.port = 0;
        config.max_pages = maxPages;
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
    // The HTTP status of a handshake that fails (0 when it opens).
    int Refused(const std::string& origin) {
        WsClient page(server.port(), origin);
        page.Connect();
        return page.HandshakeStatus();
    }
    size_t Lines(const std::string& line) {
        size_t n = 0;
        for (const std::string& diag : log.Diags()) n += diag == line;
        return n;
    }

    LogCapture log;
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
    // Reconnecting does not ask again, and gets no WebSocket: one line a
    // minute says why, however often the page tries.
    EXPECT_EQ(Refused(kSite), 403);
    EXPECT_EQ(Refused("HTTPS://pages.example:443"), 403);
    EXPECT_EQ(Lines("page origin " + kSite + " refused (403): denied by the user"), 1u);
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

    // After a time-out its pages may wait again, listed in the console, but
    // the desktop is not asked again for a while.
    auto quiet = Page(kSite);
    ASSERT_TRUE(quiet->WaitClosed());
    EXPECT_EQ(asker->Events().size(), 4u);
    EXPECT_EQ(Lines("page origin " + kSite + " waits for the user: allow or deny it with orvex-bridge --trust ORIGIN"),
              1u);
}

TEST_F(AServerThatAsks, KeepsHeldPagesWithinTheirBudgetsApartFromTheServedPages) {
    const std::string trusted = "https://config.example";
    Start(OriginPolicy::Ask, {trusted}, std::chrono::seconds(60), 1);
    std::vector<std::unique_ptr<WsClient>> held;
    // Four pages of one origin wait; its fifth is turned away and counted.
    for (int i = 0; i < 4; ++i) held.push_back(Page(kSite));
    EXPECT_EQ(Refused(kSite), 503);
    EXPECT_EQ(trust->Snap().pending[0].turned_away, 1u);
    // Sixteen wait in all; a new origin beyond them is not asked about.
    for (const char* other : {"https://b.example", "https://c.example", "https://d.example"})
        for (int i = 0; i < 4; ++i) held.push_back(Page(other));
    EXPECT_EQ(Refused("https://e.example"), 503);
    EXPECT_EQ(trust->Snap().pending.size(), 4u);
    EXPECT_EQ(asker->Events().size(), 4u);
    EXPECT_EQ(Lines("page origin https://e.example turned away (503): 16 pages wait for the user already"), 1u);
    // None of them takes the place of the one page served (--max-pages 1).
    WsClient config(server.port(), trusted);
    EXPECT_EQ(config.Greeting(), "0304");
    EXPECT_EQ(Refused(""), 503);
}

TEST_F(AServerThatAsks, AsksAboutEightOriginsAtOnceAndTheNinthOnceOneIsAnswered) {
    Start(OriginPolicy::Ask);
    std::vector<std::unique_ptr<WsClient>> held;
    for (int i = 0; i < 8; ++i) held.push_back(Page("https://" + std::to_string(i) + ".example"));
    EXPECT_EQ(Refused("https://8.example"), 503);
    ASSERT_EQ(asker->Events().size(), 8u);
    trust->Decide("https://0.example", OriginDecision::Deny);
    ASSERT_TRUE(held[0]->WaitClosed());
    held.push_back(Page("https://8.example"));
    ASSERT_TRUE(asker->WaitForEvents(10));
    EXPECT_EQ(asker->Events().back(), "ask https://8.example");
}

TEST_F(AServerThatAsks, KeepsSixtyFourFramesOfAtMostOneCommandEachForAHeldPage) {
    Start(OriginPolicy::Ask);
    auto page = Page(kSite);
    for (int i = 0; i < 63; ++i) page->SendText("8101");
    page->SendText("8102" + std::string(kMaxCommandText - 4, '0'));
    auto longer = Page(kSite);
    longer->SendText(std::string(kMaxCommandText + 2, '0'));
    ASSERT_TRUE(longer->WaitClosed());
    EXPECT_EQ(longer->CloseCode(), 1009);
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
        {OriginPolicy::Listed, {kSite}, "", 0},
        {OriginPolicy::Listed, {"HTTPS://Pages.Example:443/"}, kSite.c_str(), 0},
        {OriginPolicy::Listed, {kSite}, "https://PAGES.example:443", 0},
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

TEST(AnOrigin, IsComparedAsBrowsersSendIt) {
    const std::pair<const char*, const char*> cases[] = {
        {"https://pages.example", "https://pages.example"},
        {"HTTPS://Pages.Example/", "https://pages.example"},
        {"https://pages.example:443", "https://pages.example"},
        {"http://pages.example:80", "http://pages.example"},
        {"http://pages.example:443", "http://pages.example:443"},
        {"http://localhost:08080", "http://localhost:8080"},
        {"http://[::1]:10086", "http://[::1]:10086"},
        {"chrome-extension://abcdef", "chrome-extension://abcdef"},
        {"", nullptr},
        {"null", nullptr},
        {"pages.example", nullptr},
        {"https://", nullptr},
        {"https://pages.example//", nullptr},
        {"https://a.example:99999", nullptr},
        {"https://a.example:", nullptr},
        {"https://user@a.example", nullptr},
        {"https://a.example/x", nullptr},
        {"https://a.example?x", nullptr},
        {"https://a b", nullptr},
        {" https://a.example", nullptr},
        {"http://[::1", nullptr},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(NormaliseOrigin(text).value_or("(none)"), expected ? expected : "(none)") << text;
}

}  // namespace
}  // namespace orvex::test
