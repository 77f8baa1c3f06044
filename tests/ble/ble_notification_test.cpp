// What BLE notifications become upstream: the texts of each kind, short
// notifications, the stored device id, and delivery through the stack.
#include <string>

#include "tests/ble/BleFixture.h"

namespace orvex::test {
namespace {

std::string Hex(const std::vector<uint8_t>& bytes, bool upper) {
    static const char* lower = "0123456789abcdef";
    static const char* capital = "0123456789ABCDEF";
    const char* digits = upper ? capital : lower;
    std::string text;
    for (uint8_t b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 15]);
    }
    return text;
}

std::vector<uint8_t> Counting(uint8_t first, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i);
    bytes[0] = first;
    return bytes;
}

// "84", the id, then the body in upper case.
std::string LongText(uint8_t id, std::vector<uint8_t> head, const std::vector<uint8_t>& data, size_t from,
                     size_t bodyLength) {
    std::vector<uint8_t> body = std::move(head);
    for (size_t i = from; i < data.size() && body.size() < bodyLength; ++i) body.push_back(data[i]);
    body.resize(bodyLength, 0);
    return "84" + Hex({id}, false) + Hex(body, true);
}

class ABleNotification : public BleFixture {
protected:
    void SetUp() override {
        Start();
        Listed("/dev/sim/a/0", 0x0B13);
        Listed("/dev/sim/b/0", 0x0ACE);
        slots->OpenBleFamily(hid);
    }
    std::string Send(int slot, const std::vector<uint8_t>& value) {
        broadcasts.Clear();
        slots->OnValueChanged(slot, value.data(), value.size());
        const auto texts = broadcasts.Texts();
        return texts.size() == 1 ? texts[0] : "<" + std::to_string(texts.size()) + " texts>";
    }
};

TEST_F(ABleNotification, BecomesTheTextOfItsKind) {
    struct Row {
        const char* what;
        std::vector<uint8_t> value;
        std::string text;
    };
    const auto a0 = Counting(0xA0, 126);
    const auto a9 = Counting(0xA9, 130);
    const Row rows[] = {
        {"plain", Bytes({0x07, 0x11, 0x22, 0x33, 0x44}), "840107112233"},
        {"0xA1", Bytes({0xA1, 0xB2, 0xC3, 0xD4}), "84000B08b2c3"},
        {"0xA2", Bytes({0xA2, 0x0A, 0xBC, 0xDE, 0xF0, 0x99}), "84000C0A0abcdef0"},
        {"0xA0 whole", a0, LongText(0, {0x0A, 0x80, 0x01}, a0, 1, 128)},
        {"0xA9 whole", a9, LongText(0, {0x09, 0x83, 0x02}, a9, 2, 131)},
        // Short ones: missing bytes read as zero.
        {"plain of one byte", Bytes({0x05}), "840105000000"},
        {"0xA1 alone", Bytes({0xA1}), "84000B080000"},
        {"0xA2 of two", Bytes({0xA2, 0x01}), "84000C0A01000000"},
        {"0xA9 alone", Bytes({0xA9}), LongText(0, {0x09, 0x83, 0x01}, {}, 0, 131)},
        {"0xA0 alone", Bytes({0xA0}), LongText(0, {0x0A, 0x80, 0x01}, {}, 0, 128)},
    };
    for (const auto& row : rows) {
        // Slot 1, so that plain notifications there leave slot 0's id alone.
        const int slot = std::string(row.what).rfind("plain", 0) == 0 ? 1 : 0;
        EXPECT_EQ(Send(slot, row.value), row.text) << row.what;
    }
    EXPECT_EQ(LongText(0, {0x0A, 0x80, 0x01}, a0, 1, 128).size(), 260u);
    EXPECT_EQ(LongText(0, {0x09, 0x83, 0x02}, a9, 2, 131).size(), 266u);
}

