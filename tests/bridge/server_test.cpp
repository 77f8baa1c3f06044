// The WebSocket server driven by real clients over loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "bridge/WebSocketServer.h"
#include "support/Capture.h"
#include "support/Pages.h"
#include "support/Process.h"
#include "support/WsClient.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using test::WsClient;

class ARunningServer : public ::testing::Test {
protected:
    void SetUp() override { Start(ServerConfig{}); }
    void TearDown() override {
        server.close_all_connections();
        server.Stop();
    }
    void Start(ServerConfig config) {
        config.address = "127.0.0.1";
        config.port = 0;
        config.quiet = true;
        std::string error;
        ASSERT_TRUE(server.Start(config, target, &error)) << error;
        port = server.port();
        ASSERT_NE(port, 0);
    }
    void broadcast_text(const std::string& text) { server.broadcast_text(text); }
    std::unique_ptr<WsClient> Connect(const std::string& origin = "") {
        auto client = std::make_unique<WsClient>(port, origin);
        EXPECT_EQ(client->Greeting(), "0304");
        return client;
    }
    // A round trip through the server thread: once its frame is routed, every
    // earlier message of that client has been handled.
    void Sync(WsClient& client) {
        const size_t before = target.Frames().size();
        client.SendText("7f");
        ASSERT_TRUE(target.WaitForFrames(before + 1));
    }

    test::LogCapture log;
    test::RecordingTarget target;
    WebSocketServer server;
    uint16_t port = 0;
};

TEST_F(ARunningServer, GreetsEveryPageWithItsFirstMessage) {
    WsClient page(port);
    ASSERT_EQ(page.Greeting(), "0304");
    EXPECT_TRUE(log.WaitForLine("Connection opened", 5s));
}

TEST_F(ARunningServer, GreetsFirstEvenWhileReportsAreBeingBroadcast) {
    std::atomic<bool> running{true};
    std::thread reporter([&] {
        while (running) {
            broadcast_text("8101050250000a");
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int i = 0; i < 8; ++i) {
        WsClient page(port);
        ASSERT_TRUE(page.Connect());
        ASSERT_TRUE(page.WaitForMessages(3));
        EXPECT_EQ(page.Messages().front(), "0304") << "page " << i;
        for (size_t k = 1; k < 3; ++k) EXPECT_EQ(page.Messages()[k], "8101050250000a");
    }
    running = false;
    reporter.join();
}

TEST_F(ARunningServer, DeliversEveryBroadcastOnceAndInTheSameOrderToEveryPage) {
    auto a = Connect();
    auto b = Connect();
    broadcast_text("8101010203040a");
    broadcast_text("8100 03");
    broadcast_text("03810101");
    const std::vector<std::string> expected = {"0304", "8101010203040a", "8100 03", "03810101"};
    ASSERT_TRUE(a->WaitForMessages(4));
    ASSERT_TRUE(b->WaitForMessages(4));
    Sync(*a);
    EXPECT_EQ(a->Messages(), expected);
    EXPECT_EQ(b->Messages(), expected);
}

TEST_F(ARunningServer, SendsNothingMoreToAPageThatHasClosed) {
    auto a = Connect();
    auto b = Connect();
    a->Close();
    ASSERT_TRUE(a->WaitClosed());
    ASSERT_TRUE(log.WaitForLine("Connection closed", 5s));
    broadcast_text("8501010203000000");
    ASSERT_TRUE(b->WaitForMessages(2));
    EXPECT_EQ(a->Messages(), std::vector<std::string>{"0304"});
    EXPECT_EQ(server.open_connection_count(), 1u);
}

TEST_F(ARunningServer, KeepsEachThreadsOrderAndOneCommonOrderUnderConcurrentBroadcasts) {
    auto a = Connect();
    auto b = Connect();
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i) broadcast_text(std::to_string(t) + ":" + std::to_string(i));
        });
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(a->WaitForMessages(1 + kThreads * kEach, 20s));
    ASSERT_TRUE(b->WaitForMessages(1 + kThreads * kEach, 20s));
    const auto got = a->Messages();
    EXPECT_EQ(got, b->Messages());
    std::map<int, int> next;
    for (size_t k = 1; k < got.size(); ++k) {
        const auto colon = got[k].find(':');
        const int thread = std::stoi(got[k].substr(0, colon));
        const int index = std::stoi(got[k].substr(colon + 1));
        EXPECT_EQ(index, next[thread]++) << "thread " << thread;
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kEach);
}

TEST_F(ARunningServer, BroadcastWithoutPagesSendsNothing) {
    broadcast_text("8101000000000000");
    EXPECT_EQ(server.open_connection_count(), 0u);
    server.close_all_connections();  // nothing to close either
    EXPECT_EQ(log.CountLine("Send failed: "), 0u);
}

