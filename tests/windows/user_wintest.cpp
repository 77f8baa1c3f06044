// One bridge per signed-in user on Windows, under Wine in CI: the session
// followed through the hidden main window, and the owner of a loopback page.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <wtsapi32.h>

#include <boost/asio/io_context.hpp>
#include <chrono>

#include "app/BridgeRun.h"
#include "platform/Native.h"
#include "platform/windows/ProcessControl.h"
#include "platform/windows/TcpOwners.h"
#include "platform/windows/WinSession.h"
#include "sim/Devices.h"
#include "support/Fakes.h"
#include "windows/Wine.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// Runs the loop on this thread until done holds; false after the time-out.
bool RunLoopUntil(boost::asio::io_context& loop, const std::function<bool()>& done) {
    const auto deadline = Steady::now() + 20s;
    while (!done()) {
        if (Steady::now() >= deadline) return false;
        loop.restart();
        loop.run_for(20ms);
    }
    return true;
}

struct Winsock {
    Winsock() { WSAStartup(MAKEWORD(2, 2), &data); }
    ~Winsock() { WSACleanup(); }
    WSADATA data;
};

// A loopback connection of this process: the listener's accepted end and the
// connecting end, with its port.
struct LoopbackConnection {
    SOCKET listener = INVALID_SOCKET, client = INVALID_SOCKET, accepted = INVALID_SOCKET;
    uint16_t clientPort = 0;
    explicit LoopbackConnection(int family) {
        sockaddr_storage address{};
        int size = 0;
        if (family == AF_INET) {
            auto& v4 = reinterpret_cast<sockaddr_in&>(address);
            v4.sin_family = AF_INET;
            v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            size = sizeof v4;
        } else {
            auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
            v6.sin6_family = AF_INET6;
            v6.sin6_addr = in6addr_loopback;
            size = sizeof v6;
        }
        listener = socket(family, SOCK_STREAM, IPPROTO_TCP);
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener, 1) != 0) return;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        client = socket(family, SOCK_STREAM, IPPROTO_TCP);
        if (connect(client, reinterpret_cast<sockaddr*>(&address), size) != 0) return;
        accepted = accept(listener, nullptr, nullptr);
        getsockname(client, reinterpret_cast<sockaddr*>(&address), &size);
        clientPort = ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);  // sin6_port sits there too
    }
    ~LoopbackConnection() {
        for (SOCKET s : {accepted, client, listener})
            if (s != INVALID_SOCKET) closesocket(s);
    }
};

bool Connects(uint16_t port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    closesocket(s);
    return ok;
}

TEST(TheHiddenMainWindow, StepsTheBridgeAsideWhileItsSessionIsAwayFromTheConsole) {
    Winsock winsock;
    boost::asio::io_context loop;
    StopRequests window(loop);
    HWND hwnd = static_cast<HWND>(HiddenMainWindow());
    ASSERT_NE(hwnd, nullptr);
    WinSession session;
    std::string why;
    ASSERT_TRUE(session.Find(&why)) << why;
    const LPARAM ours = static_cast<LPARAM>(std::stoul(session.id()));

    test::FakeHidApi hid;
    auto mouse = hid.Add(sim::Model("vireo"), R"(\\?\hid#vid_1d57&pid_fa60#1&2&3&4&5#{4d1e55b2})", "5");
    test::FakeClock clock{10ms};
    BridgeSettings settings;
    settings.server.port = 0;
    settings.server.quiet = true;
    settings.console = false;
    settings.session = &session;
    BridgeRun bridge(loop, Backends{hid, nullptr, nullptr, clock, test::ShortTimings()}, settings);
    auto handles = [&] { return mouse[0]->OpenHandles() + mouse[1]->OpenHandles(); };
    ASSERT_EQ(bridge.Start(), BridgeRun::Outcome::Serving);
    const uint16_t port = bridge.pages().port();
    EXPECT_TRUE(Connects(port));

    // Another session's change, then ours: another user's session takes the
    // console (fast user switching).
    PostMessageW(hwnd, WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT, ours + 1);
    PostMessageW(hwnd, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK, ours);
    PostMessageW(hwnd, WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT, ours);
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return !bridge.dialog().server_running(); }));
    EXPECT_FALSE(session.active());
    EXPECT_EQ(handles(), 0);
    EXPECT_FALSE(Connects(port));

    PostMessageW(hwnd, WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT, ours);
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return bridge.dialog().server_running(); }));
    EXPECT_TRUE(session.active());
    EXPECT_GT(handles(), 0);
    EXPECT_TRUE(Connects(bridge.pages().port()));
    bridge.Stop();
}

