// Family commands to fake devices: what each device gets, the pauses
// between, and family 0x81's acknowledgements as its reader records them.
#include <gtest/gtest.h>

#include "ProtocolFixture.h"
#include "protocol/Packets.h"

namespace orvex::test {
namespace {

struct PacingCase {
    const char* name;
    std::string frame;  // device id 7 throughout
    int rejections;     // feature sends refused before one is taken; -1: all
    Events timeline;
};

class ACommand : public ProtocolTest, public ::testing::WithParamInterface<PacingCase> {};

TEST_P(ACommand, ReachesItsDeviceWithTheExpectedReportsAndPauses) {
    const auto& c = GetParam();
    const uint8_t family = FromHex(c.frame.substr(0, 2))[0];
    // A frame of an unknown family finds a family 0x80 device with its id.
    const bool known = family >= 0x80 && family <= 0x85 && family != 0x84;
    auto device = Place(known ? family : 0x80, 0x07);
    int refusals = c.rejections;
    device->onSendFeature = [&](const Bytes& b) { return Note("send", b, refusals-- != 0 ? -1 : 0); };
    // Family 0x81's device acknowledges during the first attempt.
    if (family == 0x81)
        m_duringSleep = [&](size_t index) {
            if (index == 0) {
                EXPECT_TRUE(Report(device, {0x05, 0x07, 0x50, 0x00, 0x00}));
            }
        };
    Command(c.frame);
    EXPECT_EQ(Timeline(), c.timeline);
}

const Events k80Simple = {"send 4 0504aabb", "sleep 500"};

INSTANTIATE_TEST_SUITE_P(
    Commands, ACommand,
    ::testing::Values(
        PacingCase{"Family80SimpleIsOneReportOfLengthL", "80070504aabbccdd", 0, k80Simple},
        PacingCase{"Family80SimpleIsSentAgainWhileRefused",
                   "80070502aa",
                   2,
                   {"send 2 0502", "send 2 0502", "send 2 0502", "sleep 500"}},
        PacingCase{"Family80SimpleGivesUpAfterTenRefusals",
                   "80070502aa",
                   -1,
                   {"send 2 0502", "send 2 0502", "send 2 0502", "send 2 0502", "send 2 0502", "send 2 0502",
                    "send 2 0502", "send 2 0502", "send 2 0502", "send 2 0502", "sleep 500"}},
        PacingCase{"Family80BlockOf6FIsTwoFullPackets",
                   BlockFrame(0x80, 0x6F),
                   0,
                   {"send 64 09400400", "sleep 500", "send 64 09400401", "sleep 500"}},
        PacingCase{"Family80BlockOf83IsThreePackets",
                   BlockFrame(0x80, 0x83),
                   0,
                   {"send 64 09400400", "sleep 500", "send 64 09400401", "sleep 500", "send 64 090c0402", "sleep 500"}},
        PacingCase{"Family81BlockOf6FIsStillThreePackets",
                   BlockFrame(0x81, 0x6F),
                   0,
                   {"send 64 09400400", "sleep 500", "send 64 09400401", "sleep 500", "send 64 090c0402", "sleep 500"}},
        PacingCase{"Family82SimpleIsOneChecksummedReport", "82070502", 0, {"write 65 04070005", "sleep 500"}},
        PacingCase{"Family83BlockIsTwoReportsThenALongerPause",
                   BlockFrame(0x83, 0x80),
                   0,
                   {"write 65 04400009", "sleep 200", "write 65 0439013d", "sleep 200", "sleep 1000"}},
        PacingCase{"Family85LongSimpleReportIsCutAt65Bytes",
                   "850701fb" + std::string(2 * 249, 'e'),
                   0,
                   {"write 65 04000001", "sleep 500"}},
        PacingCase{"OfOneByteReachesOnlyDeviceIdZero", "80", 0, {}},
        PacingCase{"OfAnUnknownFamilyDoesNothing", "86070502aa", 0, {}},
        PacingCase{"ForAnotherDeviceIdDoesNothing", "80080502aa", 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ACommand, WritesASimpleReportWholeWithItsChecksum) {
    auto device = Place(0x83, 0x02);
    Command("83020502");
    ASSERT_EQ(device->Calls(Op::Write).size(), 1u);
    EXPECT_EQ(ToHex(device->Calls(Op::Write)[0].bytes), "04070005020012" + std::string(2 * 58, '0'));
}

TEST_F(ACommand, OfOneByteSendsAnEmptyReportToDeviceZero) {
    Place(0x80, 0x00);
    Command("80");
    EXPECT_EQ(Timeline(), (Events{"send 0 ", "sleep 500"}));
}

TEST_F(ACommand, ReachesEveryMatchingSlotLowerFirstPassingOverThoseNotReady) {
    Place(0x85, 0x04, "a");
    Place(0x85, 0x05, "other");
    Place(0x85, 0x04, "unpaired", false);  // reported, but its control collection did not open
    Place(0x85, 0x04, "c");
    Place(0x85, 0x06, "unpaired2", false);
    // Past the control count: two control collections failed to open, so
    // this device's slot lies beyond it.
    Place(0x85, 0x04, "beyond");
    Command("8504050100");
    EXPECT_EQ(Timeline(), (Events{"a write 65 04060005", "sleep 500", "c write 65 04060005", "sleep 500",
                                  "beyond write 65 04060005", "sleep 500"}));
}

TEST_F(ACommand, RunsItsTransferWithoutTheFamilyLockAndKeepsItsDeviceWhenTheSlotIsCleared) {
    auto device = Place(0x82, 0x07);
    auto witness = Place(0x82, 0x7E);
    // Another device's reader takes the family lock for each report.
    std::vector<bool> flowed;
    device->onWrite = [&](const Bytes& b) {
        flowed.push_back(Report(witness, {0x05, 0x7E, static_cast<uint8_t>(flowed.size())}));
        return static_cast<int>(b.size());
    };
    m_duringSleep = [&](size_t index) {
        flowed.push_back(Report(witness, {0x05, 0x7E, static_cast<uint8_t>(flowed.size())}));
        if (index == 0) m_hid.HandleHidRemoval(Removal(device->info.path, kProductSabre));
    };
    Command(BlockFrame(0x82, 0x40));
    EXPECT_EQ(flowed, std::vector<bool>(5, true));
    EXPECT_EQ(device->Calls(Op::Write).size(), 2u);  // the removal did not cut the block short
    // Nor does the transfer keep the device: gone at the next open step.
    m_api.Unplug(device->info.pairing_key);
    m_hid.OpenHidFamily(0x82);
    EXPECT_EQ(device->OpenHandles(), 0);
}

// ---------------------------------------------------------------------------
// Family 0x81: attempts until its reader records an acknowledgement, which
// the device sends on its input collection during a pause.

TEST_F(ACommand, ToFamily81RepeatsTheWholeBlockInEachAttempt) {
    auto device = Place(0x81, 0x07);
    m_duringSleep = [&](size_t index) {
        if (index == 4) {  // during attempt two
            EXPECT_TRUE(Report(device, {0x05, 0x07, 0x50, 0x00, 0x00}));
        }
    };
    Command(BlockFrame(0x81, 0x83));
    auto sends = device->Calls(Op::SendFeature);
    ASSERT_EQ(sends.size(), 6u);
    for (size_t k = 0; k < 6; ++k) EXPECT_EQ(sends[k].bytes[3], k % 3) << k;
    EXPECT_EQ(Acks(), (Texts{"07810101"}));
}

TEST_F(ACommand, ToFamily81AnswersPerSlotAndReadsOnlyThatSlotsFlag) {
    auto a = Place(0x81, 0x03, "a");
    auto other = Place(0x81, 0x02, "other");
    Place(0x81, 0x03, "c");
    // a acknowledges its attempt; the other device acknowledges in every
    // pause, c never.
    m_duringSleep = [&](size_t index) {
        if (index == 0) {
            EXPECT_TRUE(Report(a, {0x05, 0x03, 0x50, 0x00, 0x00}));
        }
        EXPECT_TRUE(Report(other, {0x05, 0x02, 0x50, 0x00, static_cast<uint8_t>(index)}));
    };
    Command("810301020a");
    Events expected = {"a send 2 0102", "sleep 500"};
    for (int k = 0; k < 10; ++k) expected.insert(expected.end(), {"c send 2 0102", "sleep 500"});
    EXPECT_EQ(Timeline(), expected);
    EXPECT_EQ(Acks(), (Texts{"03810101"}));
}

struct AckCase {
    const char* name;
    int attempt;  // the device acknowledges during this attempt's pause; 0: never
    uint8_t status;
    size_t sends;
    bool acknowledged;
};

class AnAcknowledgement : public ProtocolTest, public ::testing::WithParamInterface<AckCase> {};

TEST_P(AnAcknowledgement, EndsTheAttemptsAsTheReaderRecordsIt) {
    const auto& c = GetParam();
    auto device = Place(0x81, 0x03);
    m_duringSleep = [&](size_t index) {
        if (static_cast<int>(index) + 1 == c.attempt) {
            EXPECT_TRUE(Report(device, {0x05, 0x03, 0x50, c.status, 0x00}));
        }
    };
    Command("8103010344");
    EXPECT_EQ(device->Calls(Op::SendFeature).size(), c.sends);
    EXPECT_EQ(Acks(), c.acknowledged ? Texts{"03810101"} : Texts{});
}

INSTANTIATE_TEST_SUITE_P(Acknowledgements, AnAcknowledgement,
                         ::testing::Values(AckCase{"InAttemptOne", 1, 0, 1, true},
                                           AckCase{"InAttemptFive", 5, 0, 5, true},
                                           AckCase{"InAttemptTen", 10, 0, 10, true}, AckCase{"Never", 0, 0, 10, false},
                                           AckCase{"WithNonZeroStatus", 3, 1, 10, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AnAcknowledgement, ThatCameBeforeTheCommandIsForgotten) {
    auto device = Place(0x81, 0x03);
    ASSERT_TRUE(Report(device, {0x05, 0x03, 0x50, 0x00, 0x00}));
    Command("8103010344");
    EXPECT_EQ(device->Calls(Op::SendFeature).size(), 10u);
    EXPECT_TRUE(Acks().empty());
}

TEST_F(AnAcknowledgement, OfSuccessCountsWhenItFollowsARefusalInTheSameAttempt) {
    auto device = Place(0x81, 0x03);
    m_duringSleep = [&](size_t index) {
        if (index != 1) return;
        Input(device)->QueueInput({0x05, 0x03, 0x50, 0x01, 0x00});
        EXPECT_TRUE(Report(device, {0x05, 0x03, 0x50, 0x00, 0x00}));
    };
    Command("8103010344");
    EXPECT_EQ(device->Calls(Op::SendFeature).size(), 2u);
    EXPECT_EQ(Acks(), (Texts{"03810101"}));
}

// ---------------------------------------------------------------------------

class RecordingBlePort final : public BleCommandPort {
public:
    explicit RecordingBlePort(std::function<void(const std::string&)> add) : m_add(std::move(add)) {}
    std::vector<int> slotIds = {0x06, 0x01, 0x06};  // device id of BLE slot i
    std::vector<Bytes> writes;
    std::vector<int> MatchingBleSlots(uint8_t deviceId) override {
        std::vector<int> out;
        for (size_t i = 0; i < slotIds.size(); ++i)
            if (slotIds[i] == deviceId) out.push_back(static_cast<int>(i));
        return out;
    }
    int WriteBle(int slot, const uint8_t* data, int32_t length) override {
        writes.emplace_back(data, data + length);
        m_add("ble " + std::to_string(slot) + " " + ToHex(writes.back()));
        return 1;
    }
    void SetBleBlockIndex(int slot, int index) override {
        m_add("index " + std::to_string(slot) + " " + std::to_string(index));
    }

private:
    std::function<void(const std::string&)> m_add;
};

class ABleDevice : public ProtocolTest {
protected:
    ABleDevice() { m_protocol.SetBlePort(&m_port); }
    RecordingBlePort m_port{[this](const std::string& e) { Add(e); }};
};

TEST_F(ABleDevice, GetsAnyFrameWholeOnEveryMatchingSlot) {
    Command("8406090511223344");
    EXPECT_EQ(Timeline(), (Events{"ble 0 0905112233", "sleep 500", "ble 2 0905112233", "sleep 500"}));
}

TEST_F(ABleDevice, GetsItsQueryRequestWithTheBlockIndexStoredAfterTheWrite) {
    EXPECT_EQ(Query("f084060a05"), 0);
    EXPECT_EQ(Query("f0840604ff"), 0);  // no BLE request for this code
    EXPECT_EQ(Timeline(), (Events{"ble 0 a008050000000000", "index 0 5", "ble 2 a008050000000000", "index 2 5"}));
    EXPECT_TRUE(m_pages.Texts().empty());
}

TEST_F(ABleDevice, WithoutTheTransportGetsNothing) {
    m_protocol.SetBlePort(nullptr);
    Command("8406090511223344");
    Query("f084060a05");
    EXPECT_TRUE(Timeline().empty());
}

}  // namespace
}  // namespace orvex::test
