// Where family 0x84 commands and queries reach the BLE slots. The BLE
// transport implements it; until one is attached the family has no slot and
// its frames do nothing.
#pragma once

#include <cstdint>
#include <vector>

namespace orvex {

class BleCommandPort {
public:
    virtual ~BleCommandPort() = default;
    // BLE slots 0 .. count-1 whose device id equals deviceId, in ascending order.
    virtual std::vector<int> MatchingBleSlots(uint8_t deviceId) = 0;
    // Writes length bytes as one value of the slot's write characteristic;
    // 1 on success, else 0.
    virtual int WriteBle(int slot, const uint8_t* data, int32_t length) = 0;
    // Remembers the block index of a 0x0A query for the slot's answer text.
    virtual void SetBleBlockIndex(int slot, int blockIndex) = 0;
};

}  // namespace orvex