TEST_F(ABleNotification, StoresThePlainDeviceIdAfterForwardingAndCarriesItInLaterAnswers) {
    EXPECT_EQ(Send(0, Bytes({0x07, 0x11, 0x22, 0x33})), "840107112233");
    EXPECT_EQ(slots->DeviceId(0), 7);
    EXPECT_EQ(Send(0, Bytes({0xA1, 0x01, 0x02})), "84070B080102");
    EXPECT_EQ(Send(0, Bytes({0x09, 0x00, 0x00, 0x00})), "840109000000");
    EXPECT_EQ(Send(0, Bytes({0xA2, 1, 2, 3, 4})), "84090C0A01020304");
    EXPECT_EQ(slots->DeviceId(1), 0);
}

TEST_F(ABleNotification, CarriesTheBlockIndexPlusOneWrappingAndCutsLongAnswersToTheBody) {
    slots->SetBleBlockIndex(0, 0xFF);
    const auto longA0 = Counting(0xA0, 200);
    EXPECT_EQ(Send(0, longA0), LongText(0, {0x0A, 0x80, 0x00}, longA0, 1, 128));
    slots->SetBleBlockIndex(0, 4);
    const auto shortA0 = Counting(0xA0, 10);
    const std::string text = Send(0, shortA0);
    EXPECT_EQ(text,
              "8400"
              "0A8005"
              "010203040506070809" +
                  std::string(2 * (128 - 12), '0'));

    auto a9 = Counting(0xA9, 300);
    a9[1] = 0xFF;
    EXPECT_EQ(Send(0, a9), LongText(0, {0x09, 0x83, 0x00}, a9, 2, 131));
}

TEST_F(ABleNotification, WritesItsLinesToStdoutAndItsShortAnswerTracesInTwoParts) {
    slots->OnValueChanged(0, nullptr, 0);
    EXPECT_TRUE(broadcasts.Texts().empty());
    EXPECT_EQ(Out(), std::vector<std::string>{"datasize 0\n"});
    Send(0, Bytes({0xA1, 1, 2}));
    EXPECT_EQ(Out(), (std::vector<std::string>{"datasize 0\n", "HR "}));
    EXPECT_EQ(logs.Traces(), (std::vector<std::string>{"84000B080102", "\r\n"}));
    Send(0, Bytes({0x01, 2, 3, 4}));
    EXPECT_EQ(logs.Traces().size(), 2u);  // plain notifications are not traced
}

TEST_F(ABleNotification, ReachesEverySlotRegisteredOnTheDeviceThroughItsOwnCallback) {
    // Two slots of one product with another between them: both register on
    // the same interface, so each notification goes out twice.
    AddDevice("pad", 0x0B13, "C0:FF:EE:00:00:01");
    for (const auto& device : pending) ble.AddDevice(device);
    hid.Unplug("ble");
    Listed("/dev/sim/pad/0", 0x0B13);
    Listed("/dev/sim/other/0", 0x0ACE);
    Listed("/dev/sim/pad/1", 0x0B13);
    OpenAndConnect();
    ASSERT_EQ(ble.RegistrationCount("pad"), 2u);
    broadcasts.Clear();
    ASSERT_EQ(ble.Notify("pad", Bytes({0x0C, 0x01, 0x02, 0x03}), nullptr), 2);
    ASSERT_TRUE(broadcasts.WaitForCount(2, 10s));
    EXPECT_EQ(broadcasts.Texts(), (std::vector<std::string>{"84010c010203", "84010c010203"}));
    EXPECT_TRUE(WaitUntil([&] { return slots->DeviceId(0) == 0x0C && slots->DeviceId(2) == 0x0C; }));
    EXPECT_EQ(slots->DeviceId(1), 0);
    // An empty value reaches both as well.
    ASSERT_EQ(ble.Notify("pad", {}, nullptr), 2);
    ASSERT_TRUE(logs.WaitForLine("datasize 0\n", 10s));
}

}  // namespace
}  // namespace orvex::test
