// Queries to fake devices: requests, pauses, answers and failure texts.
#include <gtest/gtest.h>

#include "ProtocolFixture.h"
#include "platform/Text.h"

namespace orvex::test {
namespace {

// Byte k (k >= 1) of a feature device's answer.
uint8_t AnswerByte(size_t k) {
    return static_cast<uint8_t>(0xA0 + k * 7);
}

class AQuery : public ProtocolTest {
protected:
    // A feature device: the status report says m_status, report c answers
    // with c and then AnswerByte; its sends and gets show on the timeline.
    std::shared_ptr<FakeHidDevice> PlaceFeature(uint8_t family, uint8_t id) {
        auto device = Place(family, id);
        device->onGetFeature = [this](uint8_t* data, size_t length) {
            Add("get " + ToHex({data[0]}) + " " + std::to_string(length));
            if (data[0] == 0xA0)
                data[1] = m_status;
            else
                for (size_t k = 1; k < length; ++k) data[k] = AnswerByte(k);
            if (data[0] == 0xA0) return m_statusResult;
            return m_answerFails ? -1 : static_cast<int>(length);
        };
        return device;
    }
    // An output device answering as the device contract says: acknowledgement,
    // then the code's data reports; byte k of data report r is 0x10 r + k.
    std::shared_ptr<FakeHidDevice> PlaceOutput(uint8_t family, uint8_t id) {
        auto device = Place(family, id);
        FakeHidDevice* d = device.get();
        device->onWrite = [this, d](const Bytes& request) {
            Note("write", request, 0);
            if (++m_requests <= m_silentRequests) return static_cast<int>(request.size());
            d->QueueInput(m_ack);
            const uint8_t code = request[3];
            const int reports = std::min(code == 0x09 ? 2 : code == 0x0A ? 3 : 1, m_dataReports);
            for (int r = 0; r < reports; ++r) {
                Bytes report(64, 0x04);
                for (int k = 3; k < 64; ++k) report[k] = static_cast<uint8_t>(0x10 * r + k);
                if (r == 0 && code >= 0x09 && code <= 0x0B) report[3] = m_requests <= m_wrongMarkers ? 0 : code;
                d->QueueInput(report);
            }
            return static_cast<int>(request.size());
        };
        return device;
    }

