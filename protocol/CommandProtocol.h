// The device command protocol: family commands and queries, one frame at a
// time, on the command thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "bridge/PageSink.h"
#include "families/BleCommandPort.h"
#include "families/Families.h"
#include "families/HidCommandPort.h"
#include "platform/Clock.h"
#include "platform/HidApi.h"
#include "platform/Timings.h"
#include "protocol/Packets.h"

namespace orvex {

// Sends of one rejected feature report, and acknowledgement attempts.
constexpr int kMaxAttempts = 10;

class CommandProtocol {
public:
    // Replies, acknowledgements and failure texts go to pages.
    CommandProtocol(HidCommandPort& hid, Clock& clock, PageSink& pages, const Timings& timings = Timings());

    // One decoded frame: byte 0xF0 makes it a query, anything else a command.
    void HandleFrame(const uint8_t* frame);
    // A decoded command frame (a whole command buffer, zero beyond the message).
    void HandleDeviceCommand(const uint8_t* frame);
    // A decoded query frame (byte 0 is 0xF0). 1 after a success text, else 0.
    int HandleDeviceQuery(const uint8_t* frame);

    // Shutdown: the exchange under way stops at its next step, without a text,
    // and so does every later one until cleared.
    void SetAbandon(bool abandon) { m_abandon.store(abandon); }
    bool Abandoned() const { return m_abandon.load(); }

    // Attaches the BLE slots (null detaches them). Set before the server runs.
    void SetBlePort(BleCommandPort* port) { m_ble.store(port); }

    // 1 when the device reports the answer of `code` ready, else 0; 0 at once
    // for a family whose queries are not feature requests.
    int RequestFeatureQuery(HidDevice& control, uint8_t family, uint8_t code, uint8_t dataLength, uint8_t value);

private:
    void SendFeatureFamily(uint8_t family, int slot, HidDevice& control, const protocol::WorkBuffer& w, uint8_t length,
                           uint8_t deviceId);
    void SendFeatureBlock(HidDevice& control, const protocol::WorkBuffer& w, int packets);
    bool RunAcknowledgedTransfer(int slot, HidDevice& control, const protocol::WorkBuffer& w, uint8_t length);
    void SendOutputFamily(HidDevice& control, const protocol::WorkBuffer& w, uint8_t length);
    void SendBle(uint8_t deviceId, const protocol::WorkBuffer& w, uint8_t length);

    int QueryFeatureDevice(HidDevice& control, uint8_t family, uint8_t deviceId, const protocol::QueryCommand& q,
                           uint8_t argument);
    int QueryOutputDevice(HidDevice& control, uint8_t family, uint8_t deviceId, const protocol::QueryCommand& q,
                          uint8_t argument);
    bool RunOutputQueryAttempt(HidDevice& control, const protocol::QueryCommand& q, uint8_t argument, uint8_t* reply);
    void QueryBle(uint8_t deviceId, uint8_t code, uint8_t argument);

    void Sleep(Milliseconds pause) { m_clock.sleep_for(pause); }
    int ReadTimeoutMs() const { return static_cast<int>(m_timings.controlReadTimeout.count()); }
    void SendSuccessText(uint8_t family, uint8_t deviceId, const protocol::QueryCommand& q, const uint8_t* reply);

    HidCommandPort& m_hid;
    Clock& m_clock;
    PageSink& m_pages;
    const Timings m_timings;
    std::atomic<BleCommandPort*> m_ble{nullptr};
    std::atomic<bool> m_abandon{false};
};

}  // namespace orvex
