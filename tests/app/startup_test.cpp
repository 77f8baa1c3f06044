// Start-up order and the hid_init failure path of the main loop object.
#include "app/COrvexDlg.h"

#include <gtest/gtest.h>

#include "support/Capture.h"
#include "support/Pages.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;

// Records the order in which start-up reaches the seams.
struct StartupRecorder {
    std::vector<std::string> calls;
};

class RecordingMonitor final : public DeviceMonitor {
public:
    explicit RecordingMonitor(StartupRecorder& r) : m_r(r) {}
    bool start(boost::asio::io_context&, Handler) override {
        m_r.calls.push_back("monitor");
        return true;
    }
    void stop() override { m_r.calls.push_back("monitor-stop"); }

private:
    StartupRecorder& m_r;
};

class RecordingHid final : public HidApi {
public:
    RecordingHid(StartupRecorder& r, int initResult, test::FakePages& pages)
        : m_r(r), m_init(initResult), m_pages(pages) {}
    int init() override {
        m_r.calls.push_back("hid_init");
        return m_init;
    }
    std::vector<HidDeviceInfo> enumerate(uint16_t vendor, uint16_t product) override {
        char text[32];
        std::snprintf(text, sizeof text, "enumerate %04x:%04x%s", vendor, product,
                      m_pages.Events().empty() ? "" : " (server up)");
        m_r.calls.push_back(text);
        return {};
    }
    std::shared_ptr<HidDevice> open(const HidDeviceInfo&, HidOpenError* error) override {
        if (error) *error = HidOpenError::Other;
        return nullptr;
    }

private:
    StartupRecorder& m_r;
    int m_init;
    test::FakePages& m_pages;
};

ServerConfig LoopbackAnyPort() {
    ServerConfig config;
    config.port = 0;
    config.quiet = true;
    return config;
}

TEST(StartUp, WatchesDevicesThenInitialisesHidThenOpensFamiliesInOrderThenServes) {
    StartupRecorder recorder;
    test::FakePages pages;
    RecordingMonitor monitor(recorder);
    RecordingHid hid(recorder, 0, pages);
    SteadyClock clock;
    boost::asio::io_context loop;
    {
        COrvexDlg dialog(loop, Backends{hid, &monitor, nullptr, clock}, pages);
        std::string error;
        ASSERT_EQ(dialog.OnInitDialog(LoopbackAnyPort(), &error), COrvexDlg::InitResult::Running) << error;
        EXPECT_EQ(pages.Events(), std::vector<std::string>{"start"});
        dialog.OnDestroy();
        // The pages are asked to close before the server ends.
        EXPECT_EQ(pages.Events(), (std::vector<std::string>{"start", "close-all", "stop"}));
    }
    // 0x81 (product 0xFA60), 0x82 and 0x83 (0xFA65), then 0x85 and 0x80 (every
    // product), all before the server listens.
    const std::vector<std::string> expected = {
        "monitor",           "hid_init",          "enumerate 1d57:fa60", "enumerate 1d57:fa65",
        "enumerate 1d57:fa65", "enumerate 1d57:0000", "enumerate 1d57:0000", "monitor-stop",
    };
    // BLE discovery may enumerate vendor 0x045E after the HID families.
    std::vector<std::string> hidCalls;
    for (const auto& call : recorder.calls)
        if (call.find("045e") == std::string::npos) hidCalls.push_back(call);
    EXPECT_EQ(hidCalls, expected);
}

TEST(StartUp, StaysAliveWithoutFamiliesOrServerWhenHidCannotInitialise) {
    StartupRecorder recorder;
    test::FakePages pages;
    RecordingHid hid(recorder, -1, pages);
    SteadyClock clock;
    boost::asio::io_context loop;
    COrvexDlg dialog(loop, Backends{hid, nullptr, nullptr, clock}, pages);
    std::string error;
    EXPECT_EQ(dialog.OnInitDialog(LoopbackAnyPort(), &error), COrvexDlg::InitResult::HidInitFailed);
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(dialog.server_running());
    EXPECT_EQ(recorder.calls, std::vector<std::string>{"hid_init"});
    dialog.OnDestroy();
    EXPECT_EQ(pages.Events(), std::vector<std::string>{"close-all"});
}

}  // namespace
}  // namespace orvex
