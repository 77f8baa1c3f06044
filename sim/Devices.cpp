#include "sim/Devices.h"

#include <stdexcept>

#include "sim/ReportDescriptors.h"

namespace orvex::sim {

namespace {

template <size_t N>
std::vector<uint8_t> Bytes(const unsigned char (&descriptor)[N]) {
    return std::vector<uint8_t>(descriptor, descriptor + N);
}

}  // namespace

const std::vector<DeviceModel>& Models() {
    // Built on first use: scenarios and tests may ask during static start-up.
    // clang-format off
    static const std::vector<DeviceModel> models = {
        {"vireo", "81", 0x1D57, 0xFA60, kBusUsb, {kFeatureControl, {0x000A, 0x0000}},
         Bytes(orvex_feature_device_descriptor)},
        {"sabre", "82 83", 0x1D57, 0xFA65, kBusUsb, {{0xFF00, 0x0001}, {0x000A, 0x0000}, kOutputControl},
         Bytes(orvex_receiver_descriptor)},
        {"wired", "80", 0x1D57, 0xFA70, kBusUsb, {kFeatureControl, {0x000A, 0x0000}},
         Bytes(orvex_feature_device_descriptor)},
        {"wired85", "85", 0x1D57, 0xFA71, kBusUsb, {kOutputControl, {0xFF00, 0x0001}},
         Bytes(orvex_output_device_descriptor)},
        {"ble", "84", 0x045E, 0x0B13, kBusBluetooth, {{0x0001, 0x0002}, {0x000C, 0x0001}},
         Bytes(orvex_ble_device_descriptor)},
    };
    // clang-format on
    return models;
}

const DeviceModel* FindModel(const std::string& name) {
    for (const auto& model : Models())
        if (model.name == name) return &model;
    return nullptr;
}

const DeviceModel& Model(const std::string& name) {
    if (const DeviceModel* model = FindModel(name)) return *model;
    throw std::out_of_range("no device model \"" + name + "\"");
}

}  // namespace orvex::sim