TEST_F(ARunningServer, RoutesByFirstByteIntoAZeroFilledThousandByteBuffer) {
    auto page = Connect();
    page->SendText("F0830a0c00");
    page->SendText("f0");
    page->SendText("8103");
    page->SendText("");
    page->SendBinary("8102090f");  // binary frames with hex text are routed like text
    ASSERT_TRUE(target.WaitForFrames(5));
    const auto frames = target.Frames();
    const std::vector<std::vector<uint8_t>> expected = {
        {0xF0, 0x83, 0x0A, 0x0C, 0x00}, {0xF0}, {0x81, 0x03}, {}, {0x81, 0x02, 0x09, 0x0F},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        std::vector<uint8_t> full(COMMAND_BUFFER_SIZE, 0);
        std::copy(expected[i].begin(), expected[i].end(), full.begin());
        EXPECT_EQ(frames[i], full) << "frame " << i;
    }
    EXPECT_EQ(log.CountLine("Received message: F0830a0c00"), 1u);
    EXPECT_EQ(log.CountLine("Received message: "), 1u);
}

TEST_F(ARunningServer, FillsTheBufferWithExactlyTwoThousandCharactersAndCutsLongerMessages) {
    auto page = Connect();
    std::string full, longer;
    for (int i = 0; i < 1000; ++i) full += "a5";
    longer = full;
    for (int i = 0; i < 200; ++i) longer += "5a";
    page->SendText(full);
    page->SendText(longer);
    ASSERT_TRUE(target.WaitForFrames(2));
    const std::vector<uint8_t> expected(COMMAND_BUFFER_SIZE, 0xA5);
    EXPECT_EQ(target.Frames()[0], expected);
    EXPECT_EQ(target.Frames()[1], expected);
}

TEST_F(ARunningServer, DropsUndecodableMessagesAndGoesOnServingEveryPage) {
    auto a = Connect();
    auto b = Connect();
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"abc", "Decode failed: Hex string must have an even number of characters"},
        {"zz", "Decode failed: invalid stoi argument"},
        {"0x", "Decode failed: invalid stoi argument"},
        {"81zz", "Decode failed: invalid stoi argument"},
    };
    for (const auto& [text, line] : bad) a->SendText(text);
    a->SendBinary(std::string("\x00\xff\x10", 3));
    Sync(*a);
    for (const auto& [text, line] : bad) {
        EXPECT_EQ(log.CountLine("Received message: " + text), 1u) << text;
        EXPECT_GE(log.CountLine(line), 1u) << text;
    }
    // Only the synchronising frame reached the device side.
    ASSERT_EQ(target.Frames().size(), 1u);
    EXPECT_EQ(target.Frames()[0][0], 0x7F);
    broadcast_text("after");
    ASSERT_TRUE(a->WaitForMessages(2));
    ASSERT_TRUE(b->WaitForMessages(2));
    EXPECT_EQ(b->Messages().back(), "after");
    WsClient late(port);
    EXPECT_TRUE(late.Connect());
}

TEST_F(ARunningServer, ClosesOnlyTheConnectionThatSendsAnOversizedFrame) {
    auto a = Connect();
    auto b = Connect();
    a->SendText(std::string(MAX_MESSAGE_SIZE + 2, '0'));
    ASSERT_TRUE(a->WaitClosed());
    EXPECT_EQ(a->CloseCode(), 1009);
    Sync(*b);
    broadcast_text("still-here");
    ASSERT_TRUE(b->WaitForMessages(2));
    EXPECT_EQ(b->Messages().back(), "still-here");
    // A message at the limit is still accepted (and cut to 1000 bytes).
    const size_t before = target.Frames().size();
    b->SendText(std::string(MAX_MESSAGE_SIZE, '1'));
    ASSERT_TRUE(target.WaitForFrames(before + 1));
    EXPECT_EQ(target.Frames()[before], std::vector<uint8_t>(COMMAND_BUFFER_SIZE, 0x11));
}

TEST_F(ARunningServer, ClosesEveryPageWithNormalClosureAndAnEmptyReason) {
    auto a = Connect();
    auto b = Connect();
    server.close_all_connections();
    ASSERT_TRUE(a->WaitClosed());
    ASSERT_TRUE(b->WaitClosed());
    EXPECT_EQ(a->CloseCode(), 1000);
    EXPECT_EQ(b->CloseCode(), 1000);
    EXPECT_EQ(a->CloseReason(), "");
}

class AServerWithAllowedOrigins : public ARunningServer {
protected:
    void SetUp() override {
        ServerConfig config;
        config.allowed_origins = {"http://localhost:8080", "https://config.example"};
        Start(config);
    }
};

TEST_F(AServerWithAllowedOrigins, AcceptsExactOriginsAndAnswersOthersWith403) {
    for (const std::string origin : {"http://localhost:8080", "https://config.example"}) {
        WsClient page(port, origin);
        EXPECT_TRUE(page.Connect()) << origin;
    }
    for (const std::string origin : {"http://evil.example", "http://localhost:8081", "http://localhost:8080/"}) {
        WsClient page(port, origin);
        EXPECT_FALSE(page.Connect()) << origin;
        EXPECT_EQ(page.HandshakeStatus(), 403) << origin;
    }
}

