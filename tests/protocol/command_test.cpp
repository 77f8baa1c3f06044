// Family commands over fake collections: bytes, pacing, acknowledgement and
// slot selection.
#include <gtest/gtest.h>

#include "ProtocolFixture.h"
#include "protocol/Packets.h"

namespace orvex::test {
namespace {

using Op = FakeHidDevice::Op;

// A block frame: family, id 7, 09, L, then frame byte 4 + j = (j + 0x11) & 0xFF.
std::string BlockFrame(uint8_t family, uint8_t length) {
    Bytes frame = {family, 0x07, 0x09, length};
    for (int j = 0; j < 200; ++j) frame.push_back(static_cast<uint8_t>(j + 0x11));
    return ToHex(frame);
}
uint8_t BlockFrameByte(int index) { return index < 4 ? 0 : static_cast<uint8_t>(index - 4 + 0x11); }

// ---------------------------------------------------------------------------

class AFamily80Device : public ProtocolTest {};

TEST_F(AFamily80Device, GetsASimpleReportOfLengthLThenAPause) {
    auto device = Place(0x80, 0, 0x07);
    EXPECT_EQ(Command("80070504aabbcc"), 1);
    EXPECT_EQ(m_timeline.Events(), (Events{"send 4", "sleep 500"}));
    auto sends = device->Calls(Op::SendFeature);
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(ToHex(sends[0].bytes), "0504aabb");
}

TEST_F(AFamily80Device, GetsARejectedReportAgainUntilItIsTaken) {
    auto device = Place(0x80, 0, 0x07);
    int rejections = 3;
    device->onSendFeature = [&](const Bytes& b) {
        m_timeline.Add("send " + std::to_string(b.size()));
        return rejections-- > 0 ? -1 : static_cast<int>(b.size());
    };
    Command("80070502aa");
    EXPECT_EQ(m_timeline.Events(), (Events{"send 2", "send 2", "send 2", "send 2", "sleep 500"}));
}

TEST_F(AFamily80Device, StopsResendingAfterTenRejectionsWithoutAnyText) {
    auto device = Place(0x80, 0, 0x07);
    device->onSendFeature = [](const Bytes&) { return -1; };
    Command("80070502aa");
    EXPECT_EQ(device->Calls(Op::SendFeature).size(), 10u);
    EXPECT_EQ(m_clock.Sleeps(), (std::vector<long>{500}));
    EXPECT_TRUE(m_broadcasts.Texts().empty());
}

struct BlockCase {
    const char* name;
    uint8_t family;
    uint8_t length;
    std::vector<std::string> headers;  // bytes 0..3 of each packet
};

class AFeatureBlockTransfer : public ProtocolTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(AFeatureBlockTransfer, SendsItsPacketsWithHeadersSlicesAndPauses) {
    const auto& c = GetParam();
    auto device = Place(c.family, 0, 0x07);
    if (c.family == 0x81) m_duringSleep = [&](size_t) { m_hid.m_bAcked81[0] = 1; };
    Command(BlockFrame(c.family, c.length));

