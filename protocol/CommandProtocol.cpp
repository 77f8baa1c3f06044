#include "protocol/CommandProtocol.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "bridge/hex.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace orvex {

using protocol::QueryCommand;
using protocol::WorkBuffer;

namespace {

constexpr size_t kQueryBufferSize = 200;
constexpr size_t kDataReportLength = 64;
// Answer bytes of an output device's data report start here.
constexpr size_t kDataOffset = 3;
// A device that keeps a report stream going on its control collection must not
// hold the query in the drain loop.
constexpr int kMaxDrainedReports = 64;

using QueryBuffer = std::array<uint8_t, kQueryBufferSize>;

// Reports left on the control collection by an earlier, abandoned exchange
// (the second data report after a wrong marker, an answer that came after its
// read timed out) would otherwise be taken for this attempt's answer.
void DrainPendingReports(HidDevice& control) {
    uint8_t scratch[kDataReportLength];
    for (int k = 0; k < kMaxDrainedReports; ++k)
        if (control.read_timeout(scratch, sizeof scratch, 0) <= 0) return;
}

}  // namespace

// compat: codes 0x06, 0x0B and 0x0C have fixed texts in lower-case digits; the
// longer answers go out through broadcast_hex, whose data digits are upper
// case. Pages compare the texts as they are.
void CommandProtocol::SendSuccessText(uint8_t family, uint8_t deviceId, const QueryCommand& q, const uint8_t* reply) {
    if (q.code == 0x06 || q.code == 0x0B || q.code == 0x0C) {
        const uint8_t header[] = {family, deviceId};
        std::string text;
        AppendHex(text, header, 2);
        AppendHex(text, reply, static_cast<size_t>(q.replyLength > 0 ? q.replyLength : 0));
        broadcast_text(m_pages, text);
    } else {
        broadcast_hex(m_pages, family, deviceId, q.replyLength, reply);
    }
}

CommandProtocol::CommandProtocol(HidCommandPort& hid, Clock& clock, PageSink& pages, const Timings& timings)
    : m_hid(hid), m_clock(clock), m_pages(pages), m_timings(timings) {}

void CommandProtocol::HandleFrame(const uint8_t* frame) {
    if (frame[0] == 0xF0)
        HandleDeviceQuery(frame);
    else
        HandleDeviceCommand(frame);
}

// ---------------------------------------------------------------------------
// Commands

void CommandProtocol::HandleDeviceCommand(const uint8_t* frame) {
    const uint8_t family = frame[0];
    const uint8_t deviceId = frame[1];
    const uint8_t length = frame[3];
    const WorkBuffer w = protocol::BuildWorkBuffer(frame);

    const FamilyRules* rules = FindFamily(family);
    if (rules == nullptr) return;
    if (rules->commands == CommandRoute::Ble) {
        SendBle(deviceId, w, length);
        return;
    }

    // The handles are copied under the family lock; the transfer itself runs
    // without it, so readers and removals go on while it sleeps.
    for (const auto& target : m_hid.SelectSlots(family, deviceId)) {
        if (Abandoned()) break;
        if (!target.control) continue;
        HidDevice& control = *target.control;
        if (rules->commands == CommandRoute::Output)
            SendOutputFamily(control, w, length);
        else
            SendFeatureFamily(family, target.slot, control, w, length, deviceId);
    }
}

void CommandProtocol::SendFeatureFamily(uint8_t family, int slot, HidDevice& control, const WorkBuffer& w,
                                        uint8_t length, uint8_t deviceId) {
    if (FindFamily(family)->commands == CommandRoute::AcknowledgedFeature) {
        if (RunAcknowledgedTransfer(slot, control, w, length))
            m_pages.broadcast(protocol::AcknowledgementText(deviceId));
        return;
    }
    if (w[0] == protocol::kBlockReport) {
        SendFeatureBlock(control, w, length == 0x6F ? 2 : 3);
        return;
    }
    // A device that keeps rejecting gets a bounded number of sends; the page
    // hears nothing either way.
    for (int sends = 0; sends < kMaxAttempts && !Abandoned(); ++sends)
        if (control.send_feature_report(w.data(), length) >= 0) break;
    Sleep(m_timings.packetPause);
}

