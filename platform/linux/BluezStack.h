// The Bluetooth LE seam over BlueZ. Filled in with the BLE transport.
#pragma once

#include "platform/BleStack.h"

namespace orvex {

class BluezStack final : public BleStack {};

}  // namespace orvex