TEST(TwoServers, RunSideBySideInOneProcessEachWithItsOwnPages) {
    test::RecordingTarget targets[2];
    WebSocketServer servers[2];
    std::vector<std::unique_ptr<WsClient>> pages;
    for (int i = 0; i < 2; ++i) {
        ServerConfig config;
        config.port = 0;
        config.quiet = true;
        std::string error;
        ASSERT_TRUE(servers[i].Start(config, targets[i], &error)) << error;
        pages.push_back(std::make_unique<WsClient>(servers[i].port()));
        ASSERT_EQ(pages[i]->Greeting(), "0304");
    }
    servers[0].broadcast_text("first");
    servers[1].broadcast_text("second");
    pages[1]->SendText("8501");
    ASSERT_TRUE(pages[0]->WaitForMessages(2));
    ASSERT_TRUE(pages[1]->WaitForMessages(2));
    ASSERT_TRUE(targets[1].WaitForFrames(1));
    EXPECT_EQ(pages[0]->Messages(), (std::vector<std::string>{"0304", "first"}));
    EXPECT_EQ(pages[1]->Messages(), (std::vector<std::string>{"0304", "second"}));
    EXPECT_TRUE(targets[0].Frames().empty());
    for (auto& server : servers) server.close_all_connections();
}

TEST(AServerThatCannotListen, ReportsAddressPortAndErrorAndStartsNothing) {
    test::TakenPort blocker;
    ASSERT_NE(blocker.port(), 0);
    const uint16_t taken = blocker.port();

    ServerConfig config;
    config.port = taken;
    config.quiet = true;
    std::string error;
    test::RecordingTarget target;
    WebSocketServer server;
    EXPECT_FALSE(server.Start(config, target, &error));
    EXPECT_NE(error.find("127.0.0.1"), std::string::npos) << error;
    EXPECT_NE(error.find(std::to_string(taken)), std::string::npos) << error;
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    server.Stop();  // nothing to stop

    // The same server can serve afterwards.
    config.port = 0;
    ASSERT_TRUE(server.Start(config, target, &error)) << error;
    WsClient page(server.port());
    EXPECT_TRUE(page.Connect());
    server.close_all_connections();
    server.Stop();
}

// Whether [::1] can be bound here (no IPv6 loopback where IPv6 is off).
bool HaveIpv6Loopback() {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

TEST(AServerOnBothLoopbacks, GreetsPagesOnEachAndDoesNotStartWhileAnotherProgramHoldsEither) {
    if (!HaveIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
    ServerConfig config;  // 127.0.0.1 and ::1
    config.port = 0;
    config.quiet = true;
    test::RecordingTarget target;
    WebSocketServer server;
    std::string error;
    ASSERT_TRUE(server.Start(config, target, &error)) << error;
    EXPECT_EQ(server.listening_addresses(), (std::vector<std::string>{"127.0.0.1", "::1"}));
    const uint16_t port = server.port();
    for (const char* host : {"127.0.0.1", "::1"}) {
        WsClient page(port, "", host);
        ASSERT_EQ(page.Greeting(), "0304") << host;
    }
    server.close_all_connections();
    server.Stop();

    // Another program on [::1] alone would receive the pages of browsers
    // that try ::1 first: the port counts as held, and 127.0.0.1 stays free.
    const int other = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(port);
    // The closed pages' connections may wait in TIME_WAIT on this port.
    const int reuse = 1;
    setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    ASSERT_EQ(listen(other, 1), 0);
    config.port = port;
    EXPECT_FALSE(server.Start(config, target, &error));
    EXPECT_TRUE(server.port_taken());
    EXPECT_NE(error.find("::1 port " + std::to_string(port)), std::string::npos) << error;
    const int probe = test::ConnectLoopback(port);
    EXPECT_LT(probe, 0);
    if (probe >= 0) close(probe);
    close(other);
}

TEST(AServerGivenAnAddressThisMachineLacks, ListensOnTheOthersAlone) {
    ServerConfig config;
    config.more_addresses = {"2001:db8::1"};  // documentation prefix: never assigned
    config.port = 0;
    config.quiet = true;
    test::RecordingTarget target;
    WebSocketServer server;
    std::string error;
    ASSERT_TRUE(server.Start(config, target, &error)) << error;
    EXPECT_EQ(server.listening_addresses(), (std::vector<std::string>{"127.0.0.1"}));
    EXPECT_FALSE(server.port_taken());
    WsClient page(server.port());
    EXPECT_TRUE(page.Connect());
    server.close_all_connections();
    server.Stop();
}

}  // namespace
}  // namespace orvex
