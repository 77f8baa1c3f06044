// The BLE device object over the simulator's stack: which interfaces match,
// what is subscribed and registered, and how writes walk the interfaces.
#include <algorithm>

#include "platform/Text.h"
#include "tests/ble/BleFixture.h"

namespace orvex::test {
namespace {

const std::string kSuccess = "Write Success!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\r\n";
const std::string kFail = "Write fail!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\r\n";

class ABleDevice : public BleFixture {
protected:
    int Write(int slot, std::vector<uint8_t> bytes) {
        return slots->WriteBle(slot, bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    std::vector<std::string> WriteTraces() {
        std::vector<std::string> out;
        for (const auto& line : Out())
            if (line == kSuccess || line == kFail) out.push_back(line);
        return out;
    }
};

TEST_F(ABleDevice, FindsNothingBeforeTheFirstConnectBecauseItsVendorTextIsStillLowerCase) {
    AddDevice("pad", 0x0B13, "C0:FF:EE:00:00:01");
    Listed("/dev/sim/pad/0", 0x0B13);
    Start();
    ASSERT_TRUE(slots->OpenBleFamily(hid));
    EXPECT_EQ(slots->Device(0).VidText(), "VID&02045e");
    EXPECT_EQ(slots->Device(0).PidText(), "PID&0b13");

    EXPECT_EQ(Write(0, Bytes({0x01, 0x02})), 0);
    EXPECT_TRUE(Recording("write").empty());
    EXPECT_TRUE(Out().empty());

    Connect();
    EXPECT_EQ(slots->Device(0).VidText(), "VID&02045E");
    EXPECT_EQ(slots->Device(0).PidText(), "PID&0B13");
    EXPECT_EQ(Write(0, Bytes({0x01, 0x02, 0x03})), 1);
    const auto writes = Recording("write");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].bytes, Bytes({0x01, 0x02, 0x03}));
}

TEST_F(ABleDevice, TracesTheInterfaceTheRecordAndSuccessForOneWrite) {
    AddDevice("pad", 0x0B13, "C0:FF:EE:00:00:01");
    Listed("/dev/sim/pad/0", 0x0B13);
    Start();
    OpenAndConnect();
    const size_t before = Out().size();
    ASSERT_EQ(Write(0, Bytes({0xAB})), 1);
    const auto out = Out();
    ASSERT_EQ(out.size(), before + 3);
    EXPECT_EQ(out[before], ble.InterfaceName("pad") + "\r\n");
    EXPECT_EQ(out[before + 1].rfind("Value Add: ", 0), 0u);
    EXPECT_EQ(out[before + 1].substr(out[before + 1].size() - 2), "\r\n");
    EXPECT_EQ(out[before + 2], kSuccess);
}

TEST_F(ABleDevice, SubscribesTracesAndRegistersOnItsNotifyCharacteristic) {
    auto& device = AddDevice("pad", 0x0B13, "C0:FF:EE:00:00:01");
    device.cccd_handles = {0x15, 0xFE, 0xFF, 0x100};
    Listed("/dev/sim/pad/0", 0x0B13);
    Start();
    OpenAndConnect();

    // Only descriptors with handles below 255 get the subscription.
    const auto subscriptions = Recording("subscribe");
    ASSERT_EQ(subscriptions.size(), 2u);
    EXPECT_EQ(subscriptions[0].collection, 0x15);
    EXPECT_EQ(subscriptions[1].collection, 0xFE);
    EXPECT_EQ(subscriptions[0].bytes, Bytes({0x01, 0x00}));
    const std::vector<std::string> expected = {
        ble.InterfaceName("pad") + "\r\n",
        "setting notification for service handle 10\n",
        "setting notification for service handle 10\n",
        "Setting Notification for ServiceHandle 16\n",
    };
    EXPECT_EQ(Out(), expected);
    EXPECT_EQ(ble.RegistrationCount("pad"), 1u);
    EXPECT_TRUE(slots->Device(0).HasEventHandle());
}

TEST_F(ABleDevice, RegistersANotifyCharacteristicWithoutDescriptors) {
    AddDevice("pad", 0x0B13, "C0:FF:EE:00:00:01").cccd_handles.clear();
    Listed("/dev/sim/pad/0", 0x0B13);
    Start();
    OpenAndConnect();
    EXPECT_TRUE(Recording("subscribe").empty());
    EXPECT_EQ(ble.RegistrationCount("pad"), 1u);
}

TEST_F(ABleDevice, IgnoresAnInterfaceWhoseDeviceNodeIsDisconnected) {
    AddDevice("pad", 0x0B13, "C0:FF:EE:00:00:01").connected = false;
    Listed("/dev/sim/pad/0", 0x0B13);
    Start();
    OpenAndConnect();
    EXPECT_EQ(slots->Device(0).ConnectedCount(), 0);
    EXPECT_EQ(ble.RegistrationCount("pad"), 0u);
    EXPECT_FALSE(slots->Device(0).HasEventHandle());
    EXPECT_EQ(Write(0, Bytes({0x01})), 0);
    EXPECT_TRUE(Out().empty());
}

TEST_F(ABleDevice, MatchesEveryInterfaceOfItsTextsWhenANodeGivesNoToken) {
    // "far" is not connected, but "blank" has no address: its empty token is
    // found in every interface name.
    AddDevice("far", 0x0B13, "C0:FF:EE:00:00:01").connected = false;
    AddDevice("blank", 0x0C00, "");
    Listed("/dev/sim/far/0", 0x0B13);
    Start();
    OpenAndConnect();
    EXPECT_EQ(slots->Device(0).ConnectedCount(), 1);
    EXPECT_EQ(ble.RegistrationCount("far"), 1u);
    EXPECT_EQ(ble.RegistrationCount("blank"), 0u);
}

TEST_F(ABleDevice, RegistersOnBothOfTwoMatchingInterfacesAndWritesOnlyTheFirst) {
    AddDevice("one", 0x0B13, "C0:FF:EE:00:00:01");
    AddDevice("two", 0x0B13, "C0:FF:EE:00:00:02");
    Listed("/dev/sim/one/0", 0x0B13);
    Listed("/dev/sim/two/0", 0x0B13);
    Start();
    ASSERT_TRUE(slots->OpenBleFamily(hid));
    ASSERT_EQ(slots->Count(), 1);  // back to back: one run
    Connect();
    EXPECT_EQ(ble.RegistrationCount("one"), 1u);
    EXPECT_EQ(ble.RegistrationCount("two"), 1u);

    EXPECT_EQ(Write(0, Bytes({0x42})), 1);
    const auto writes = Recording("write");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].device, "one");

