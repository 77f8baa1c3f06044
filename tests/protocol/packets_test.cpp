// The wire layouts of commands and queries, byte for byte.
#include "protocol/Packets.h"

#include <gtest/gtest.h>

#include "support/Fakes.h"

namespace orvex::protocol {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

// A full command buffer: the message, zero beyond.
std::array<uint8_t, COMMAND_BUFFER_SIZE> Frame(const Bytes& message) {
    std::array<uint8_t, COMMAND_BUFFER_SIZE> frame{};
    std::copy(message.begin(), message.end(), frame.begin());
    return frame;
}

// A block frame (report byte 0x09, payload length `length`) whose frame byte
// i >= 4 is i.
WorkBuffer BlockW(uint8_t length) {
    std::array<uint8_t, COMMAND_BUFFER_SIZE> frame{};
    for (int i = 4; i < 300; ++i) frame[i] = static_cast<uint8_t>(i);
    frame[0] = 0x80;
    frame[2] = kBlockReport;
    frame[3] = length;
    return BuildWorkBuffer(frame.data());
}

template <size_t N>
std::string Hex(const std::array<uint8_t, N>& a, size_t from, size_t to) {
    return ToHex(Bytes(a.begin() + from, a.begin() + to));
}

TEST(AWorkBuffer, HoldsTheLPayloadBytesFromFrameByteTwoAndZerosBeyond) {
    EXPECT_EQ(Hex(BuildWorkBuffer(Frame(FromHex("8103aa04bbccddee")).data()), 0, 6), "aa04bbcc0000");
    // The work buffer's byte 1 is the length only when the length covers it.
    EXPECT_EQ(Hex(BuildWorkBuffer(Frame(FromHex("80015501")).data()), 0, 2), "5500");
    for (uint8_t b : BuildWorkBuffer(Frame({0x81}).data())) ASSERT_EQ(b, 0);
}

TEST(ASimpleOutputReport, OfBytes0502IsTheFrameDevicesExpect) {
    const auto report = BuildSimpleOutputReport(BuildWorkBuffer(Frame(FromHex("83020502")).data()), 2);
    EXPECT_EQ(Hex(report, 0, kOutputReportWriteLength), "04070005020012" + std::string(2 * 58, '0'));
}

TEST(ASimpleOutputReport, AboveSixtyBytesCountsModulo256AndPutsItsChecksumPastOffset64) {
    const auto report = BuildSimpleOutputReport(BlockW(0xFB), 0xFB);
    EXPECT_EQ(Hex(report, 0, 6), "04000009fb04");  // n = (251 + 5) % 256
    const uint16_t sum = Checksum16(report.data(), 254);
    EXPECT_EQ(report[254], sum >> 8);
    EXPECT_EQ(report[255], sum & 0xFF);
}

TEST(AnOutputBlockPacket, ZeroCarriesTheReportByteAndLThenItsChecksumAt62) {
    const auto p0 = BuildOutputBlockPacket(BlockW(0x80), 0);
    EXPECT_EQ(Hex(p0, 0, 7), "04400009800405");
    EXPECT_EQ(p0[61], 60);  // block byte 58 = frame byte 60
    const uint16_t sum = Checksum16(p0.data(), 62);
    EXPECT_EQ(Hex(p0, 62, 65), ToHex({static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum), 0}));
}

TEST(AnOutputBlockPacket, OneHasItsChecksumOverOffsets55And56AndTheRestOfDAfterIt) {
    const auto p1 = BuildOutputBlockPacket(BlockW(0xC8), 1);
    EXPECT_EQ(Hex(p1, 0, 4), "0439013d");  // block byte 59 = frame byte 61
    EXPECT_EQ(p1[54], 112);                // block byte 110
    const uint16_t sum = Checksum16(p1.data(), 55);
    EXPECT_EQ(p1[55], sum >> 8);
    EXPECT_EQ(p1[56], sum & 0xFF);
    EXPECT_EQ(Hex(p1, 57, 65), "7374757677000000");  // block bytes 113..117, then zeros
    // A frame of 0x6F payload bytes has nothing after the checksum.
    EXPECT_EQ(Hex(BuildOutputBlockPacket(BlockW(0x6F), 1), 57, 65), std::string(16, '0'));
}

