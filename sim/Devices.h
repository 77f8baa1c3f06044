// One sane device per family, as data: what enumeration lists of it and the
// report descriptor it gives the kernel. The simulator's scenarios name them
// ("model": "vireo"), the tests fill their fake HID backend from them, and
// the descriptor tests parse them. A test that needs another device copies
// one and changes a field.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/HidApi.h"
#include "sim/Scenario.h"

namespace orvex::sim {

struct DeviceModel {
    std::string name;
    std::string families;  // the family codes it serves, "81" or "82 83"
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint16_t bus = kBusUsb;
    // Top-level collections in the order hidraw lists them. They share one
    // node: the device has one interface, whose descriptor this is.
    std::vector<UsagePair> collections;
    std::vector<uint8_t> descriptor;
};

// "vireo" (0x81), "sabre" (0x82 and 0x83), "wired" (0x80), "wired85" (0x85)
// and "ble" (0x84), in that order.
const std::vector<DeviceModel>& Models();
// Null for an unknown name.
const DeviceModel* FindModel(const std::string& name);
// Throws std::out_of_range for an unknown name.
const DeviceModel& Model(const std::string& name);

}  // namespace orvex::sim