    // Both registrations deliver, and an open step releases both.
    ASSERT_EQ(ble.Notify("one", Bytes({0x05, 1, 2, 3}), nullptr), 1);
    ASSERT_EQ(ble.Notify("two", Bytes({0x06, 1, 2, 3}), nullptr), 1);
    ASSERT_TRUE(broadcasts.WaitForCount(2, 10s));
    EXPECT_EQ(broadcasts.Texts(), (std::vector<std::string>{"840105010203", "840106010203"}));
    slots->OpenBleFamily(hid);
    EXPECT_TRUE(slots->WaitForConnect(kWorkerWait));  // the release runs on the BLE worker
    EXPECT_EQ(ble.RegistrationCount("one") + ble.RegistrationCount("two"), 0u);
}

TEST_F(ABleDevice, MovesOnToTheNextInterfaceWhenAWriteFailsOrFindsNoWritableCharacteristic) {
    AddDevice("readonly", 0x0B13, "C0:FF:EE:00:00:01").writable = false;
    AddDevice("gone", 0x0B13, "C0:FF:EE:00:00:02");
    AddDevice("good", 0x0B13, "C0:FF:EE:00:00:03");
    Listed("/dev/sim/readonly/0", 0x0B13);
    Start();
    OpenAndConnect();
    // Out of reach after the scan: its interface still matches, its write fails.
    ASSERT_TRUE(ble.SetConnected("gone", false, nullptr));

    EXPECT_EQ(Write(0, Bytes({0x10, 0x20})), 1);
    EXPECT_EQ(WriteTraces(), (std::vector<std::string>{kFail, kSuccess}));
    const auto writes = Recording("write");
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].device, "gone");
    EXPECT_TRUE(writes[0].rejected);
    EXPECT_EQ(writes[1].device, "good");

    ASSERT_TRUE(ble.SetConnected("good", false, nullptr));
    EXPECT_EQ(Write(0, Bytes({0x10})), 0);
}

TEST_F(ABleDevice, RefusesWritesThatDoNotFitTheValueRecord) {
    AddDevice("pad", 0x0B13, "C0:FF:EE:00:00:01");
    Listed("/dev/sim/pad/0", 0x0B13);
    Start();
    OpenAndConnect();
    std::vector<uint8_t> big(997, 0x11);
    EXPECT_EQ(Write(0, big), 0);
    big.resize(996);
    EXPECT_EQ(Write(0, big), 1);
    EXPECT_EQ(slots->WriteBle(0, big.data(), -1), 0);
    EXPECT_EQ(slots->WriteBle(10, big.data(), 1), 0);
    EXPECT_EQ(Recording("write").size(), 1u);
}

TEST(ABleTextHelper, TakesTheSecondUnderscoreTokenAsStrtokWould) {
    struct Case {
        const char* text;
        bool found;
        const char* token;
    };
    const Case cases[] = {
        {"BTHLE\\Dev_c0ffee000001", true, "c0ffee000001"},
        {"__a__b__c", true, "b"},
        {"BTHLE\\Dev_", false, ""},
        {"BTHLE\\Dev", false, ""},
        {"", false, ""},
        {"a_b", true, "b"},
    };
    for (const auto& c : cases) {
        std::string token;
        EXPECT_EQ(BleSecondToken(c.text, &token), c.found) << c.text;
        if (c.found) {
            EXPECT_EQ(token, c.token) << c.text;
        }
    }
    EXPECT_EQ(AsciiUpper("vid&02045e_\xC3\xA9z"), "VID&02045E_\xC3\xA9Z");
}

}  // namespace
}  // namespace orvex::test
