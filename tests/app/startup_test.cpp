// Start-up order and the hid_init failure path of the main loop object.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/COrvexDlg.h"
#include "sim/Devices.h"
#include "support/Capture.h"
#include "support/Fakes.h"
#include "support/Pages.h"

namespace orvex {
namespace {

using test::Texts;

// The seams write what they are asked to one log, in order.
class AStartingBridge : public ::testing::Test {
protected:
    AStartingBridge() {
        m_pages.onEvent = [this](const std::string& event) { m_log.Add("pages " + event); };
    }
    COrvexDlg::InitResult Start(COrvexDlg& dialog) {
        ServerConfig config;
        config.port = 0;
        config.quiet = true;
        std::string error;
        const auto result = dialog.OnInitDialog(config, &error);
        EXPECT_EQ(result == COrvexDlg::InitResult::Running, error.empty()) << error;
        return result;
    }
    // BLE discovery may enumerate vendor 0x045E after the HID families.
    Texts HidLog() {
        Texts lines;
        for (const auto& line : m_log.Lines())
            if (line.find("045e") == std::string::npos) lines.push_back(line);
        return lines;
    }

    test::CallLog m_log;
    test::FakePages m_pages;
    test::FakeMonitor m_monitor{&m_log};
    test::FakeHidApi m_hid{&m_log};
    test::FakeClock m_clock;
    boost::asio::io_context m_loop;
};

TEST_F(AStartingBridge, WatchesDevicesThenInitialisesHidThenOpensFamiliesInOrderThenServes) {
    {
        COrvexDlg dialog(m_loop, Backends{m_hid, &m_monitor, nullptr, m_clock}, m_pages);
        ASSERT_EQ(Start(dialog), COrvexDlg::InitResult::Running);
        dialog.OnDestroy();
    }
    // 0x81 (product 0xFA60), 0x82 and 0x83 (0xFA65), then 0x85 and 0x80 (every
    // product), all before the server listens; at the end device changes stop
    // first, and the pages are asked to close before the server ends.
    EXPECT_EQ(HidLog(), (Texts{"monitor start", "init", "enumerate 1d57:fa60", "enumerate 1d57:fa65",
                               "enumerate 1d57:fa65", "enumerate 1d57:0000", "enumerate 1d57:0000", "pages start",
                               "monitor stop", "pages close-all", "pages stop"}));
}

TEST_F(AStartingBridge, StaysAliveWithoutFamiliesOrServerWhenHidCannotInitialise) {
    m_hid.initResult = -1;
    COrvexDlg dialog(m_loop, Backends{m_hid, nullptr, nullptr, m_clock}, m_pages);
    EXPECT_EQ(Start(dialog), COrvexDlg::InitResult::HidInitFailed);
    EXPECT_FALSE(dialog.server_running());
    dialog.OnDestroy();
    EXPECT_EQ(m_log.Lines(), (Texts{"init", "pages close-all"}));
}

TEST_F(AStartingBridge, StepsAsideClosingPagesWith1001AndEveryHandleThenStartsUpAgain) {
    auto mouse = m_hid.Add(sim::Model("vireo"), "/dev/hidraw3", "vireo");
    COrvexDlg dialog(m_loop, Backends{m_hid, &m_monitor, nullptr, m_clock}, m_pages);
    ASSERT_EQ(Start(dialog), COrvexDlg::InitResult::Running);
    EXPECT_GT(mouse[0]->OpenHandles() + mouse[1]->OpenHandles(), 0);

    m_log.Clear();
    dialog.Suspend();
    EXPECT_EQ(m_log.Lines(), (Texts{"monitor stop", "pages close-all 1001", "pages stop"}));
    EXPECT_EQ(mouse[0]->OpenHandles() + mouse[1]->OpenHandles(), 0);
    EXPECT_FALSE(dialog.server_running());

    // The library stays initialised; the rest runs as at start-up.
    m_log.Clear();
    std::string error;
    ASSERT_EQ(dialog.StartDevices(&error), COrvexDlg::InitResult::Running) << error;
    ASSERT_TRUE(dialog.StartServer(ServerConfig{}, &error)) << error;
    const Texts log = HidLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "monitor start");
    EXPECT_EQ(log.back(), "pages start");
    EXPECT_EQ(std::count(log.begin(), log.end(), "init"), 0);
    EXPECT_GT(mouse[0]->OpenHandles() + mouse[1]->OpenHandles(), 0);
    dialog.OnDestroy();
}

}  // namespace
}  // namespace orvex
