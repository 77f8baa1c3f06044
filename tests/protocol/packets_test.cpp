// The wire layouts of commands and queries, byte for byte.
#include "protocol/Packets.h"

#include <gtest/gtest.h>

#include "FakeHidDevice.h"

namespace orvex::protocol {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

// A full command buffer holding the given message bytes.
std::array<uint8_t, kWorkBufferSize> Frame(const Bytes& message) {
    std::array<uint8_t, kWorkBufferSize> frame{};
    std::copy(message.begin(), message.end(), frame.begin());
    return frame;
}

// A block frame whose payload byte j (frame byte 2 + j) is j + 1 where j < L.
std::array<uint8_t, kWorkBufferSize> CountingBlockFrame(uint8_t family, uint8_t length) {
    std::array<uint8_t, kWorkBufferSize> frame{};
    frame[0] = family;
    frame[1] = 0x07;
    for (int j = 0; j < 260; ++j) frame[2 + j] = static_cast<uint8_t>(j + 1);
    frame[2] = kBlockReport;
    frame[3] = length;
    return frame;
}

template <size_t N>
Bytes Head(const std::array<uint8_t, N>& a, size_t n) {
    return Bytes(a.begin(), a.begin() + n);
}

TEST(AWorkBuffer, HoldsExactlyTheLPayloadBytesAndZerosBeyond) {
    auto frame = Frame(FromHex("8103aa04bbccddeeff"));  // L = 4, one byte too many
    const WorkBuffer w = BuildWorkBuffer(frame.data());
    EXPECT_EQ(ToHex(Bytes(w.begin(), w.begin() + 6)), "aa04bbcc0000");
}

TEST(AWorkBuffer, OfAOneByteMessageIsAllZero) {
    auto frame = Frame({0x81});
    const WorkBuffer w = BuildWorkBuffer(frame.data());
    for (uint8_t b : w) ASSERT_EQ(b, 0);
}

TEST(AWorkBuffer, WithLengthOneHoldsOnlyTheReportByte) {
    auto frame = Frame(FromHex("80015501"));  // W[1] is L only once L >= 2
    const WorkBuffer w = BuildWorkBuffer(frame.data());
    EXPECT_EQ(w[0], 0x55);
    EXPECT_EQ(w[1], 0);
}

TEST(AChecksum, SumsUnsignedBytesModulo65536) {
    Bytes ff(300, 0xFF);  // 300 * 255 = 76500 = 0x12AD4
    EXPECT_EQ(Checksum16(ff.data(), ff.size()), 0x2AD4);
    EXPECT_EQ(Checksum16(ff.data(), 0), 0);
}

TEST(ASimpleOutputReport, OfTwoBytesIsTheDocumentedFrame) {
    auto frame = Frame(FromHex("83020502"));
    const auto report = BuildSimpleOutputReport(BuildWorkBuffer(frame.data()), 2);
    Bytes expected = FromHex("04070005020012");
    expected.resize(kOutputReportWriteLength, 0);
    EXPECT_EQ(Head(report, kOutputReportWriteLength), expected);
}

TEST(ASimpleOutputReport, AboveSixtyBytesCarriesLengthModulo256AndLosesItsChecksumPastOffset64) {
    auto frame = CountingBlockFrame(0x85, 0xFE);
    frame[2] = 0x01;  // simple
    const WorkBuffer w = BuildWorkBuffer(frame.data());
    const auto report = BuildSimpleOutputReport(w, 0xFE);
    EXPECT_EQ(report[1], 0x03);  // (254 + 5) % 256
    EXPECT_EQ(report[2], 0x00);
    // Offsets 3..64 are W[0..61]; the checksum sits at 257/258, never written.
    for (size_t i = 3; i < kOutputReportWriteLength; ++i) ASSERT_EQ(report[i], w[i - 3]) << i;
    const uint16_t sum = Checksum16(report.data(), 257);
    EXPECT_EQ(report[257], sum >> 8);
    EXPECT_EQ(report[258], sum & 0xFF);
}

TEST(AnOutputBlockPacket, ZeroCarriesTheReportByteAndLengthAtOffsetsThreeAndFour) {
    auto frame = CountingBlockFrame(0x82, 0x80);
    const WorkBuffer w = BuildWorkBuffer(frame.data());
    const auto p0 = BuildOutputBlockPacket(w, 0);
    EXPECT_EQ(ToHex(Head(p0, 5)), "0440000980");
    for (int i = 0; i < 59; ++i) ASSERT_EQ(p0[3 + i], w[i]) << i;
    const uint16_t sum = Checksum16(p0.data(), 62);
    EXPECT_EQ(p0[62], sum >> 8);
    EXPECT_EQ(p0[63], sum & 0xFF);
    EXPECT_EQ(p0[64], 0);
}

TEST(AnOutputBlockPacket, OneHasItsChecksumOverOffsets55And56AndKeepsTheTailAfterIt) {
    auto frame = CountingBlockFrame(0x83, 0xC8);  // long enough that D[113..117] are non-zero
    const WorkBuffer w = BuildWorkBuffer(frame.data());
    const auto p1 = BuildOutputBlockPacket(w, 1);
    EXPECT_EQ(ToHex(Head(p1, 3)), "043901");
    for (int i = 3; i < 55; ++i) ASSERT_EQ(p1[i], w[59 + i - 3]) << i;
    const uint16_t sum = Checksum16(p1.data(), 55);
    EXPECT_EQ(p1[55], sum >> 8);
    EXPECT_EQ(p1[56], sum & 0xFF);
    for (int i = 57; i < 62; ++i) ASSERT_EQ(p1[i], w[59 + i - 3]) << i;  // D[113..117]
    EXPECT_EQ(ToHex(Bytes(p1.begin() + 62, p1.begin() + 65)), "000000");
}

TEST(AnOutputBlockPacket, OneOfAShortFrameHasZerosAfterItsChecksum) {
    auto frame = CountingBlockFrame(0x83, 0x6F);  // D[111] onward are zero
    const auto p1 = BuildOutputBlockPacket(BuildWorkBuffer(frame.data()), 1);
    for (int i = 57; i < 65; ++i) ASSERT_EQ(p1[i], 0) << i;
}

struct FeatureBlockCase {
    const char* name;
    uint8_t length;
    int k;
    uint8_t byte1;
    int blockBytes;  // non-zero block bytes expected in the packet
};

class AFeatureBlockPacket : public ::testing::TestWithParam<FeatureBlockCase> {};

TEST_P(AFeatureBlockPacket, CarriesItsHeaderAndTheBlockSlice) {
    const auto& c = GetParam();
    auto frame = CountingBlockFrame(0x80, c.length);
    const WorkBuffer w = BuildWorkBuffer(frame.data());
    const auto packet = BuildFeatureBlockPacket(w, c.k);
    EXPECT_EQ(packet[0], 0x09);
    EXPECT_EQ(packet[1], c.byte1);
    EXPECT_EQ(packet[2], w[2]);
    EXPECT_EQ(packet[3], c.k);
    for (int j = 0; j < 60; ++j) {
        const int b = 60 * c.k + j;  // block index
        const uint8_t expected = j < c.blockBytes && b < 128 ? w[3 + b] : 0;
        ASSERT_EQ(packet[4 + j], expected) << "offset " << 4 + j;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Packets, AFeatureBlockPacket,
    ::testing::Values(FeatureBlockCase{"L6FFirst", 0x6F, 0, 0x40, 60}, FeatureBlockCase{"L6FSecond", 0x6F, 1, 0x40, 60},
                      FeatureBlockCase{"L83First", 0x83, 0, 0x40, 60}, FeatureBlockCase{"L83Second", 0x83, 1, 0x40, 60},
                      FeatureBlockCase{"L83ThirdHasEightBlockBytes", 0x83, 2, 0x0C, 8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AFeatureBlockPacket, ThirdOfAFullFrameCarriesW123ToW130ThenZeros) {
    auto frame = CountingBlockFrame(0x81, 0xFF);
    const WorkBuffer w = BuildWorkBuffer(frame.data());
    const auto p2 = BuildFeatureBlockPacket(w, 2);
    EXPECT_EQ(ToHex(Bytes(p2.begin(), p2.begin() + 12)), "090c0302" + ToHex(Bytes(w.begin() + 123, w.begin() + 131)));
    for (int i = 12; i < 64; ++i) ASSERT_EQ(p2[i], 0) << i;
}

struct OutputRequestCase {
    uint8_t code;
    uint8_t argument;
    const char* bytes;
};

class AnOutputQueryRequest : public ::testing::TestWithParam<OutputRequestCase> {};

TEST_P(AnOutputQueryRequest, IsTwelveChecksummedBytes) {
    const auto& c = GetParam();
    const QueryCommand* q = FindQueryCommand(c.code);
    ASSERT_NE(q, nullptr);
    const auto request = BuildOutputQueryRequest(*q, c.argument);
    EXPECT_EQ(ToHex(Bytes(request.begin(), request.end())), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Packets, AnOutputQueryRequest,
                         ::testing::Values(OutputRequestCase{0x0C, 0x00, "040ca00c0a000000000000c6"},
                                           OutputRequestCase{0x0C, 0x55, "040ca00c0a000000000000c6"},
                                           OutputRequestCase{0x0A, 0x03, "040ca00a8004040000000142"},
                                           OutputRequestCase{0x09, 0x03, "040ca0096f0300000000012b"},
                                           OutputRequestCase{0x04, 0xFF, "040ca00438000000000000ec"},
                                           OutputRequestCase{0x0A, 0xFF, "040ca00a800000000000013a"},
                                           OutputRequestCase{0x0B, 0x09, "040ca00b08000000000000c3"}));

struct FeatureRequestCase {
    uint8_t code;
    uint8_t argument;
    const char* bytes;
};

class AFeatureQueryRequest : public ::testing::TestWithParam<FeatureRequestCase> {};

TEST_P(AFeatureQueryRequest, CarriesCodeLengthAndValue) {
    const auto& c = GetParam();
    const auto request = BuildFeatureQueryRequest(*FindQueryCommand(c.code), c.argument);
    EXPECT_EQ(ToHex(Bytes(request.begin(), request.end())), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Packets, AFeatureQueryRequest,
                         ::testing::Values(FeatureRequestCase{0x09, 0x03, "a009830003000000"},
                                           FeatureRequestCase{0x04, 0xFF, "a004380000000000"},
                                           FeatureRequestCase{0x05, 0x01, "a0050f0002000000"},
                                           FeatureRequestCase{0x06, 0x00, "a006090001000000"},
                                           FeatureRequestCase{0x08, 0x10, "a0083b0011000000"},
                                           FeatureRequestCase{0x0A, 0x7F, "a00a800080000000"},
                                           FeatureRequestCase{0x0B, 0x33, "a00b080000000000"},
                                           FeatureRequestCase{0x0C, 0x33, "a00c0a0000000000"}));

TEST(TheQueryTable, KnowsExactlyTheEightCodes) {
    int known = 0;
    for (int code = 0; code < 256; ++code)
        if (FindQueryCommand(static_cast<uint8_t>(code))) ++known;
    EXPECT_EQ(known, 8);
    EXPECT_EQ(FindQueryCommand(0x07), nullptr);
    EXPECT_EQ(FindQueryCommand(0xF0), nullptr);
}

struct BleRequestCase {
    uint8_t code;
    uint8_t argument;
    const char* bytes;  // empty: none
};

class ABleQueryRequest : public ::testing::TestWithParam<BleRequestCase> {};

TEST_P(ABleQueryRequest, IsEightBytesOrNone) {
    const auto& c = GetParam();
    std::array<uint8_t, 8> request{};
    const bool built = BuildBleQueryRequest(c.code, c.argument, &request);
    EXPECT_EQ(built, std::string(c.bytes) != "");
    if (built) {
        EXPECT_EQ(ToHex(Bytes(request.begin(), request.end())), c.bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Packets, ABleQueryRequest,
                         ::testing::Values(BleRequestCase{0x09, 0x00, "a908ff0000000000"},
                                           BleRequestCase{0x09, 0x05, "a908040000000000"},
                                           BleRequestCase{0x0A, 0x05, "a008050000000000"},
                                           BleRequestCase{0x0B, 0x05, "a108000000000000"},
                                           BleRequestCase{0x0C, 0x05, "a208000000000000"},
                                           BleRequestCase{0x04, 0x05, ""}, BleRequestCase{0x00, 0x00, ""}));

TEST(TheReplyTexts, FollowTheirFormats) {
    EXPECT_EQ(QueryFailureText(0x83, 0x02, 0x0A), "83020AF0");
    EXPECT_EQ(QueryFailureText(0x82, 0x05, 0x0B), "82050BF0");
    EXPECT_EQ(QueryFailureText(0x80, 0xFF, 0x04), "80ff04F0");
    EXPECT_EQ(AcknowledgementText(0x03), "03810101");
    EXPECT_EQ(AcknowledgementText(0xAB), "ab810101");
}

TEST(AQueryAcknowledgement, IsRecognisedByItsFirstFourBytesOnly) {
    EXPECT_TRUE(IsQueryAcknowledgement(FromHex("0406c001ffff").data()));
    EXPECT_FALSE(IsQueryAcknowledgement(FromHex("0406c000").data()));
    EXPECT_FALSE(IsQueryAcknowledgement(FromHex("040ca00c").data()));
}

}  // namespace
}  // namespace orvex::protocol
