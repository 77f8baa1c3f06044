// The bytes the bridge puts on the wire for commands and queries, built apart
// from the handlers so that every layout can be checked byte by byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "bridge/PageSink.h"

namespace orvex::protocol {

using WorkBuffer = std::array<uint8_t, COMMAND_BUFFER_SIZE>;

// Report byte that selects a block transfer.
constexpr uint8_t kBlockReport = 0x09;

// The work buffer: the payload, frame bytes 2 .. length+1 (the length is frame
// byte 3), at its start, zero beyond. The frame is a full command buffer, so
// every index read exists.
WorkBuffer BuildWorkBuffer(const uint8_t* frame);

// Feature-report families: block packet `index` (0, 1 or 2) of a block
// transfer, 64 bytes. Packet 2 is the short one (12 meaningful bytes).
using FeatureBlockPacket = std::array<uint8_t, 64>;
FeatureBlockPacket BuildFeatureBlockPacket(const WorkBuffer& work, int index);

// Sum of bytes [0, count) as unsigned bytes, modulo 65536.
uint16_t Checksum16(const uint8_t* data, size_t count);

// Checksummed output report 0x04. The build area is larger than what goes out
// because a simple report of a long payload runs past offset 64; only the
// first 65 bytes are written to the device.
constexpr size_t kOutputReportWriteLength = 65;
using OutputReport = std::array<uint8_t, 300>;
OutputReport BuildSimpleOutputReport(const WorkBuffer& work, uint8_t length);
OutputReport BuildOutputBlockPacket(const WorkBuffer& work, int index);

// How a request byte follows from the query argument (modulo 256).
enum class ArgumentRule { APlusOne, A, Zero };
uint8_t ApplyArgumentRule(ArgumentRule rule, uint8_t argument);

// One query sub-command and everything that depends on its code.
struct QueryCommand {
    uint8_t code;
    uint8_t dataLength;         // feature request byte 2 and feature answer length
    ArgumentRule featureValue;  // feature request byte 4
    uint8_t outputByte4;        // output request offsets 4, 5 and 6
    ArgumentRule outputByte5;
    ArgumentRule outputByte6;
    int dataReports;   // reports an output device sends after its acknowledgement
    bool markerCheck;  // first data report repeats the code at offset 3
    int replyLength;   // bytes of the success text after family and device id
};

// Null for a code outside the table.
const QueryCommand* FindQueryCommand(uint8_t code);

// Feature request (feature report 0xA0, 8 bytes) of families 0x80 and 0x81.
std::array<uint8_t, 8> BuildFeatureQueryRequest(const QueryCommand& q, uint8_t argument);

// Output query request of families 0x83 and 0x85: a checksummed report of 12 bytes.
constexpr size_t kOutputQueryLength = 12;
std::array<uint8_t, kOutputQueryLength> BuildOutputQueryRequest(const QueryCommand& q, uint8_t argument);

// BLE query request (8 bytes) of family 0x84; false for codes that have none.
bool BuildBleQueryRequest(uint8_t code, uint8_t argument, std::array<uint8_t, 8>* request);

// Acknowledgement report an output device sends before its data reports.
bool IsQueryAcknowledgement(const uint8_t* report);

// "%02x%02x" family and device id, then the code in upper case and "F0".
std::string QueryFailureText(uint8_t family, uint8_t deviceId, uint8_t code);

// "%02x810101": the acknowledgement text of a family 0x81 command.
std::string AcknowledgementText(uint8_t deviceId);

}  // namespace orvex::protocol
