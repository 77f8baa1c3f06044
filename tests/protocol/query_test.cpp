// Queries over fake collections: requests, pacing, answers and failure texts.
#include <gtest/gtest.h>

#include "ProtocolFixture.h"

namespace orvex::test {
namespace {

using Op = FakeHidDevice::Op;

// Answer byte k of a device: its own pattern, so texts show where bytes came from.
uint8_t AnswerByte(int k) { return static_cast<uint8_t>(0xA0 + k * 7); }

// ---------------------------------------------------------------------------
// Feature-report devices (0x80, 0x81)

class AFeatureQueryDevice : public ProtocolTest {
protected:
    // Ready at once; feature report c answers N bytes from AnswerByte, keeping c first.
    std::shared_ptr<FakeHidDevice> PlaceReady(uint8_t family, uint8_t id) {
        auto device = Place(family, 0, id);
        device->onGetFeature = [this](uint8_t* data, size_t length) {
            m_timeline.Add("get " + ToHex(Bytes{data[0]}) + " " + std::to_string(length));
            if (data[0] == 0xA0) {
                data[1] = m_status;
                return 8;
            }
            if (m_dataFails) return -1;
            for (size_t k = 1; k < length; ++k) data[k] = AnswerByte(static_cast<int>(k));
            return static_cast<int>(length);
        };
        return device;
    }
    uint8_t m_status = 1;
    bool m_dataFails = false;
};

TEST_F(AFeatureQueryDevice, IsAskedPacedAndAnswersWith131BytesForCode09) {
    auto device = PlaceReady(0x81, 0x02);
    EXPECT_EQ(Query("f081020903"), 1);
    EXPECT_EQ(m_timeline.Events(),
              (Events{"sleep 100", "send 8", "sleep 500", "get a0 8", "sleep 100", "get 09 131"}));
    EXPECT_EQ(ToHex(device->Calls(Op::SendFeature)[0].bytes), "a009830003000000");
    const auto texts = m_broadcasts.Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].size(), 4u + 2 * 131);
    EXPECT_EQ(texts[0].substr(0, 8), "810209A7");
    // Traced as it is broadcast, then a line end of its own.
    EXPECT_EQ(m_log.Traces(), (std::vector<std::string>{texts[0], "\r\n"}));
}

TEST_F(AFeatureQueryDevice, SendsARejectedRequestAgainWithAPauseAfterEachSend) {
    auto device = PlaceReady(0x80, 0x02);
    int rejections = 2;
    device->onSendFeature = [&](const Bytes&) {
        m_timeline.Add("send");
        return rejections-- > 0 ? -1 : 8;
    };
    Query("f080020c00");
    EXPECT_EQ(m_timeline.Events(), (Events{"sleep 100", "send", "sleep 500", "send", "sleep 500", "send",
                                           "sleep 500", "get a0 8", "sleep 100", "get 0c 10"}));
}

TEST_F(AFeatureQueryDevice, AsksForTheStatusEvenAfterTenRejectedSends) {
    auto device = PlaceReady(0x80, 0x02);
    device->onSendFeature = [](const Bytes&) { return -1; };
    EXPECT_EQ(Query("f080020c00"), 1);
    EXPECT_EQ(device->Calls(Op::SendFeature).size(), 10u);
    std::vector<long> sleeps = {100};
    sleeps.insert(sleeps.end(), 10, 500);
    sleeps.push_back(100);
    EXPECT_EQ(m_clock.Sleeps(), sleeps);
}

TEST_F(AFeatureQueryDevice, ThatIsNotReadyEndsTheQueryWithoutAnyText) {
    PlaceReady(0x81, 0x02);
    m_status = 2;
    EXPECT_EQ(Query("f081020400"), 0);
    EXPECT_EQ(m_timeline.Events(), (Events{"sleep 100", "send 8", "sleep 500", "get a0 8", "sleep 100"}));
    EXPECT_TRUE(m_broadcasts.Texts().empty());
}

