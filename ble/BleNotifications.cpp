// What a notification of a BLE slot becomes upstream.
#include <cstdio>
#include <cstring>

#include "ble/BleSlots.h"
#include "bridge/hex.h"
#include "platform/Log.h"

namespace orvex {

namespace {

// Long answers: a body of fixed length holding the query code, the length,
// one counter byte and then data bytes from a given one on.
void SendLongAnswer(PageSink& pages, uint8_t deviceId, uint8_t code, uint8_t bodyLength, uint8_t counter,
                    const uint8_t* data, int32_t size, int32_t firstData) {
    uint8_t body[256] = {};
    body[0] = code;
    body[1] = bodyLength;
    body[2] = counter;
    // What does not fit is not sent.
    for (int32_t i = firstData, at = 3; i < size && at < bodyLength; ++i, ++at) body[at] = data[i];
    broadcast_hex(pages, kBleFamily, deviceId, bodyLength, body);
}

template <int Slot>
void OnBleValueChanged(const uint8_t* data, size_t size, void* context) {
    if (context) static_cast<BleSlots*>(context)->OnRegisteredValue(Slot, data, size);
}

}  // namespace

void BleSlots::OnValueChanged(int slot, const uint8_t* data, size_t size) {
    if (size == 0 || !data) {
        log_raw("datasize 0\n");
        return;
    }
    log_raw("HR ");
    // A value record holds at most this many data bytes anyway.
    const int32_t n = size > static_cast<size_t>(kBleMaxWriteLength) ? kBleMaxWriteLength : static_cast<int32_t>(size);
    OnBleNotification(slot, data, n);
}

void BleSlots::OnBleNotification(int slot, const uint8_t* data, int32_t size) {
    if (!ValidSlot(slot) || !data || size <= 0) return;
    // Missing bytes read as zero: a short notification never reads past what
    // arrived.
    auto d = [&](int32_t i) -> unsigned { return i < size ? data[i] : 0u; };
    const uint8_t id = static_cast<uint8_t>(IdOf(slot).load());
    char text[64];
    switch (d(0)) {
        case 0xA0:
            SendLongAnswer(m_pages, id, 0x0A, 0x80, static_cast<uint8_t>(m_bleBlockIndex[slot].load() + 1), data, size,
                           1);
            break;
        case 0xA1:
            std::snprintf(text, sizeof text, "84%02x0B08%02x%02x", id, d(1), d(2));
            broadcast_text(m_pages, text);
            break;
        case 0xA2:
            std::snprintf(text, sizeof text, "84%02x0C0A%02x%02x%02x%02x", id, d(1), d(2), d(3), d(4));
            broadcast_text(m_pages, text);
            break;
        case 0xA9:
            SendLongAnswer(m_pages, id, 0x09, 0x83, static_cast<uint8_t>(d(1) + 1), data, size, 2);
            break;
        default:
            // Stored first, so that a page answering the text at once can
            // already address the device by the id it carries.
            IdOf(slot) = static_cast<int>(d(0));
            std::snprintf(text, sizeof text, "8401%02x%02x%02x%02x", d(0), d(1), d(2), d(3));
            m_pages.broadcast(text);
            break;
    }
}

const BleValueChangedCallback kBleValueChangedCallbacks[kBleSlotCount] = {
    &OnBleValueChanged<0>, &OnBleValueChanged<1>, &OnBleValueChanged<2>, &OnBleValueChanged<3>, &OnBleValueChanged<4>,
    &OnBleValueChanged<5>, &OnBleValueChanged<6>, &OnBleValueChanged<7>, &OnBleValueChanged<8>, &OnBleValueChanged<9>,
};

}  // namespace orvex
