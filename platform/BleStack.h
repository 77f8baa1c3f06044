// The Bluetooth LE seam. Filled in with the BLE transport; until then no
// backend offers anything and the BLE family stays empty.
#pragma once

namespace orvex {

class BleStack {
public:
    virtual ~BleStack() = default;
};

}  // namespace orvex
