// Family 0x81 acknowledgements through the real open step and reader thread:
// the device's report arrives on the input collection while the command
// pauses, and the reader, not the test, sets the flag.
#include <gtest/gtest.h>

#include "FakeHidDevice.h"
#include "hid/HidDeviceManager.h"
#include "protocol/CommandProtocol.h"
#include "support/Capture.h"
#include "support/Pages.h"
#include "support/RecordingClock.h"

namespace orvex::test {
namespace {

using namespace std::chrono_literals;
using Op = FakeHidDevice::Op;

HidDeviceInfo Entry(uint16_t page, uint16_t usage) {
    HidDeviceInfo info;
    info.path = "/dev/hidraw7";
    info.vendor_id = kOrvexVendorId;
    info.product_id = kProductVireo;
    info.usage_page = page;
    info.usage = usage;
    info.bus_type = kBusUsb;
    info.pairing_key = "/sys/devices/usb1/1-4";
    return info;
}

class AFamily81DeviceWithItsReader : public ::testing::Test {
protected:
    void SetUp() override {
        m_api.Add(Entry(0x000B, 0x0000), m_control);
        m_api.Add(Entry(0x000A, 0x0000), m_input);
        m_hid.OpenHidFamily(0x81);
        // The device's first report gives the slot its id and control handle.
        m_input->QueueInput({0x05, 0x03, 0x00, 0x00, 0x00});
        ASSERT_TRUE(m_broadcasts.WaitForText("81010503000000", 10s));
        const auto targets = m_hid.SelectSlots(0x81, 0x03);
        ASSERT_EQ(targets.size(), 1u);
        ASSERT_TRUE(targets[0].control);
        m_control->ClearCalls();
        m_broadcasts.Clear();
    }

    // The device answers during the pause of attempt `attempt` with status
    // byte `status`; the pause lasts until the reader has taken the report.
    void AnswerDuring(int attempt, uint8_t status) {
        m_clock.SetHook([this, attempt, status](std::chrono::milliseconds, size_t index) {
            if (static_cast<int>(index) + 1 != attempt) return;
            m_input->QueueInput({0x05, 0x03, 0x50, status, 0x00});
            const std::string text = std::string("8101050350") + (status == 0 ? "00" : "01") + "00";
            m_readerTookIt = m_broadcasts.WaitForText(text, 10s);
        });
    }

    LogCapture m_log;
    FakePages m_broadcasts;
    FakeHidApi m_api;
    std::shared_ptr<FakeHidDevice> m_control = std::make_shared<FakeHidDevice>();
    std::shared_ptr<FakeHidDevice> m_input = std::make_shared<FakeHidDevice>();
    SteadyClock m_readerClock;
    RecordingClock m_clock;
    HidDeviceManager m_hid{m_api, m_readerClock, m_broadcasts};
    CommandProtocol m_protocol{m_hid, m_clock, m_broadcasts};
    bool m_readerTookIt = false;
};

std::vector<std::string> Acks(FakePages& capture) {
    std::vector<std::string> acks;
    for (auto& t : capture.Texts())
        if (t.substr(2) == "810101") acks.push_back(t);
    return acks;
}

std::array<uint8_t, 1000> SimpleFrame() {
    std::array<uint8_t, 1000> frame{};
    const uint8_t bytes[] = {0x81, 0x03, 0x01, 0x03, 0x44};
    std::copy(std::begin(bytes), std::end(bytes), frame.begin());
    return frame;
}

struct Case {
    const char* name;
    int attempt;
    uint8_t status;
    size_t sends;
    bool acknowledged;
};

class AnAcknowledgement : public AFamily81DeviceWithItsReader, public ::testing::WithParamInterface<Case> {};

TEST_P(AnAcknowledgement, EndsTheAttemptsAsTheReaderRecordsIt) {
    const auto& c = GetParam();
    AnswerDuring(c.attempt, c.status);
    m_protocol.HandleDeviceCommand(SimpleFrame().data());
    if (c.attempt > 0) {
        EXPECT_TRUE(m_readerTookIt);
    }
    EXPECT_EQ(m_control->Calls(Op::SendFeature).size(), c.sends);
    EXPECT_EQ(Acks(m_broadcasts), c.acknowledged ? std::vector<std::string>{"03810101"} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Acknowledgements, AnAcknowledgement,
                         ::testing::Values(Case{"InAttemptOne", 1, 0, 1, true}, Case{"InAttemptFive", 5, 0, 5, true},
                                           Case{"InAttemptTen", 10, 0, 10, true}, Case{"Never", 0, 0, 10, false},
                                           Case{"WithNonZeroStatus", 3, 1, 10, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AFamily81DeviceWithItsReader, ForgetsAnAcknowledgementThatCameBeforeTheCommand) {
    m_input->QueueInput({0x05, 0x03, 0x50, 0x00, 0x00});
    ASSERT_TRUE(m_broadcasts.WaitForText("81010503500000", 10s));
    ASSERT_EQ(m_hid.m_bAcked81[0].load(), 1);
    m_protocol.HandleDeviceCommand(SimpleFrame().data());
    EXPECT_EQ(m_control->Calls(Op::SendFeature).size(), 10u);
    EXPECT_TRUE(Acks(m_broadcasts).empty());
}

TEST_F(AFamily81DeviceWithItsReader, TakesASuccessThatFollowsARefusalInTheSameAttempt) {
    m_clock.SetHook([this](std::chrono::milliseconds, size_t index) {
        if (index != 1) return;
        m_input->QueueInput({0x05, 0x03, 0x50, 0x01, 0x00});
        m_input->QueueInput({0x05, 0x03, 0x50, 0x00, 0x00});
        m_readerTookIt = m_broadcasts.WaitForText("81010503500000", 10s);
    });
    m_protocol.HandleDeviceCommand(SimpleFrame().data());
    EXPECT_TRUE(m_readerTookIt);
    EXPECT_EQ(m_control->Calls(Op::SendFeature).size(), 2u);
    EXPECT_EQ(Acks(m_broadcasts), (std::vector<std::string>{"03810101"}));
}

}  // namespace
}  // namespace orvex::test
