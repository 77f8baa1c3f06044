// Where commands and queries of the HID families reach their slots. The
// device manager implements it; the protocol sees nothing else of it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/HidApi.h"

namespace orvex {

class HidCommandPort {
public:
    virtual ~HidCommandPort() = default;

    // One slot's control handle, copied under the family lock: the transfer
    // runs without the lock, and keeps the device open even if the slot is
    // cleared meanwhile.
    struct SlotTarget {
        int slot;
        std::shared_ptr<HidDevice> control;  // may be null
    };
    // Every slot of the family that holds an input record and a paired
    // control handle and whose device id equals deviceId, in ascending order.
    virtual std::vector<SlotTarget> SelectSlots(uint8_t family, uint8_t deviceId) = 0;
    // Set by the slot's reader (before the report's text goes out) when an
    // acknowledging family's device acknowledges: 1 accepted, 0 not (yet).
    virtual std::atomic<int>& AckFlag(int slot) = 0;
};

}  // namespace orvex