    uint8_t m_status = 1;
    int m_statusResult = 8;
    bool m_answerFails = false;
    Bytes m_ack = {0x04, 0x06, 0xC0, 0x01};
    int m_requests = 0;
    int m_silentRequests = 0;  // requests that get no answer at all
    int m_wrongMarkers = 0;    // answers whose first data report has a wrong marker
    int m_dataReports = 3;     // data reports per answer, at most
};

// ---------------------------------------------------------------------------
// Feature-report devices (0x80, 0x81)

TEST_F(AQuery, ToAFeatureDeviceIsPacedAndItsAnswerTracedAndBroadcast) {
    PlaceFeature(0x81, 0x02);
    EXPECT_EQ(Query("f081020903"), 1);
    EXPECT_EQ(Timeline(), (Events{"sleep 100", "send 8 a0098300", "sleep 500", "get a0 8", "sleep 100", "get 09 131"}));
    ASSERT_EQ(m_pages.Texts().size(), 1u);
    const std::string text = m_pages.Texts()[0];
    EXPECT_EQ(text.size(), 4u + 2 * 131);
    EXPECT_EQ(text.substr(0, 10), "810209A7AE");
    EXPECT_EQ(m_log.Traces(), (Texts{text, "\r\n"}));
}

TEST_F(AQuery, ToAFeatureDeviceSendsARefusedRequestAgainAndAsksForTheStatusAnyway) {
    auto device = PlaceFeature(0x80, 0x02);
    device->onSendFeature = [this](const Bytes& b) { return Note("send", b, -1); };
    EXPECT_EQ(Query("f080020c00"), 1);
    Events expected = {"sleep 100"};
    for (int k = 0; k < 10; ++k) expected.insert(expected.end(), {"send 8 a00c0a00", "sleep 500"});
    expected.insert(expected.end(), {"get a0 8", "sleep 100", "get 0c 10"});
    EXPECT_EQ(Timeline(), expected);
}

TEST_F(AQuery, ToAFeatureDeviceThatIsNotReadyEndsWithoutAnyText) {
    PlaceFeature(0x81, 0x02);
    for (auto [status, result] : {std::pair<uint8_t, int>{2, 8}, {1, -1}}) {  // not ready; status read failed
        ClearTimeline();
        m_status = status;
        m_statusResult = result;
        EXPECT_EQ(Query("f081020400"), 0);
        EXPECT_EQ(Timeline(), (Events{"sleep 100", "send 8 a0043800", "sleep 500", "get a0 8", "sleep 100"}));
    }
    EXPECT_TRUE(m_pages.Texts().empty());
}

TEST_F(AQuery, ToAFeatureDeviceWhoseAnswerCannotBeReadGetsTheFailureText) {
    PlaceFeature(0x81, 0x02);
    m_answerFails = true;
    EXPECT_EQ(Query("f081020a03"), 0);
    EXPECT_EQ(m_pages.Texts(), (Texts{"81020AF0"}));
    EXPECT_EQ(m_log.Traces(), (Texts{"81020AF0", "\r\n"}));
}

struct ReplyCase {
    uint8_t code;
    std::string feature;  // text from a feature device (family 0x80, id 5)
    std::string output;   // text from an output device (family 0x83, id 5)
};

class AQueryReply : public AQuery, public ::testing::WithParamInterface<ReplyCase> {};

std::string FeatureAnswer(uint8_t code, size_t n) {
    Bytes answer = {code};
    for (size_t k = 1; k < n; ++k) answer.push_back(AnswerByte(k));
    return AsciiUpper(ToHex(answer));
}
// Bytes from..to-1 of data report r.
std::string DataBytes(int r, int from, int to, uint8_t marker = 0) {
    Bytes bytes;
    for (int k = from; k < to; ++k) bytes.push_back(static_cast<uint8_t>(0x10 * r + k));
    if (marker) bytes[0] = marker;
    return AsciiUpper(ToHex(bytes));
}

TEST_P(AQueryReply, CarriesTheAnswerBytesInTheCodesFormat) {
    const auto& c = GetParam();
    PlaceFeature(0x80, 0x05);
    PlaceOutput(0x83, 0x05);
    EXPECT_EQ(Query("f08005" + ToHex({c.code}) + "00"), 1);
    EXPECT_EQ(Query("f08305" + ToHex({c.code}) + "00"), 1);
    EXPECT_EQ(m_pages.Texts(), (Texts{c.feature, c.output}));
}

INSTANTIATE_TEST_SUITE_P(
    Queries, AQueryReply,
    ::testing::Values(ReplyCase{0x04, "8005" + FeatureAnswer(0x04, 56), "8305" + DataBytes(0, 3, 59)},
                      ReplyCase{0x05, "8005" + FeatureAnswer(0x05, 15), "8305" + DataBytes(0, 3, 18)},
                      ReplyCase{0x06, "800506a7aeb5bc", "83050304050607"},
                      ReplyCase{0x08, "8005" + FeatureAnswer(0x08, 59), "8305" + DataBytes(0, 3, 62)},
                      ReplyCase{0x09, "8005" + FeatureAnswer(0x09, 131),
                                "8305" + DataBytes(0, 3, 62, 0x09) + DataBytes(1, 3, 62) + std::string(26, '0')},
                      ReplyCase{0x0A, "8005" + FeatureAnswer(0x0A, 128),
                                "8305" + DataBytes(0, 3, 62, 0x0A) + DataBytes(1, 3, 62) + DataBytes(2, 3, 13)},
                      ReplyCase{0x0B, "80050ba7aeb5", "83050b040506"},
                      ReplyCase{0x0C, "80050ca7aeb5bcc3", "8305030405060708"}),
    [](const auto& info) { return "Code" + ToHex({info.param.code}); });

// ---------------------------------------------------------------------------
// Output-report devices (0x83, 0x85)

TEST_F(AQuery, ToAnOutputDeviceReadsWithATimeOutAndPausesAfterEachReadButTheLast) {
    auto device = PlaceOutput(0x85, 0x02);
    Query("f085020a03");
    EXPECT_EQ(Timeline(), (Events{"write 12 040ca00a", "sleep 100", "sleep 30", "sleep 30", "sleep 30"}));
    EXPECT_EQ(ToHex(device->Calls(Op::Write)[0].bytes), "040ca00a8004040000000142");
    auto reads = device->Calls(Op::Read);
    ASSERT_EQ(reads.size(), 4u);
    for (auto& r : reads) {
        EXPECT_EQ(r.length, 64u);
        EXPECT_EQ(r.timeout, 1000);
    }
    EXPECT_EQ(m_log.Traces().size(), 2u);
}

struct FailureCase {
    const char* name;
    std::string query;
    int silentRequests;
    Bytes ack;
    int dataReports;
    size_t writes;
};

class AnOutputDeviceThat : public AQuery, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(AnOutputDeviceThat, CostsTenAttemptsAndGetsTheFailureText) {
    const auto& c = GetParam();
    auto device = PlaceOutput(0x83, 0x02);
    m_silentRequests = c.silentRequests;
    m_ack = c.ack;
    m_dataReports = c.dataReports;
    EXPECT_EQ(Query(c.query), 0);
    EXPECT_EQ(device->Calls(Op::Write).size(), c.writes);
    const std::string failure = "8302" + AsciiUpper(c.query.substr(6, 2)) + "F0";
    EXPECT_EQ(m_pages.Texts(), (Texts{failure}));
    EXPECT_EQ(m_log.Traces(), (Texts{failure, "\r\n"}));
}

const Bytes kAck = {0x04, 0x06, 0xC0, 0x01};

INSTANTIATE_TEST_SUITE_P(
    Queries, AnOutputDeviceThat,
    ::testing::Values(FailureCase{"NeverAnswers", "f083020a03", 100, kAck, 3, 10},
                      FailureCase{"SendsAnotherReportFirst", "f083020600", 0, {0x04, 0x06, 0xC0, 0x00}, 3, 10},
                      // Not an answer of zeros or of the acknowledgement's bytes.
                      FailureCase{"AcknowledgesButSendsNoData", "f083020c00", 0, kAck, 0, 10},
                      FailureCase{"SendsTooFewDataReports", "f083020a00", 0, kAck, 2, 10}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AQuery, ToAnOutputDeviceThatNeverAnswersPausesAndWaitsABoundedTimePerAttempt) {
    auto device = PlaceOutput(0x83, 0x02);
    m_silentRequests = 100;
    Query("f083020c00");
    std::vector<long> sleeps;
    for (int k = 0; k < 10; ++k) sleeps.insert(sleeps.end(), {100, 30});
    EXPECT_EQ(m_clock.Sleeps(), sleeps);
    auto reads = device->Calls(Op::Read);
    ASSERT_EQ(reads.size(), 10u);
    for (auto& r : reads) EXPECT_EQ(r.timeout, 1000);
}

TEST_F(AQuery, ToAnOutputDeviceThatRefusesTheWriteIsNotReadFrom) {
    auto device = Place(0x85, 0x02);
    device->onWrite = [](const Bytes&) { return -1; };
    EXPECT_EQ(Query("f085020500"), 0);
    EXPECT_TRUE(device->Calls(Op::Read).empty());
    EXPECT_EQ(m_clock.Sleeps(), std::vector<long>(10, 100));
    EXPECT_EQ(m_pages.Texts(), (Texts{"850205F0"}));
}

TEST_F(AQuery, ToAnOutputDeviceSucceedsInItsTenthAttempt) {
    auto device = PlaceOutput(0x83, 0x02);
    m_silentRequests = 9;
    EXPECT_EQ(Query("f083020c00"), 1);
    EXPECT_EQ(device->Calls(Op::Write).size(), 10u);
    EXPECT_EQ(m_pages.Texts(), (Texts{"8302030405060708"}));
}

TEST_F(AQuery, ToAnOutputDeviceRepeatsAfterAWrongMarkerWithoutTakingItsLeftovers) {
    // The wrong marker of code 0x09 leaves the second data report unread; the
    // next attempt must not take it for its acknowledgement.
    auto device = PlaceOutput(0x85, 0x02);
    m_wrongMarkers = 2;
    EXPECT_EQ(Query("f085020903"), 1);
    EXPECT_EQ(device->Calls(Op::Write).size(), 3u);
    ASSERT_EQ(m_pages.Texts().size(), 1u);
    EXPECT_EQ(m_pages.Texts()[0].substr(0, 10), "8502090405");
    EXPECT_EQ(device->PendingInput(), 0u);
}

// ---------------------------------------------------------------------------

TEST_F(AQuery, ToFamily82GetsTheFailureTextAtOnceWithoutDeviceTraffic) {
    auto device = Place(0x82, 0x05);
    EXPECT_EQ(Query("f082050b00"), 0);
    EXPECT_EQ(Query("f082060b00"), 0);  // no device with id 6: nothing
    EXPECT_EQ(m_pages.Texts(), (Texts{"82050BF0"}));
    EXPECT_EQ(m_log.Traces(), (Texts{"82050BF0", "\r\n"}));
    EXPECT_EQ(device->CallCount(), 0u);
    EXPECT_TRUE(m_clock.Sleeps().empty());
}

TEST_F(AQuery, AsksOnlyTheLowestSlotWithTheIdThatCanBeAsked) {
    Place(0x83, 0x05);
    auto first = Place(0x83, 0x02);
    Place(0x83, 0x05);
    auto second = Place(0x83, 0x02);
    Query("f083020c00");
    EXPECT_EQ(first->Calls(Op::Write).size(), 10u);
    EXPECT_EQ(second->CallCount(), 0u);
    // Its device is gone: the next slot with the id is asked.
    m_hid.HandleHidRemoval(Removal(first->info.path, kProductSabre));
    EXPECT_EQ(Query("f083020c00"), 0);
    EXPECT_EQ(second->Calls(Op::Write).size(), 10u);
}

TEST_F(AQuery, WithAnUnknownCodeOrFamilyDoesNothing) {
    std::shared_ptr<FakeHidDevice> devices[] = {Place(0x83, 0x02), Place(0x80, 0x02), Place(0x82, 0x02)};
    for (const char* frame : {"f083020700", "f080020000", "f08202ff00", "f086020c00", "f000020c00", "f0"})
        EXPECT_EQ(Query(frame), 0) << frame;
    for (auto& d : devices) EXPECT_EQ(d->CallCount(), 0u);
    EXPECT_TRUE(m_pages.Texts().empty());
}

TEST_F(AQuery, RunsItsExchangeWithoutHoldingTheFamilyLock) {
    auto device = PlaceFeature(0x81, 0x02);
    auto witness = Place(0x81, 0x7E);
    // Another device's reader takes the family lock for each report.
    std::vector<bool> flowed;
    device->onSendFeature = [&](const Bytes&) {
        flowed.push_back(Report(witness, {0x05, 0x7E, static_cast<uint8_t>(flowed.size())}));
        return 8;
    };
    m_duringSleep = [&](size_t) {
        flowed.push_back(Report(witness, {0x05, 0x7E, static_cast<uint8_t>(flowed.size())}));
    };
    Query("f081020c00");
    EXPECT_EQ(flowed, std::vector<bool>(4, true));
}

}  // namespace
}  // namespace orvex::test