    Events expected;
    for (size_t k = 0; k < c.headers.size(); ++k) {
        expected.push_back("send 64");
        expected.push_back("sleep 500");
    }
    EXPECT_EQ(m_timeline.Events(), expected);
    auto sends = device->Calls(Op::SendFeature);
    ASSERT_EQ(sends.size(), c.headers.size());
    for (size_t k = 0; k < sends.size(); ++k) {
        EXPECT_EQ(ToHex(sends[k].bytes, 4), c.headers[k]) << "packet " << k;
        // Block byte b is W[3 + b], frame byte 5 + b; only the first 128 of them,
        // and only those inside L.
        for (int j = 0; j < 60; ++j) {
            const int b = 60 * static_cast<int>(k) + j;
            const int frameIndex = 5 + b;
            const uint8_t want = b < 128 && frameIndex < 2 + c.length ? BlockFrameByte(frameIndex) : 0;
            ASSERT_EQ(sends[k].bytes[4 + j], want) << "packet " << k << " offset " << 4 + j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, AFeatureBlockTransfer,
    ::testing::Values(BlockCase{"Family80L6FIsTwoFullPackets", 0x80, 0x6F, {"09401100", "09401101"}},
                      BlockCase{"Family80L83IsThreePackets", 0x80, 0x83, {"09401100", "09401101", "090c1102"}},
                      BlockCase{"Family80L20IsThreePackets", 0x80, 0x20, {"09401100", "09401101", "090c1102"}},
                      BlockCase{"Family81L6FIsStillThreePackets", 0x81, 0x6F, {"09401100", "09401101", "090c1102"}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

struct AckCase {
    const char* name;
    int ackDuringAttempt;  // 1-based attempt whose pause sees the report; 0: none
    int status;            // byte 3 of the acknowledgement report
    size_t sends;
    bool text;
};

class AFamily81Device : public ProtocolTest, public ::testing::WithParamInterface<AckCase> {};

// The reader sets the flag from the report's status byte; here the pause of
// attempt k stands for the moment the report arrives.
TEST_P(AFamily81Device, RetriesUntilAcknowledged) {
    const auto& c = GetParam();
    auto device = Place(0x81, 0, 0x03);
    m_duringSleep = [&](size_t index) {
        if (static_cast<int>(index) + 1 == c.ackDuringAttempt) m_hid.m_bAcked81[0] = c.status == 0 ? 1 : 0;
    };
    EXPECT_EQ(Command("810301020a"), 1);
    EXPECT_EQ(device->Calls(Op::SendFeature).size(), c.sends);
    EXPECT_EQ(m_clock.Sleeps(), std::vector<long>(c.sends, 500));
    EXPECT_EQ(m_broadcasts.Texts(), c.text ? std::vector<std::string>{"03810101"} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Commands, AFamily81Device,
                         ::testing::Values(AckCase{"InAttemptOne", 1, 0, 1, true}, AckCase{"InAttemptFive", 5, 0, 5, true},
                                           AckCase{"InAttemptTen", 10, 0, 10, true}, AckCase{"Never", 0, 0, 10, false},
                                           AckCase{"WithNonZeroStatus", 1, 1, 10, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AFamily81Device, ClearsALeftOverAcknowledgementBeforeItsFirstAttempt) {
    auto device = Place(0x81, 0, 0x03);
    m_hid.m_bAcked81[0] = 1;
    Command("810301020a");
    EXPECT_EQ(device->Calls(Op::SendFeature).size(), 10u);
    EXPECT_TRUE(m_broadcasts.Texts().empty());
}

TEST_F(AFamily81Device, ReadsTheFlagOfItsOwnSlot) {
    Place(0x81, 0, 0x02);
    auto device = Place(0x81, 1, 0x03);
    m_duringSleep = [&](size_t) { m_hid.m_bAcked81[0] = 1; };  // another device's answer
    Command("810301020a");
    EXPECT_EQ(device->Calls(Op::SendFeature).size(), 10u);
    EXPECT_TRUE(m_broadcasts.Texts().empty());
}

TEST_F(AFamily81Device, RepeatsTheWholeBlockInEachAttempt) {
    auto device = Place(0x81, 0, 0x07);
    m_duringSleep = [&](size_t index) {
        if (index == 4) m_hid.m_bAcked81[0] = 1;  // second packet of attempt two
    };
    Command(BlockFrame(0x81, 0x83));
    auto sends = device->Calls(Op::SendFeature);
    ASSERT_EQ(sends.size(), 6u);
    for (size_t k = 0; k < 6; ++k) EXPECT_EQ(sends[k].bytes[3], k % 3) << k;
    EXPECT_EQ(m_broadcasts.Texts(), (std::vector<std::string>{"07810101"}));
}

TEST_F(AFamily81Device, AnswersEachMatchingSlotWithItsOwnText) {
    auto first = Place(0x81, 0, 0x03, "a");
    auto second = Place(0x81, 1, 0x03, "b");
    m_duringSleep = [&](size_t) { m_hid.m_bAcked81[0] = 1; m_hid.m_bAcked81[1] = 1; };
    Command("810301020a");
    EXPECT_EQ(m_timeline.Events(), (Events{"a send 2", "sleep 500", "b send 2", "sleep 500"}));
    EXPECT_EQ(m_broadcasts.Texts(), (std::vector<std::string>{"03810101", "03810101"}));
}

// ---------------------------------------------------------------------------

class AnOutputReportDevice : public ProtocolTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(AnOutputReportDevice, GetsASimpleChecksummedReportOf65BytesThenAPause) {
    const uint8_t family = GetParam();
    auto device = Place(family, 0, 0x02);
    Command(ToHex(Bytes{family, 0x02}) + "0502");
    EXPECT_EQ(m_timeline.Events(), (Events{"write 65", "sleep 500"}));
    auto writes = device->Calls(Op::Write);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(ToHex(writes[0].bytes), "04070005020012" + std::string(2 * 58, '0'));
}

TEST_P(AnOutputReportDevice, GetsTwoBlockPacketsPacedTwoHundredTwoHundredThenASecond) {
    const uint8_t family = GetParam();
    auto device = Place(family, 0, 0x07);
    Command(BlockFrame(family, 0xC8));
    EXPECT_EQ(m_timeline.Events(), (Events{"write 65", "sleep 200", "write 65", "sleep 200", "sleep 1000"}));
    auto writes = device->Calls(Op::Write);
    ASSERT_EQ(writes.size(), 2u);
    // D starts with the report byte and L.
    EXPECT_EQ(ToHex(writes[0].bytes, 7), "04400009c81112");
    EXPECT_EQ(ToHex(writes[1].bytes, 3), "043901");
    // Offsets 55 and 56 of packet 1 are its checksum; 57.. carry D[113..117].
    const uint16_t sum = protocol::Checksum16(writes[1].bytes.data(), 55);
    EXPECT_EQ(writes[1].bytes[55], sum >> 8);
    EXPECT_EQ(writes[1].bytes[56], sum & 0xFF);
    EXPECT_EQ(writes[1].bytes[57], BlockFrameByte(2 + 113));
}

INSTANTIATE_TEST_SUITE_P(Commands, AnOutputReportDevice, ::testing::Values(0x82, 0x83, 0x85),
                         [](const auto& info) { return "Family" + ToHex(Bytes{info.param}); });

TEST_F(AnOutputReportDevice, WritesOnly65BytesOfALongSimpleReport) {
    auto device = Place(0x83, 0, 0x07);
    Bytes frame = {0x83, 0x07, 0x01, 0xFB};  // L = 251
    for (int j = 0; j < 249; ++j) frame.push_back(0xEE);
    Command(ToHex(frame));
    auto writes = device->Calls(Op::Write);
    ASSERT_EQ(writes.size(), 1u);
    ASSERT_EQ(writes[0].length, 65u);
    EXPECT_EQ(ToHex(writes[0].bytes, 6), "040000" "01fbee");  // n = (251 + 5) % 256
}

// ---------------------------------------------------------------------------

class ACommandFrame : public ProtocolTest {};

TEST_F(ACommandFrame, ReachesEveryMatchingSlotLowerFirstAndPassesOverOthers) {
    auto a = Place(0x85, 0, 0x04, "a");
    Place(0x85, 1, 0x05, "other");
    PlaceHandle(0x85, 2, 0x04, nullptr);  // not reported yet: no control handle
    auto c = Place(0x85, 3, 0x04, "c");
    Command("8504050100");
    EXPECT_EQ(m_timeline.Events(), (Events{"a write 65", "sleep 500", "c write 65", "sleep 500"}));
}

TEST_F(ACommandFrame, IgnoresSlotsAtOrAboveTheControlCount) {
    auto device = Place(0x83, 4, 0x04);
    m_hid.Family(0x83)->m_nControlCount = 4;
    Command("8304050100");
    EXPECT_TRUE(m_timeline.Events().empty());
}

TEST_F(ACommandFrame, OfAnUnknownFamilyDoesNothingAndStillReturnsOne) {
    Place(0x80, 0, 0x00);
    for (const char* frame : {"860005020102", "000005020102", "7f0005020102", "ff0005020102"})
        EXPECT_EQ(Command(frame), 1) << frame;
    EXPECT_TRUE(m_timeline.Events().empty());
}

TEST_F(ACommandFrame, OfOneByteAddressesDeviceIdZeroWithLengthZero) {
    auto zero = Place(0x80, 0, 0x00);
    Place(0x80, 1, 0x01, "one");
    Command("80");
    EXPECT_EQ(m_timeline.Events(), (Events{"send 0", "sleep 500"}));
}

TEST_F(ACommandFrame, RunsItsTransferWithoutHoldingTheFamilyLock) {
    auto device = Place(0x83, 0, 0x07);
    std::vector<bool> free;
    device->onWrite = [&](const Bytes& b) {
        free.push_back(FamilyLockFree(0x83));
        return static_cast<int>(b.size());
    };
    m_duringSleep = [&](size_t) { free.push_back(FamilyLockFree(0x83)); };
    Command(BlockFrame(0x83, 0x40));
    EXPECT_EQ(free, std::vector<bool>(5, true));
}

TEST_F(ACommandFrame, KeepsItsDeviceOpenWhenTheSlotIsClearedMidTransfer) {
    auto device = Place(0x82, 0, 0x07);
    std::weak_ptr<FakeHidDevice> watch = device;
    device.reset();
    m_duringSleep = [&](size_t index) {
        if (index == 0) {
            HidFamilyState* state = m_hid.Family(0x82);
            std::lock_guard<std::mutex> lock(state->m_mutex);
            state->m_active[0] = HidCollectionRecord{};  // a removal
        }
    };
    Command(BlockFrame(0x82, 0x40));
    EXPECT_EQ(m_timeline.Events(), (Events{"write 65", "sleep 200", "write 65", "sleep 200", "sleep 1000"}));
    EXPECT_TRUE(watch.expired());  // released once the transfer is done
}

// ---------------------------------------------------------------------------

class RecordingBlePort final : public BleCommandPort {
public:
    std::vector<int> slotIds;  // device id of BLE slot i
    struct Write {
        int slot;
        Bytes bytes;
    };
    std::vector<Write> writes;
    std::vector<std::pair<int, int>> blockIndexes;
    Timeline* timeline = nullptr;

    std::vector<int> MatchingBleSlots(uint8_t deviceId) override {
        std::vector<int> out;
        for (size_t i = 0; i < slotIds.size(); ++i)
            if (slotIds[i] == deviceId) out.push_back(static_cast<int>(i));
        return out;
    }
    int WriteBle(int slot, const uint8_t* data, int32_t length) override {
        writes.push_back({slot, Bytes(data, data + length)});
        if (timeline) timeline->Add("ble " + std::to_string(slot) + " " + std::to_string(length));
        return 1;
    }
    void SetBleBlockIndex(int slot, int blockIndex) override {
        blockIndexes.emplace_back(slot, blockIndex);
        if (timeline) timeline->Add("index " + std::to_string(slot));
    }
};

class ABleFamilyDevice : public ProtocolTest {
protected:
    ABleFamilyDevice() {
        m_port.timeline = &m_timeline;
        m_port.slotIds = {0x06, 0x01, 0x06};
        m_protocol.SetBlePort(&m_port);
    }
    ~ABleFamilyDevice() override { m_protocol.SetBlePort(nullptr); }
    RecordingBlePort m_port;
};

TEST_F(ABleFamilyDevice, GetsABlockFrameWholeOnEveryMatchingSlot) {
    EXPECT_EQ(Command("8406090511223344"), 1);
    EXPECT_EQ(m_timeline.Events(), (Events{"ble 0 5", "sleep 500", "ble 2 5", "sleep 500"}));
    ASSERT_EQ(m_port.writes.size(), 2u);
    EXPECT_EQ(ToHex(m_port.writes[0].bytes), "0905112233");
}

TEST_F(ABleFamilyDevice, GetsItsQueryRequestAndTheBlockIndexAfterTheWrite) {
    EXPECT_EQ(Query("f084060a05"), 0);
    EXPECT_EQ(m_timeline.Events(), (Events{"ble 0 8", "index 0", "ble 2 8", "index 2"}));
    EXPECT_EQ(ToHex(m_port.writes[0].bytes), "a008050000000000");
    EXPECT_EQ(m_port.blockIndexes, (std::vector<std::pair<int, int>>{{0, 5}, {2, 5}}));
    EXPECT_TRUE(m_broadcasts.Texts().empty());
}

TEST_F(ABleFamilyDevice, GetsNothingForAQueryCodeWithoutARequest) {
    EXPECT_EQ(Query("f0840604ff"), 0);
    EXPECT_TRUE(m_timeline.Events().empty());
}

TEST_F(ABleFamilyDevice, WithoutTransportTakesNothing) {
    m_protocol.SetBlePort(nullptr);
    EXPECT_EQ(Command("8406090511223344"), 1);
    EXPECT_EQ(Query("f084060a05"), 0);
    EXPECT_TRUE(m_timeline.Events().empty());
}

}  // namespace
}  // namespace orvex::test
