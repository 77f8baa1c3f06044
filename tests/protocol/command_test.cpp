// Family commands over fake collections: what each device gets, and the
// pauses between.
#include <gtest/gtest.h>

#include "ProtocolFixture.h"
#include "protocol/Packets.h"

namespace orvex::test {
namespace {

using Op = FakeHidDevice::Op;

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
    auto device = Place(m_hid.Family(family) ? family : 0x80, 0, 0x07);
    int refusals = c.rejections;
    device->onSendFeature = [&](const Bytes& b) { return Note("send", b, refusals-- != 0 ? -1 : 0); };
    if (family == 0x81) m_duringSleep = [&](size_t) { m_hid.m_bAcked81[0] = 1; };
    EXPECT_EQ(Command(c.frame), 1);
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

TEST_F(ACommand, WritesTheDocumentedSimpleReportWhole) {
    auto device = Place(0x83, 0, 0x02);
    Command("83020502");
    ASSERT_EQ(device->Calls(Op::Write).size(), 1u);
    EXPECT_EQ(ToHex(device->Calls(Op::Write)[0].bytes), "04070005020012" + std::string(2 * 58, '0'));
}

TEST_F(ACommand, OfOneByteSendsAnEmptyReportToDeviceZero) {
    Place(0x80, 0, 0x00);
    Command("80");
    EXPECT_EQ(Timeline(), (Events{"send 0 ", "sleep 500"}));
}

TEST_F(ACommand, ReachesEveryMatchingSlotLowerFirstPassingOverThoseNotReady) {
    Place(0x85, 0, 0x04, "a");
    Place(0x85, 1, 0x05, "other");
    PlaceHandle(0x85, 2, 0x04, nullptr);  // has not reported: no control handle
    Place(0x85, 3, 0x04, "c");
    // Past the control count too: a device whose control collection failed
    // to open leaves the later devices' slots beyond it.
    Place(0x85, 5, 0x04, "beyond");
    m_hid.Family(0x85)->m_nControlCount = 2;
    Command("8504050100");
    EXPECT_EQ(Timeline(), (Events{"a write 65 04060005", "sleep 500", "c write 65 04060005", "sleep 500",
                                  "beyond write 65 04060005", "sleep 500"}));
}

TEST_F(ACommand, RunsItsTransferWithoutTheFamilyLockAndKeepsItsDeviceWhenTheSlotIsCleared) {
    auto device = Place(0x82, 0, 0x07);
    std::weak_ptr<FakeHidDevice> watch = device;
    std::vector<bool> free;
    device->onWrite = [&](const Bytes& b) {
        free.push_back(FamilyLockFree(0x82));
        return static_cast<int>(b.size());
    };
    device.reset();
    m_duringSleep = [&](size_t index) {
        free.push_back(FamilyLockFree(0x82));
        if (index == 0) PlaceHandle(0x82, 0, 0, nullptr);  // a removal
    };
    Command(BlockFrame(0x82, 0x40));
    EXPECT_EQ(free, std::vector<bool>(5, true));
    EXPECT_TRUE(watch.expired());  // released once the transfer is done
}

// ---------------------------------------------------------------------------
// Family 0x81: attempts until the reader records an acknowledgement. Here the
// flag is set during a pause; acknowledgement_test does it with a real reader.

TEST_F(ACommand, ToFamily81RepeatsTheWholeBlockInEachAttempt) {
    auto device = Place(0x81, 0, 0x07);
    m_duringSleep = [&](size_t index) {
        if (index == 4) m_hid.m_bAcked81[0] = 1;  // during attempt two
    };
    Command(BlockFrame(0x81, 0x83));
    auto sends = device->Calls(Op::SendFeature);
    ASSERT_EQ(sends.size(), 6u);
    for (size_t k = 0; k < 6; ++k) EXPECT_EQ(sends[k].bytes[3], k % 3) << k;
    EXPECT_EQ(m_broadcasts.Texts(), (Texts{"07810101"}));
}

TEST_F(ACommand, ToFamily81AnswersPerSlotAndReadsOnlyThatSlotsFlag) {
    Place(0x81, 0, 0x03, "a");
    Place(0x81, 1, 0x02, "other");
    Place(0x81, 2, 0x03, "c");
    m_duringSleep = [&](size_t) {
        m_hid.m_bAcked81[0] = 1;
        m_hid.m_bAcked81[1] = 1;
    };
    Command("810301020a");
    Events expected = {"a send 2 0102", "sleep 500"};
    for (int k = 0; k < 10; ++k) expected.insert(expected.end(), {"c send 2 0102", "sleep 500"});
    EXPECT_EQ(Timeline(), expected);
    EXPECT_EQ(m_broadcasts.Texts(), (Texts{"03810101"}));
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
    EXPECT_EQ(Command("8406090511223344"), 1);
    EXPECT_EQ(Timeline(), (Events{"ble 0 0905112233", "sleep 500", "ble 2 0905112233", "sleep 500"}));
}

TEST_F(ABleDevice, GetsItsQueryRequestWithTheBlockIndexStoredAfterTheWrite) {
    EXPECT_EQ(Query("f084060a05"), 0);
    EXPECT_EQ(Query("f0840604ff"), 0);  // no BLE request for this code
    EXPECT_EQ(Timeline(), (Events{"ble 0 a008050000000000", "index 0 5", "ble 2 a008050000000000", "index 2 5"}));
    EXPECT_TRUE(m_broadcasts.Texts().empty());
}

TEST_F(ABleDevice, WithoutTheTransportGetsNothing) {
    m_protocol.SetBlePort(nullptr);
    Command("8406090511223344");
    Query("f084060a05");
    EXPECT_TRUE(Timeline().empty());
}

}  // namespace
}  // namespace orvex::test