struct FeatureBlockCase {
    uint8_t length;
    int k;
    std::string head;  // bytes 0..5
    int blockBytes;    // block bytes the packet carries
};

class AFeatureBlockPacket : public ::testing::TestWithParam<FeatureBlockCase> {};

TEST_P(AFeatureBlockPacket, CarriesItsHeaderAndItsSliceOfTheBlock) {
    const auto& c = GetParam();
    const WorkBuffer w = BlockW(c.length);
    const auto packet = BuildFeatureBlockPacket(w, c.k);
    EXPECT_EQ(Hex(packet, 0, 6), c.head);
    for (int j = 0; j < 60; ++j) {
        const int b = 60 * c.k + j;  // block byte b is work buffer byte 3 + b
        ASSERT_EQ(packet[4 + j], j < c.blockBytes ? w[3 + b] : 0) << "offset " << 4 + j;
    }
}

INSTANTIATE_TEST_SUITE_P(Packets, AFeatureBlockPacket,
                         ::testing::Values(FeatureBlockCase{0x6F, 0, "094004000506", 60},
                                           FeatureBlockCase{0x6F, 1, "094004014142", 60},
                                           FeatureBlockCase{0x83, 2, "090c04027d7e", 8},
                                           FeatureBlockCase{0xFF, 2, "090c04027d7e", 8}));

struct RequestCase {
    uint8_t code;
    uint8_t argument;
    std::string feature;  // 8-byte feature request
    std::string output;   // 12-byte output request
    std::string ble;      // 8-byte BLE request, empty: none
};

class AQueryRequest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(AQueryRequest, IsBuiltFromCodeAndArgumentForEachDeviceKind) {
    const auto& c = GetParam();
    const QueryCommand* q = FindQueryCommand(c.code);
    ASSERT_NE(q, nullptr);
    const auto feature = BuildFeatureQueryRequest(*q, c.argument);
    const auto output = BuildOutputQueryRequest(*q, c.argument);
    EXPECT_EQ(Hex(feature, 0, 8), c.feature);
    EXPECT_EQ(Hex(output, 0, 12), c.output);
    std::array<uint8_t, 8> ble{};
    EXPECT_EQ(BuildBleQueryRequest(c.code, c.argument, &ble), !c.ble.empty());
    if (!c.ble.empty()) {
        EXPECT_EQ(Hex(ble, 0, 8), c.ble);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Packets, AQueryRequest,
    ::testing::Values(RequestCase{0x04, 0xFF, "a004380000000000", "040ca00438000000000000ec", ""},
                      RequestCase{0x05, 0x01, "a0050f0002000000", "040ca0050f020000000000c6", ""},
                      RequestCase{0x06, 0x00, "a006090001000000", "040ca00609010000000000c0", ""},
                      RequestCase{0x08, 0x10, "a0083b0011000000", "040ca0083b11000000000104", ""},
                      RequestCase{0x09, 0x03, "a009830003000000", "040ca0096f0300000000012b", "a908020000000000"},
                      RequestCase{0x09, 0x00, "a009830000000000", "040ca0096f00000000000128", "a908ff0000000000"},
                      RequestCase{0x0A, 0x03, "a00a800004000000", "040ca00a8004040000000142", "a008030000000000"},
                      RequestCase{0x0A, 0xFF, "a00a800000000000", "040ca00a800000000000013a", "a008ff0000000000"},
                      RequestCase{0x0B, 0x33, "a00b080000000000", "040ca00b08000000000000c3", "a108000000000000"},
                      RequestCase{0x0C, 0x33, "a00c0a0000000000", "040ca00c0a000000000000c6", "a208000000000000"}));

TEST(TheReplyTexts, FollowTheirFormats) {
    EXPECT_EQ(QueryFailureText(0x83, 0x02, 0x0A), "83020AF0");
    EXPECT_EQ(QueryFailureText(0x82, 0x05, 0x0B), "82050BF0");
    EXPECT_EQ(QueryFailureText(0x80, 0xFF, 0x04), "80ff04F0");
    EXPECT_EQ(AcknowledgementText(0x03), "03810101");
    EXPECT_EQ(AcknowledgementText(0xAB), "ab810101");
}

}  // namespace
}  // namespace orvex::protocol