// Windows refuses a loopback port that another program holds exclusively on
// every interface with "access denied", not "in use": it is waited for all
// the same.
TEST(ABridgeThatMayWaitForItsPort, WaitsForOneHeldExclusivelyOnEveryInterface) {
    Winsock winsock;
    SOCKET holder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL on = TRUE;
    setsockopt(holder, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    int size = sizeof any;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&any), size), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    getsockname(holder, reinterpret_cast<sockaddr*>(&any), &size);

    boost::asio::io_context loop;
    test::FakeHidApi hid;
    test::FakeClock clock;
    BridgeSettings settings;
    settings.server.port = ntohs(any.sin_port);
    settings.server.quiet = true;
    settings.console = false;
    settings.waitForPort = true;
    BridgeRun bridge(loop, Backends{hid, nullptr, nullptr, clock, test::ShortTimings()}, settings);
    ASSERT_EQ(bridge.Start(), BridgeRun::Outcome::Waiting);
    closesocket(holder);
    EXPECT_TRUE(RunLoopUntil(loop, [&] { return bridge.dialog().server_running(); }));
    bridge.Stop();
}

TEST(ThePeerFilter, FindsTheOwnerOfARealLoopbackConnectionAndServesThisUsersPage) {
    Winsock winsock;
    for (int family : {AF_INET, AF_INET6}) {
        LoopbackConnection connection(family);
        ASSERT_NE(connection.accepted, INVALID_SOCKET) << family;
        // The table lists the connecting end, also where it names no process.
        std::vector<TcpRow> rows;
        ASSERT_TRUE(ReadTcpTable(family, false, &rows));
        long listed = 0;
        for (const TcpRow& row : rows) listed += row.local.port == connection.clientPort;
        EXPECT_GE(listed, 1) << family;

        unsigned long pid = 0;
        const PeerLookup lookup = LoopbackPeerProcess(connection.accepted, &pid);
        if (test::RunningUnderWine() && lookup == PeerLookup::Failed) {
            // Wine's table names no processes, not even ours: served with a warning.
        } else {
            EXPECT_EQ(lookup, PeerLookup::Found) << family;
            EXPECT_EQ(pid, GetCurrentProcessId());
        }
        EXPECT_EQ(NativePeerFilter()(static_cast<int>(connection.accepted)), "") << family;
    }
    EXPECT_EQ(UserOfProcess(GetCurrentProcessId()), ProcessUser::Same);
    EXPECT_EQ(UserOfProcess(0xFFFFFFF0u), ProcessUser::Unknown);
}

TEST(APeerLookup, NamesTheProcessOfTheOtherEndOrRefusesWhatItCannotName) {
    const TcpEnd ours{{127, 0, 0, 1}, 10086}, peer{{127, 0, 0, 1}, 50000}, elsewhere{{127, 0, 0, 2}, 50000};
    const unsigned long us = 7;
    struct Case {
        const char* what;
        std::vector<TcpRow> rows;
        PeerLookup lookup;
        unsigned long pid;
    } cases[] = {
        {"peer named", {{ours, peer, us}, {peer, ours, 42}}, PeerLookup::Found, 42},
        {"another connection's end only", {{ours, peer, us}, {elsewhere, ours, 42}}, PeerLookup::NotFound, 0},
        {"peer listed without process", {{ours, peer, us}, {peer, ours, 0}}, PeerLookup::NotFound, 0},
        {"peer gone", {{ours, peer, us}}, PeerLookup::NotFound, 0},
        {"no process named at all", {{ours, peer, 0}, {peer, ours, 0}}, PeerLookup::Failed, 0},
    };
    for (const Case& c : cases) {
        unsigned long pid = 0;
        EXPECT_EQ(FindPeerProcess(c.rows, ours, peer, us, &pid), c.lookup) << c.what;
        EXPECT_EQ(pid, c.pid) << c.what;
    }
}

}  // namespace
}  // namespace orvex