TEST_F(AFeatureQueryDevice, WhoseStatusReadFailsIsNotReady) {
    auto device = Place(0x81, 0, 0x02);
    device->onGetFeature = [](uint8_t* data, size_t) {
        data[1] = 1;  // whatever the buffer holds, the read failed
        return -1;
    };
    EXPECT_EQ(Query("f081020400"), 0);
    EXPECT_EQ(device->Calls(Op::GetFeature).size(), 1u);
    EXPECT_TRUE(m_broadcasts.Texts().empty());
}

TEST_F(AFeatureQueryDevice, WhoseAnswerCannotBeReadGetsTheFailureText) {
    PlaceReady(0x81, 0x02);
    m_dataFails = true;
    EXPECT_EQ(Query("f081020a03"), 0);
    EXPECT_EQ(m_broadcasts.Texts(), (std::vector<std::string>{"81020AF0"}));
    EXPECT_EQ(m_log.Traces(), (std::vector<std::string>{"81020AF0", "\r\n"}));
}

struct FeatureReplyCase {
    uint8_t code;
    uint8_t argument;
    uint8_t value;         // request byte 4
    size_t readLength;     // N
    std::string text;      // the whole success text
};

class AFeatureQueryReply : public AFeatureQueryDevice, public ::testing::WithParamInterface<FeatureReplyCase> {};

TEST_P(AFeatureQueryReply, CarriesTheAnswerBytesInItsFormat) {
    const auto& c = GetParam();
    auto device = PlaceReady(0x80, 0x05);
    EXPECT_EQ(Query("f08005" + ToHex(Bytes{c.code, c.argument})), 1);
    EXPECT_EQ(device->Calls(Op::SendFeature)[0].bytes[4], c.value);
    auto gets = device->Calls(Op::GetFeature);
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_EQ(gets[1].length, c.readLength);
    ASSERT_EQ(m_broadcasts.Texts().size(), 1u);
    EXPECT_EQ(m_broadcasts.Texts()[0], c.text);
}

