#include "bridge/hex.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/Capture.h"
#include "support/Pages.h"

namespace orvex {
namespace {

struct DecodeCase {
    std::string text;
    std::vector<uint8_t> bytes;
};

TEST(HexToBytes, DecodesEveryAcceptedPairForm) {
    const std::vector<DecodeCase> cases = {
        {"", {}},        {"0a0B", {0x0A, 0x0B}},
        {"F0", {0xF0}},  {"f0", {0xF0}},
        {"1z", {0x01}},                   // conversion stops at the first non-hex character
        {" 1", {0x01}},                   // leading white space is skipped
        {"\t1", {0x01}}, {"+1", {0x01}},  // a sign is accepted
        {"-1", {0xFF}},                   // low 8 bits of the converted value
        {"-f", {0xF1}},  {"00ff7F80", {0x00, 0xFF, 0x7F, 0x80}},
    };
    for (const auto& c : cases) EXPECT_EQ(hex_to_bytes(c.text), c.bytes) << "text '" << c.text << "'";
}

TEST(HexToBytes, RejectsTextsThatCannotBeDecodedWithTheExactMessages) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1", "Hex string must have an even number of characters"},
        {"0a0", "Hex string must have an even number of characters"},
        {"zz", "invalid stoi argument"},
        {"0x", "invalid stoi argument"},
        {"0X", "invalid stoi argument"},
        {"x1", "invalid stoi argument"},
        {"  ", "invalid stoi argument"},
        {"+-", "invalid stoi argument"},
        {"0a zz", "Hex string must have an even number of characters"},
        {"0azz", "invalid stoi argument"},  // no partial result for a bad later pair
    };
    for (const auto& [text, message] : cases) {
        try {
            hex_to_bytes(text);
            ADD_FAILURE() << "text '" << text << "' decoded";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), message) << "text '" << text << "'";
        }
    }
}

TEST(BroadcastHex, SendsLowerCaseHeaderAndUpperCaseDataAndTracesItThenALineEnd) {
    test::LogCapture log;
    test::FakePages sent;
    const uint8_t data[] = {0xAB, 0x01};
    broadcast_hex(sent, 0x83, 0x0A, 2, data);
    EXPECT_EQ(sent.Texts(), std::vector<std::string>{"830aAB01"});
    EXPECT_EQ(log.Traces(), (std::vector<std::string>{"830aAB01", "\r\n"}));
}

TEST(BroadcastHex, SendsTheHeaderAloneForLengthZeroOrLess) {
    test::LogCapture log;
    test::FakePages sent;
    broadcast_hex(sent, 0x84, 0x05, 0, nullptr);
    broadcast_hex(sent, 0x84, 0x05, -3, nullptr);
    EXPECT_EQ(sent.Texts(), (std::vector<std::string>{"8405", "8405"}));
}

TEST(BroadcastHex, EncodesEveryByteValue) {
    test::LogCapture log;
    test::FakePages sent;
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    broadcast_hex(sent, 0xFF, 0x00, 256, all.data());
    const std::string text = sent.Texts().at(0);
    ASSERT_EQ(text.size(), 4u + 512u);
    EXPECT_EQ(text.substr(0, 8), "ff000001");
    EXPECT_EQ(text.substr(text.size() - 4), "FEFF");
    EXPECT_EQ(hex_to_bytes(text.substr(4)), all);
}

}  // namespace
}  // namespace orvex
