// Small helpers shared by the simulator's tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/HidApi.h"
#include "sim/Simulator.h"

namespace orvex::sim::testing {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

inline std::unique_ptr<Simulator> Load(const std::string& text) {
    std::string error;
    auto simulator = Simulator::LoadScenarioText(text, &error);
    EXPECT_TRUE(simulator) << error;
    return simulator;
}

inline std::shared_ptr<HidDevice> Open(Simulator& simulator, const std::string& path, HidOpenError* error = nullptr) {
    HidDeviceInfo entry;
    entry.path = path;
    return simulator.hid().open(entry, error);
}

inline std::string Path(const std::string& device, int collection) {
    return "/dev/sim/" + device + "/" + std::to_string(collection);
}

// One report, or empty when none arrives within the time-out.
inline Bytes ReadReport(HidDevice& handle, int timeout_ms = 10000, size_t length = 256) {
    Bytes buffer(length, 0xEE);
    const int n = handle.read_timeout(buffer.data(), buffer.size(), timeout_ms);
    if (n <= 0) return {};
    buffer.resize(static_cast<size_t>(n));
    return buffer;
}

inline Bytes Padded(Bytes bytes, size_t size) {
    bytes.resize(size, 0);
    return bytes;
}

// The 12-byte output query request with its checksum.
inline Bytes OutputQuery(uint8_t code, uint8_t x, uint8_t y, uint8_t z) {
    Bytes request = {0x04, 0x0C, 0xA0, code, x, y, z, 0x00, 0x00, 0x00, 0x00, 0x00};
    unsigned sum = 0;
    for (size_t i = 0; i < 10; ++i) sum += request[i];
    request[10] = static_cast<uint8_t>(sum >> 8);
    request[11] = static_cast<uint8_t>(sum);
    return request;
}

inline int Send(HidDevice& handle, const Bytes& bytes) {
    return handle.send_feature_report(bytes.data(), bytes.size());
}
inline int Write(HidDevice& handle, const Bytes& bytes) {
    return handle.write(bytes.data(), bytes.size());
}

}  // namespace orvex::sim::testing