std::string UpperAnswer(uint8_t code, int n) {
    std::string s = ToHex(Bytes{code});
    for (int k = 1; k < n; ++k) s += ToHex(Bytes{AnswerByte(k)});
    for (auto& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Queries, AFeatureQueryReply,
    ::testing::Values(FeatureReplyCase{0x04, 0xFF, 0x00, 56, "8005" + UpperAnswer(0x04, 56)},
                      FeatureReplyCase{0x05, 0x01, 0x02, 15, "8005" + UpperAnswer(0x05, 15)},
                      FeatureReplyCase{0x06, 0x01, 0x02, 9, "800506a7aeb5bc"},
                      FeatureReplyCase{0x08, 0x01, 0x02, 59, "8005" + UpperAnswer(0x08, 59)},
                      FeatureReplyCase{0x09, 0x00, 0x00, 131, "8005" + UpperAnswer(0x09, 131)},
                      FeatureReplyCase{0x0A, 0x03, 0x04, 128, "8005" + UpperAnswer(0x0A, 128)},
                      FeatureReplyCase{0x0B, 0x03, 0x00, 8, "80050ba7aeb5"},
                      FeatureReplyCase{0x0C, 0x03, 0x00, 10, "80050ca7aeb5bcc3"}),
    [](const auto& info) { return "Code" + ToHex(Bytes{info.param.code}); });

// ---------------------------------------------------------------------------
// Output-report devices (0x83, 0x85)

class AnOutputQueryDevice : public ProtocolTest {
protected:
    // Answers each request as the device contract says: acknowledgement, then
    // the data reports of the code, answer bytes from offset 3.
    std::shared_ptr<FakeHidDevice> PlaceAnswering(uint8_t family, uint8_t id) {
        auto device = Place(family, 0, id);
        std::weak_ptr<FakeHidDevice> weak = device;
        device->onWrite = [this, weak](const Bytes& request) {
            m_timeline.Add("write " + std::to_string(request.size()));
            auto d = weak.lock();
            ++m_requests;
            if (m_requests <= m_silentRequests) return static_cast<int>(request.size());
            d->QueueInput(m_ack);
            const uint8_t code = request[3];
            const int reports = code == 0x09 ? 2 : code == 0x0A ? 3 : 1;
            for (int r = 0; r < reports && r < m_dataReports; ++r) {
                Bytes report(64, 0);
                report[0] = 0x04;
                for (int k = 3; k < 64; ++k) report[k] = static_cast<uint8_t>(0x10 * r + k);
                if (r == 0 && (code == 0x09 || code == 0x0A || code == 0x0B))
                    report[3] = m_requests <= m_wrongMarkers ? 0x00 : code;
                d->QueueInput(report);
            }
            return static_cast<int>(request.size());
        };
        return device;
    }
    Bytes m_ack = {0x04, 0x06, 0xC0, 0x01};
    int m_requests = 0;
    int m_silentRequests = 0;  // the first requests get no answer at all
    int m_wrongMarkers = 0;    // the first answers carry a wrong marker
    int m_dataReports = 3;     // data reports sent per answer, at most
};

TEST_F(AnOutputQueryDevice, IsAskedWithTwelveBytesAndPacedPerRead) {
    auto device = PlaceAnswering(0x83, 0x02);
    EXPECT_EQ(Query("f083020c00"), 1);
    EXPECT_EQ(m_timeline.Events(), (Events{"write 12", "sleep 100", "sleep 30"}));
    EXPECT_EQ(ToHex(device->Calls(Op::Write)[0].bytes), "040ca00c0a000000000000c6");
    auto reads = device->Calls(Op::Read);
    ASSERT_EQ(reads.size(), 2u);
    for (auto& r : reads) {
        EXPECT_EQ(r.length, 64u);
        EXPECT_EQ(r.timeout, 1000);
    }
    EXPECT_EQ(m_broadcasts.Texts(), (std::vector<std::string>{"8302030405060708"}));
    EXPECT_EQ(m_log.Traces(), (std::vector<std::string>{"8302030405060708", "\r\n"}));
}

TEST_F(AnOutputQueryDevice, PausesBetweenTheDataReportsOfCode0A) {
    auto device = PlaceAnswering(0x85, 0x02);
    Query("f085020a03");
    EXPECT_EQ(m_timeline.Events(), (Events{"write 12", "sleep 100", "sleep 30", "sleep 30", "sleep 30"}));
    EXPECT_EQ(ToHex(device->Calls(Op::Write)[0].bytes), "040ca00a8004040000000142");
    EXPECT_EQ(device->Calls(Op::Read).size(), 4u);
}

struct OutputReplyCase {
    uint8_t code;
    size_t replyBytes;
    std::string head;  // start of the text
    std::string tail;  // end of the text
};

class AnOutputQueryReply : public AnOutputQueryDevice, public ::testing::WithParamInterface<OutputReplyCase> {};

TEST_P(AnOutputQueryReply, IsAssembledFromTheDataReports) {
    const auto& c = GetParam();
    PlaceAnswering(0x83, 0x02);
    EXPECT_EQ(Query("f08302" + ToHex(Bytes{c.code}) + "00"), 1);
    ASSERT_EQ(m_broadcasts.Texts().size(), 1u);
    const std::string text = m_broadcasts.Texts()[0];
    EXPECT_EQ(text.size(), 4 + 2 * c.replyBytes);
    EXPECT_EQ(text.substr(0, c.head.size()), c.head);
    EXPECT_EQ(text.substr(text.size() - c.tail.size()), c.tail);
}

INSTANTIATE_TEST_SUITE_P(
    Queries, AnOutputQueryReply,
    ::testing::Values(
        // report 0 byte k is k, report 1 byte k is 0x10 + k, report 2 byte k is 0x20 + k
        OutputReplyCase{0x04, 56, "830203040506", "393A"}, OutputReplyCase{0x05, 15, "83020304", "1011"},
        OutputReplyCase{0x06, 5, "83020304050607", "0607"}, OutputReplyCase{0x08, 59, "83020304", "3C3D"},
        // 59 + 59 answer bytes, then 13 zero bytes
        OutputReplyCase{0x09, 131, "8302090405", "4A4B4C4D" + std::string(26, '0')},
        // 59 + 59 + 10
        OutputReplyCase{0x0A, 128, "83020A0405", "4A4B4C4D232425262728292A2B2C"},
        OutputReplyCase{0x0B, 4, "83020b040506", "83020b040506"},
        OutputReplyCase{0x0C, 6, "830203040506", "0708"}),
    [](const auto& info) { return "Code" + ToHex(Bytes{info.param.code}); });

TEST_F(AnOutputQueryDevice, RepeatsTheAttemptAfterAWrongMarker) {
    auto device = PlaceAnswering(0x83, 0x02);
    m_wrongMarkers = 1;
    EXPECT_EQ(Query("f083020b00"), 1);
    EXPECT_EQ(device->Calls(Op::Write).size(), 2u);
    EXPECT_EQ(m_broadcasts.Texts(), (std::vector<std::string>{"83020b040506"}));
}

TEST_F(AnOutputQueryDevice, DropsTheReportsOfAnAbandonedAttemptBeforeTheNext) {
    // A wrong marker on code 0x09 leaves the second data report unread.
    auto device = PlaceAnswering(0x85, 0x02);
    m_wrongMarkers = 2;
    EXPECT_EQ(Query("f085020903"), 1);
    EXPECT_EQ(device->Calls(Op::Write).size(), 3u);
    ASSERT_EQ(m_broadcasts.Texts().size(), 1u);
    EXPECT_EQ(m_broadcasts.Texts()[0].substr(0, 10), "8502090405");
    EXPECT_EQ(device->PendingInput(), 0u);
}

TEST_F(AnOutputQueryDevice, ThatNeverAnswersCostsTenAttemptsAndGetsTheFailureText) {
    auto device = PlaceAnswering(0x83, 0x02);
    m_silentRequests = 100;
    EXPECT_EQ(Query("f083020a03"), 0);
    EXPECT_EQ(device->Calls(Op::Write).size(), 10u);
    std::vector<long> sleeps;
    for (int k = 0; k < 10; ++k) sleeps.insert(sleeps.end(), {100, 30});
    EXPECT_EQ(m_clock.Sleeps(), sleeps);
    for (auto& r : device->Calls(Op::Read)) EXPECT_EQ(r.timeout, 1000);
    EXPECT_EQ(m_broadcasts.Texts(), (std::vector<std::string>{"83020AF0"}));
    EXPECT_EQ(m_log.Traces(), (std::vector<std::string>{"83020AF0", "\r\n"}));
}

TEST_F(AnOutputQueryDevice, AnswersAfterNineSilentAttempts) {
    auto device = PlaceAnswering(0x83, 0x02);
    m_silentRequests = 9;
    EXPECT_EQ(Query("f083020c00"), 1);
    EXPECT_EQ(device->Calls(Op::Write).size(), 10u);
    EXPECT_EQ(m_broadcasts.Texts(), (std::vector<std::string>{"8302030405060708"}));
}

TEST_F(AnOutputQueryDevice, ThatRejectsTheWriteIsNotReadFrom) {
    auto device = Place(0x85, 0, 0x02);
    device->onWrite = [](const Bytes&) { return -1; };
    EXPECT_EQ(Query("f085020500"), 0);
    EXPECT_TRUE(device->Calls(Op::Read).empty());
    EXPECT_EQ(m_clock.Sleeps(), std::vector<long>(10, 100));
    EXPECT_EQ(m_broadcasts.Texts(), (std::vector<std::string>{"850205F0"}));
}

TEST_F(AnOutputQueryDevice, ThatSendsAnotherReportInsteadOfTheAcknowledgementFails) {
    PlaceAnswering(0x83, 0x02);
    m_ack = {0x04, 0x06, 0xC0, 0x00};
    EXPECT_EQ(Query("f083020600"), 0);
    EXPECT_EQ(m_broadcasts.Texts(), (std::vector<std::string>{"830206F0"}));
}

// The device acknowledges but its data never comes: the page hears of a
// failure, not an answer of zeros or of acknowledgement bytes.
TEST_F(AnOutputQueryDevice, ThatAcknowledgesButSendsNoDataGetsTheFailureText) {
    for (uint8_t code : {0x04, 0x06, 0x0C}) {
        m_broadcasts.Clear();
        m_requests = 0;
        auto device = PlaceAnswering(0x83, 0x02);
        m_dataReports = 0;
        EXPECT_EQ(Query("f08302" + ToHex(Bytes{code}) + "00"), 0);
        EXPECT_EQ(device->Calls(Op::Write).size(), 10u);
        EXPECT_EQ(m_broadcasts.Texts(), (std::vector<std::string>{protocol::QueryFailureText(0x83, 0x02, code)}));
    }
}

TEST_F(AnOutputQueryDevice, ThatSendsOnlyPartOfItsDataGetsTheFailureText) {
    PlaceAnswering(0x85, 0x02);
    m_dataReports = 2;  // code 0x0A needs three
    EXPECT_EQ(Query("f085020a00"), 0);
    EXPECT_EQ(m_broadcasts.Texts(), (std::vector<std::string>{"85020AF0"}));
}

// ---------------------------------------------------------------------------

class AQueryFrame : public ProtocolTest {};

TEST_F(AQueryFrame, ToFamily82GetsTheFailureTextAtOnceWithoutDeviceTraffic) {
    auto device = Place(0x82, 0, 0x05);
    EXPECT_EQ(Query("f082050b00"), 0);
    EXPECT_EQ(m_broadcasts.Texts(), (std::vector<std::string>{"82050BF0"}));
    EXPECT_EQ(m_log.Traces(), (std::vector<std::string>{"82050BF0", "\r\n"}));
    EXPECT_TRUE(device->Calls().empty());
    EXPECT_TRUE(m_clock.Sleeps().empty());
}

TEST_F(AQueryFrame, ToFamily82WithoutTheDeviceIdGetsNothing) {
    Place(0x82, 0, 0x05);
    EXPECT_EQ(Query("f082060b00"), 0);
    EXPECT_TRUE(m_broadcasts.Texts().empty());
}

TEST_F(AQueryFrame, AsksOnlyTheLowestSlotWithTheId) {
    auto first = Place(0x83, 1, 0x02);
    auto second = Place(0x83, 3, 0x02);
    Query("f083020c00");
    EXPECT_EQ(first->Calls(Op::Write).size(), 10u);
    EXPECT_TRUE(second->Calls().empty());
}

TEST_F(AQueryFrame, WhoseLowestSlotHasNoControlHandleGetsNothing) {
    PlaceHandle(0x83, 0, 0x02, nullptr);
    auto second = Place(0x83, 1, 0x02);
    EXPECT_EQ(Query("f083020c00"), 0);
    EXPECT_TRUE(second->Calls().empty());
    EXPECT_TRUE(m_broadcasts.Texts().empty());
}

TEST_F(AQueryFrame, WithAnUnknownCodeOrFamilyGetsNothing) {
    auto device = Place(0x83, 0, 0x02);
    auto feature = Place(0x80, 0, 0x02);
    auto silent = Place(0x82, 0, 0x02);
    for (const char* frame : {"f083020700", "f080020000", "f08202ff00", "f086020c00", "f000020c00", "f0"})
        EXPECT_EQ(Query(frame), 0) << frame;
    EXPECT_TRUE(device->Calls().empty());
    EXPECT_TRUE(feature->Calls().empty());
    EXPECT_TRUE(m_broadcasts.Texts().empty());
    EXPECT_TRUE(m_clock.Sleeps().empty());
}

TEST_F(AQueryFrame, RunsItsExchangeWithoutHoldingTheFamilyLock) {
    auto device = Place(0x81, 0, 0x02);
    std::vector<bool> free;
    device->onSendFeature = [&](const Bytes&) {
        free.push_back(FamilyLockFree(0x81));
        return 8;
    };
    m_duringSleep = [&](size_t) { free.push_back(FamilyLockFree(0x81)); };
    Query("f081020c00");
    EXPECT_EQ(free, std::vector<bool>(4, true));
}

}  // namespace
}  // namespace orvex::test