void CommandProtocol::SendFeatureBlock(HidDevice& control, const WorkBuffer& w, int packets) {
    for (int k = 0; k < packets && !Abandoned(); ++k) {
        const auto packet = protocol::BuildFeatureBlockPacket(w, k);
        control.send_feature_report(packet.data(), packet.size());
        Sleep(m_timings.packetPause);
    }
}

bool CommandProtocol::RunAcknowledgedTransfer(int slot, HidDevice& control, const WorkBuffer& w, uint8_t length) {
    std::atomic<int>& acked = m_hid.AckFlag(slot);
    // An acknowledgement left over from an earlier command must not count.
    acked.store(0);
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        if (acked.load() != 0) return true;
        if (Abandoned()) return false;
        if (w[0] == protocol::kBlockReport) {
            SendFeatureBlock(control, w, 3);
        } else {
            control.send_feature_report(w.data(), length);
            Sleep(m_timings.packetPause);
        }
    }
    // The device may have answered during the last attempt's pause.
    return acked.load() != 0 && !Abandoned();
}

void CommandProtocol::SendOutputFamily(HidDevice& control, const WorkBuffer& w, uint8_t length) {
    if (w[0] != protocol::kBlockReport) {
        const auto report = protocol::BuildSimpleOutputReport(w, length);
        control.write(report.data(), protocol::kOutputReportWriteLength);
        Sleep(m_timings.packetPause);
        return;
    }
    const auto first = protocol::BuildOutputBlockPacket(w, 0);
    control.write(first.data(), protocol::kOutputReportWriteLength);
    Sleep(m_timings.blockPacketPause);
    if (Abandoned()) return;
    const auto second = protocol::BuildOutputBlockPacket(w, 1);
    control.write(second.data(), protocol::kOutputReportWriteLength);
    Sleep(m_timings.blockPacketPause);
    Sleep(m_timings.blockSettlePause);
}

void CommandProtocol::SendBle(uint8_t deviceId, const WorkBuffer& w, uint8_t length) {
    // BLE devices take the payload whole, block or not.
    BleCommandPort* ble = m_ble.load();
    if (ble == nullptr) return;
    for (int slot : ble->MatchingBleSlots(deviceId)) {
        if (Abandoned()) return;
        ble->WriteBle(slot, w.data(), length);
        Sleep(m_timings.packetPause);
    }
}

// ---------------------------------------------------------------------------
// Queries

int CommandProtocol::HandleDeviceQuery(const uint8_t* frame) {
    const uint8_t family = frame[1];
    const uint8_t deviceId = frame[2];
    const uint8_t code = frame[3];
    const uint8_t argument = frame[4];

    const FamilyRules* rules = FindFamily(family);
    if (rules == nullptr) return 0;
    if (rules->queries == QueryRoute::Ble) {
        QueryBle(deviceId, code, argument);
        return 0;
    }

    // compat: only the lowest slot with the id is asked, even when it cannot
    // be; pages expect no answer rather than one from another collection.
    const auto targets = m_hid.SelectSlots(family, deviceId);
    if (targets.empty() || !targets.front().control) return 0;
    const QueryCommand* q = protocol::FindQueryCommand(code);
    if (q == nullptr) return 0;
    HidDevice& control = *targets.front().control;

    switch (rules->queries) {
        case QueryRoute::Feature:
            return QueryFeatureDevice(control, family, deviceId, *q, argument);
        case QueryRoute::Output:
            return QueryOutputDevice(control, family, deviceId, *q, argument);
        default:
            // These devices cannot answer queries.
            broadcast_text(m_pages, protocol::QueryFailureText(family, deviceId, code));
            return 0;
    }
}

int CommandProtocol::RequestFeatureQuery(HidDevice& control, uint8_t family, uint8_t code, uint8_t dataLength,
                                         uint8_t value) {
    const FamilyRules* rules = FindFamily(family);
    if (rules == nullptr || rules->queries != QueryRoute::Feature) return 0;
    QueryBuffer buffer{};
    const std::array<uint8_t, 8> request = {0xA0, code, dataLength, 0x00, value, 0x00, 0x00, 0x00};
    std::memcpy(buffer.data(), request.data(), request.size());
    Sleep(m_timings.queryPause);
    for (int sends = 0; sends < kMaxAttempts; ++sends) {
        if (Abandoned()) return 0;
        const int result = control.send_feature_report(buffer.data(), 8);
        Sleep(m_timings.packetPause);
        if (result >= 0) break;
    }
    // Asked even after ten rejected sends: a device may have taken the request
    // without saying so.
    buffer.fill(0);
    buffer[0] = 0xA0;
    const int result = control.get_feature_report(buffer.data(), 8);
    Sleep(m_timings.queryPause);
    return result >= 0 && buffer[1] == 1 && !Abandoned() ? 1 : 0;
}

