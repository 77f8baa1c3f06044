#include "protocol/Packets.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace orvex::protocol {

WorkBuffer BuildWorkBuffer(const uint8_t* frame) {
    WorkBuffer work{};
    const uint8_t length = frame[3];
    // Only `length` bytes belong to the payload; whatever the page sent beyond
    // them stays out of the work buffer, so it cannot leak into a packet.
    std::memcpy(work.data(), frame + 2, length);
    return work;
}

FeatureBlockPacket BuildFeatureBlockPacket(const WorkBuffer& work, int index) {
    // The block is the 128 bytes after the work buffer's three header bytes;
    // packet `index` carries its 60 bytes from 60 * index on, zero past the
    // block's end.
    std::array<uint8_t, 300> block{};
    std::memcpy(block.data(), work.data() + 3, 128);
    FeatureBlockPacket packet{};
    packet[0] = kBlockReport;
    packet[1] = index == 2 ? 0x0C : 0x40;
    packet[2] = work[2];
    packet[3] = static_cast<uint8_t>(index);
    std::memcpy(packet.data() + 4, block.data() + 60 * index, 60);
    return packet;
}

uint16_t Checksum16(const uint8_t* data, size_t count) {
    uint32_t sum = 0;
    for (size_t i = 0; i < count; ++i) sum += data[i];
    return static_cast<uint16_t>(sum & 0xFFFF);
}

namespace {

void StoreChecksum(uint8_t* report, size_t count) {
    const uint16_t sum = Checksum16(report, count);
    report[count] = static_cast<uint8_t>(sum >> 8);
    report[count + 1] = static_cast<uint8_t>(sum & 0xFF);
}

}  // namespace

OutputReport BuildSimpleOutputReport(const WorkBuffer& work, uint8_t length) {
    OutputReport report{};
    report[0] = 0x04;
    report[1] = static_cast<uint8_t>((length + 5) % 256);
    report[2] = 0x00;
    std::memcpy(report.data() + 3, work.data(), length);
    // compat: for a length above 60 the checksum lands past offset 64 and is
    // never written; devices take such reports as they always have.
    StoreChecksum(report.data(), static_cast<size_t>(length) + 3);
    return report;
}

OutputReport BuildOutputBlockPacket(const WorkBuffer& work, int index) {
    // The output block is the work buffer's first 128 bytes: the report byte
    // and the length travel in packet 0 too.
    OutputReport report{};
    report[0] = 0x04;
    if (index == 0) {
        report[1] = 0x40;
        report[2] = 0x00;
        std::memcpy(report.data() + 3, work.data(), 59);
        StoreChecksum(report.data(), 62);
    } else {
        report[1] = 0x39;
        report[2] = 0x01;
        std::memcpy(report.data() + 3, work.data() + 59, 59);
        // compat: the checksum goes where the length byte says the report
        // ends, over block bytes 111 and 112; bytes 113 to 117 stay after it,
        // as devices expect.
        StoreChecksum(report.data(), 55);
    }
    return report;
}

uint8_t ApplyArgumentRule(ArgumentRule rule, uint8_t argument) {
    switch (rule) {
        case ArgumentRule::APlusOne:
            return static_cast<uint8_t>(argument + 1);
        case ArgumentRule::A:
            return argument;
        case ArgumentRule::Zero:
            return 0;
    }
    return 0;
}

namespace {

using R = ArgumentRule;
// The bridge's side of the device contract; the devices' side is the
// simulator's (sim/DeviceContract.h, sim/ReportDescriptors.h), and
// tests/sim/device_contract_test.cpp checks the lengths here against it.
const QueryCommand kQueryCommands[] = {
    {0x04, 0x38, R::APlusOne, 0x38, R::APlusOne, R::Zero, 1, false, 56},
    {0x05, 0x0F, R::APlusOne, 0x0F, R::APlusOne, R::Zero, 1, false, 15},
    {0x06, 0x09, R::APlusOne, 0x09, R::APlusOne, R::Zero, 1, false, 5},
    {0x08, 0x3B, R::APlusOne, 0x3B, R::APlusOne, R::Zero, 1, false, 59},
    {0x09, 0x83, R::A, 0x6F, R::A, R::Zero, 2, true, 131},
    {0x0A, 0x80, R::APlusOne, 0x80, R::APlusOne, R::APlusOne, 3, true, 128},
    {0x0B, 0x08, R::Zero, 0x08, R::Zero, R::Zero, 1, true, 4},
    {0x0C, 0x0A, R::Zero, 0x0A, R::Zero, R::Zero, 1, false, 6},
};

}  // namespace

const QueryCommand* FindQueryCommand(uint8_t code) {
    for (const auto& q : kQueryCommands)
        if (q.code == code) return &q;
    return nullptr;
}

std::array<uint8_t, 8> BuildFeatureQueryRequest(const QueryCommand& q, uint8_t argument) {
    return {0xA0, q.code, q.dataLength, 0x00, ApplyArgumentRule(q.featureValue, argument), 0x00, 0x00, 0x00};
}

std::array<uint8_t, kOutputQueryLength> BuildOutputQueryRequest(const QueryCommand& q, uint8_t argument) {
    std::array<uint8_t, kOutputQueryLength> request{};
    request[0] = 0x04;
    request[1] = static_cast<uint8_t>(kOutputQueryLength);
    request[2] = 0xA0;
    request[3] = q.code;
    request[4] = q.outputByte4;
    request[5] = ApplyArgumentRule(q.outputByte5, argument);
    request[6] = ApplyArgumentRule(q.outputByte6, argument);
    StoreChecksum(request.data(), 10);
    return request;
}

bool BuildBleQueryRequest(uint8_t code, uint8_t argument, std::array<uint8_t, 8>* request) {
    request->fill(0);
    (*request)[1] = 0x08;
    switch (code) {
        case 0x09:
            // compat: BLE devices count these records from zero where pages
            // count from one; the 0xA9 answer adds the one back.
            (*request)[0] = 0xA9;
            (*request)[2] = static_cast<uint8_t>(argument - 1);
            return true;
        case 0x0A:
            (*request)[0] = 0xA0;
            (*request)[2] = argument;
            return true;
        case 0x0B:
            (*request)[0] = 0xA1;
            return true;
        case 0x0C:
            (*request)[0] = 0xA2;
            return true;
        default:
            request->fill(0);
            return false;
    }
}

bool IsQueryAcknowledgement(const uint8_t* report) {
    return report[0] == 0x04 && report[1] == 0x06 && report[2] == 0xC0 && report[3] == 0x01;
}

std::string QueryFailureText(uint8_t family, uint8_t deviceId, uint8_t code) {
    char text[16];
    // compat: the code in upper case after a lower-case family and id; pages
    // match the failure text as it is.
    std::snprintf(text, sizeof text, "%02x%02x%02XF0", family, deviceId, code);
    return text;
}

std::string AcknowledgementText(uint8_t deviceId) {
    char text[16];
    std::snprintf(text, sizeof text, "%02x810101", deviceId);
    return text;
}

}  // namespace orvex::protocol
