// The WebSocket server driven by real clients over loopback.
#include "bridge/server.h"

#include <atomic>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>


#include "support/Capture.h"
#include "support/Process.h"
#include "support/WsClient.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using test::WsClient;

// Records every frame routed to the device side.
class RecordingTarget final : public CommandTarget {
public:
    struct Frame {
        bool query;
        std::vector<uint8_t> bytes;  // the whole 1000-byte buffer
    };
    int HandleDeviceQuery(const uint8_t* frame) override { return Record(true, frame); }
    int HandleDeviceCommand(const uint8_t* frame) override { return Record(false, frame); }
    std::vector<Frame> Frames() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    bool WaitForFrames(size_t n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, 5s, [&] { return m_frames.size() >= n; });
    }

private:
    int Record(bool query, const uint8_t* frame) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.push_back(Frame{query, std::vector<uint8_t>(frame, frame + COMMAND_BUFFER_SIZE)});
        m_cv.notify_all();
        return 0;
    }
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Frame> m_frames;
};

class ARunningServer : public ::testing::Test {
protected:
    void SetUp() override { Start(ServerConfig{}); }
    void TearDown() override {
        close_all_connections();
        stop_server();
        g_main_dialog = nullptr;
    }
    void Start(ServerConfig config) {
        config.address = "127.0.0.1";
        config.port = 0;
        config.quiet = true;
        g_main_dialog = &target;
        std::string error;
        ASSERT_TRUE(start_server(config, &error)) << error;
        port = server_port();
        ASSERT_NE(port, 0);
    }
    std::unique_ptr<WsClient> Connect(const std::string& origin = "") {
        auto client = std::make_unique<WsClient>(port, origin);
        EXPECT_TRUE(client->Connect());
        EXPECT_TRUE(client->WaitForMessages(1));  // the greeting
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
    RecordingTarget target;
    uint16_t port = 0;
};

TEST_F(ARunningServer, GreetsEveryPageWithItsFirstMessage) {
    WsClient page(port);
    ASSERT_TRUE(page.Connect());
    ASSERT_TRUE(page.WaitForMessages(1));
    EXPECT_EQ(page.Messages().front(), "0304");
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
    EXPECT_EQ(open_connection_count(), 1u);
}

TEST_F(ARunningServer, KeepsEachThreadsOrderAndOneCommonOrderUnderConcurrentBroadcasts) {
    auto a = Connect();
    auto b = Connect();
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
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
    test::BroadcastCapture sent;
    broadcast_text("8101000000000000");
    EXPECT_EQ(open_connection_count(), 0u);
    EXPECT_EQ(sent.Texts().size(), 1u);
    close_all_connections();  // nothing to close either
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
    const std::vector<std::pair<bool, std::vector<uint8_t>>> expected = {
        {true, {0xF0, 0x83, 0x0A, 0x0C, 0x00}},
        {true, {0xF0}},
        {false, {0x81, 0x03}},
        {false, {}},
        {false, {0x81, 0x02, 0x09, 0x0F}},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(frames[i].query, expected[i].first) << "frame " << i;
        std::vector<uint8_t> full(COMMAND_BUFFER_SIZE, 0);
        std::copy(expected[i].second.begin(), expected[i].second.end(), full.begin());
        EXPECT_EQ(frames[i].bytes, full) << "frame " << i;
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
    EXPECT_EQ(target.Frames()[0].bytes, expected);
    EXPECT_EQ(target.Frames()[1].bytes, expected);
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
    EXPECT_EQ(target.Frames()[0].bytes[0], 0x7F);
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
    EXPECT_EQ(target.Frames()[before].bytes, std::vector<uint8_t>(COMMAND_BUFFER_SIZE, 0x11));
}

TEST_F(ARunningServer, ClosesEveryPageWithNormalClosureAndAnEmptyReason) {
    auto a = Connect();
    auto b = Connect();
    close_all_connections();
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

TEST(AServerThatCannotListen, ReportsAddressPortAndErrorAndStartsNothing) {
    test::TakenPort blocker;
    ASSERT_NE(blocker.port(), 0);
    const uint16_t taken = blocker.port();

    ServerConfig config;
    config.port = taken;
    config.quiet = true;
    std::string error;
    EXPECT_FALSE(start_server(config, &error));
    EXPECT_NE(error.find("127.0.0.1"), std::string::npos) << error;
    EXPECT_NE(error.find(std::to_string(taken)), std::string::npos) << error;
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    stop_server();  // nothing to stop

    // The same process can serve afterwards.
    config.port = 0;
    ASSERT_TRUE(start_server(config, &error)) << error;
    WsClient page(server_port());
    EXPECT_TRUE(page.Connect());
    close_all_connections();
    stop_server();
}

}  // namespace
}  // namespace orvex