int CommandProtocol::QueryFeatureDevice(HidDevice& control, uint8_t family, uint8_t deviceId, const QueryCommand& q,
                                        uint8_t argument) {
    const auto request = protocol::BuildFeatureQueryRequest(q, argument);
    if (RequestFeatureQuery(control, family, q.code, q.dataLength, request[4]) == 0) return 0;
    QueryBuffer answer{};
    answer[0] = q.code;
    if (control.get_feature_report(answer.data(), q.dataLength) < 0) {
        broadcast_text(m_pages, protocol::QueryFailureText(family, deviceId, q.code));
        return 0;
    }
    SendSuccessText(family, deviceId, q, answer.data());
    return 1;
}

int CommandProtocol::QueryOutputDevice(HidDevice& control, uint8_t family, uint8_t deviceId, const QueryCommand& q,
                                       uint8_t argument) {
    QueryBuffer reply{};
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        if (Abandoned()) return 0;
        reply.fill(0);
        if (RunOutputQueryAttempt(control, q, argument, reply.data())) {
            SendSuccessText(family, deviceId, q, reply.data());
            return 1;
        }
    }
    broadcast_text(m_pages, protocol::QueryFailureText(family, deviceId, q.code));
    return 0;
}

bool CommandProtocol::RunOutputQueryAttempt(HidDevice& control, const QueryCommand& q, uint8_t argument,
                                            uint8_t* reply) {
    DrainPendingReports(control);

    QueryBuffer r{};
    const auto request = protocol::BuildOutputQueryRequest(q, argument);
    std::memcpy(r.data(), request.data(), request.size());
    const int written = control.write(r.data(), request.size());
    Sleep(m_timings.queryPause);
    if (written < 0) return false;

    r.fill(0);
    const int acknowledged = control.read_timeout(r.data(), kDataReportLength, ReadTimeoutMs());
    Sleep(m_timings.queryReadPause);
    if (acknowledged < 4 || !protocol::IsQueryAcknowledgement(r.data())) return false;

    // Each data report goes into a zeroed buffer of its own and must arrive:
    // a read that failed or timed out would otherwise be passed to the page as
    // an answer of zeros (or of the acknowledgement's bytes).
    QueryBuffer data[3] = {};
    for (int k = 0; k < q.dataReports; ++k) {
        const int got = control.read_timeout(data[k].data(), kDataReportLength, ReadTimeoutMs());
        const bool last = k + 1 == q.dataReports;
        if (!last) Sleep(m_timings.queryReadPause);
        if (got <= 0) return false;
        if (k == 0 && q.markerCheck && data[0][kDataOffset] != q.code) return false;
    }

    const uint8_t* d0 = data[0].data() + kDataOffset;
    switch (q.code) {
        case 0x09:
            std::memcpy(reply, d0, 59);
            std::memcpy(reply + 59, data[1].data() + kDataOffset, 59);
            // The last 13 of the 131 bytes stay zero: two reports carry only 118.
            break;
        case 0x0A:
            std::memcpy(reply, d0, 59);
            std::memcpy(reply + 59, data[1].data() + kDataOffset, 59);
            std::memcpy(reply + 118, data[2].data() + kDataOffset, 10);
            break;
        case 0x0B:
            reply[0] = 0x0B;
            std::memcpy(reply + 1, data[0].data() + 4, 3);
            break;
        default:
            std::memcpy(reply, d0, static_cast<size_t>(q.replyLength));
            break;
    }
    return true;
}

void CommandProtocol::QueryBle(uint8_t deviceId, uint8_t code, uint8_t argument) {
    // The answer comes back later as a notification; nothing is sent here.
    BleCommandPort* ble = m_ble.load();
    if (ble == nullptr) return;
    std::array<uint8_t, 8> request{};
    if (!protocol::BuildBleQueryRequest(code, argument, &request)) return;
    for (int slot : ble->MatchingBleSlots(deviceId)) {
        ble->WriteBle(slot, request.data(), static_cast<int32_t>(request.size()));
        if (code == 0x0A) ble->SetBleBlockIndex(slot, argument);
    }
}

}  // namespace orvex
