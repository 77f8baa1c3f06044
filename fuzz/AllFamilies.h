// A simulated device of every family, for the targets that need devices.
#pragma once

constexpr const char* kAllFamilies = R"({"devices": [
  {"name": "vireo", "vendor_id": "0x1D57", "product_id": "0xFA60", "device_id": 3},
  {"name": "wired", "vendor_id": "0x1D57", "product_id": "0x1234", "device_id": 4},
  {"name": "sabre", "vendor_id": "0x1D57", "product_id": "0xFA65", "device_id": 5},
  {"name": "wired85", "vendor_id": "0x1D57", "product_id": "0x2222", "device_id": 6,
   "collections": [["0xFF01", "0x0002"], ["0xFF00", "0x0001"]]},
  {"name": "pad", "bus": "ble", "vendor_id": "0x045E", "product_id": "0x0B13", "device_id": 7,
   "address": "C0:FF:EE:00:00:07", "collections": [["0x0001", "0x0002"], ["0x000C", "0x0001"]]}
]})";
