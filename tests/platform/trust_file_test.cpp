// The user's trust file and the loopback owner check, on the real file system
// and the real kernel tables.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "bridge/WebSocketServer.h"
#include "platform/TrustFile.h"
#include "platform/linux/PeerUid.h"
#include "support/Capture.h"
#include "support/Pages.h"
#include "support/Process.h"
#include "support/WsClient.h"

namespace orvex::test {
namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ATrustFile, IsEditedInPlaceKeepingCommentsPrivateAndNamesMalformedLines) {
    TempDir home;
    const std::string path = home.path() + "/config/orvex-bridge/trusted-origins";
    std::string error;
    ASSERT_TRUE(EditTrustFile(path, "https://a.example", true, &error)) << error;
    ASSERT_TRUE(EditTrustFile(path, "https://b.example", true, &error)) << error;
    ASSERT_TRUE(EditTrustFile(path, "https://a.example", true, &error)) << error;  // once only
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((home.path() + "/config/orvex-bridge").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // A line typed by hand names the origin as the browser would send it.
    std::ofstream(path, std::ios::app) << "\n# mine\nhttps://c.example/page\n  HTTP://LocalHost:8080/  \n";
    ASSERT_TRUE(EditTrustFile(path, "https://a.example", false, &error)) << error;
    const TrustFileContents contents = ReadTrustFile(path);
    EXPECT_EQ(contents.origins, (std::vector<std::string>{"https://b.example", "http://localhost:8080"}));
    ASSERT_EQ(contents.malformed.size(), 1u);
    EXPECT_EQ(contents.malformed[0].first, 5);  // after the heading, b, a blank line and "# mine"
    EXPECT_NE(Slurp(path).find("# mine\n"), std::string::npos);
    EXPECT_FALSE(ReadTrustFile(home.path() + "/none").exists);
}

TEST(ATrustFile, IsFollowedByARunningServerWithoutARestart) {
    TempDir home;
    const std::string path = home.path() + "/orvex-bridge/trusted-origins";
    TrustFileStore store(path);
    OriginTrust trust(OriginPolicy::Ask, {}, std::chrono::seconds(60));
    trust.SetStore(&store);
    WebSocketServer server;
    trust.SetPages(&server);
    TrustFileWatcher watcher;
    std::string error;
    ASSERT_TRUE(watcher.Start(
        path, [&] { trust.Reload(); }, &error))
        << error;
    RecordingTarget target;
    ServerConfig config;
    config.port = 0;
    config.quiet = true;
    config.origin_gate = &trust;
    ASSERT_TRUE(server.Start(config, target, &error)) << error;

    WsClient held(server.port(), "https://a.example");
    ASSERT_TRUE(held.Connect());
    held.SendText("8101");
    // Written by another program (--trust): the held page goes on.
    ASSERT_TRUE(EditTrustFile(path, "https://a.example", true, &error)) << error;
    ASSERT_TRUE(held.WaitForMessages(1));
    EXPECT_EQ(held.Messages()[0], "0304");
    ASSERT_TRUE(target.WaitForFrames(1));
    // Removed again (--untrust): its pages lose the devices.
    ASSERT_TRUE(EditTrustFile(path, "https://a.example", false, &error)) << error;
    ASSERT_TRUE(held.WaitClosed());
    EXPECT_EQ(held.CloseCode(), 1008);

    // An answer given meanwhile is in the file for the next run.
    trust.Decide("https://b.example", OriginDecision::Allow);
    EXPECT_EQ(ReadTrustFile(path).origins, std::vector<std::string>{"https://b.example"});
    watcher.Stop();
    trust.SetPages(nullptr);
    server.Stop();
}

// One accepted loopback connection of this process: the server side's socket.
struct LoopbackPair {
    int client = -1, server = -1;
    explicit LoopbackPair(bool v6) {
        const int family = v6 ? AF_INET6 : AF_INET;
        const int listener = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage address{};
        socklen_t length;
        if (v6) {
            auto& a = reinterpret_cast<sockaddr_in6&>(address);
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            length = sizeof a;
        } else {
            auto& a = reinterpret_cast<sockaddr_in&>(address);
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof a;
        }
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            client = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(client, reinterpret_cast<sockaddr*>(&address), length) == 0)
                server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        }
        close(listener);
    }
    ~LoopbackPair() {
        if (client >= 0) close(client);
        if (server >= 0) close(server);
    }
};

TEST(ALoopbackPeer, IsFoundOwnedByThisUserOverIPv4AndIPv6ThroughBothKernelTables) {
    for (bool v6 : {false, true}) {
        LoopbackPair pair(v6);
        if (pair.server < 0) {
            EXPECT_TRUE(v6) << "no IPv4 loopback connection";
            continue;  // a machine without ::1
        }
        uid_t byDiag = 99999, byProc = 99999;
        EXPECT_EQ(LoopbackPeerUidByProc(pair.server, &byProc), PeerLookup::Found) << v6;
        EXPECT_EQ(byProc, geteuid());
        const PeerLookup diag = LoopbackPeerUidByDiag(pair.server, &byDiag);
        if (diag != PeerLookup::Failed) {  // netlink sock_diag may be missing in a container
            EXPECT_EQ(diag, PeerLookup::Found) << v6;
            EXPECT_EQ(byDiag, geteuid());
        }
        EXPECT_EQ(ForeignLoopbackPeer(pair.server), "");
    }
}

TEST(ALoopbackPeer, OfAnotherUserIsClosedBeforeAnyByteIsRead) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start a client under another uid";
    WebSocketServer server;
    RecordingTarget target;
    ServerConfig config;
    config.port = 0;
    config.quiet = true;
    config.peer_filter = ForeignLoopbackPeer;
    std::string error;
    ASSERT_TRUE(server.Start(config, target, &error)) << error;
    LogCapture capture;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only system calls here: the parent has threads.
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(3);
        const int fd = ConnectLoopback(server.port());
        if (fd < 0) _exit(4);
        const char request[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n\r\n";
        (void)!write(fd, request, sizeof request - 1);
        char byte;
        const ssize_t n = read(fd, &byte, 1);
        _exit(n <= 0 ? 0 : 5);  // closed without a byte of answer
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // This user's page is served as before.
    WsClient mine(server.port());
    EXPECT_TRUE(mine.Connect());
    EXPECT_TRUE(mine.WaitForMessages(1));
    mine.Close();
    mine.WaitClosed();
    server.Stop();
    const std::vector<std::string> diags = capture.Diags();
    EXPECT_NE(std::find(diags.begin(), diags.end(), "refused a loopback connection (uid 65534, another user)"),
              diags.end())
        << ::testing::PrintToString(diags);
}

}  // namespace
}  // namespace orvex::test
