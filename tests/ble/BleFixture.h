// BLE slots over the simulator's BLE stack, with a HID list given by the test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ble/BleSlots.h"
#include "platform/HidApi.h"
#include "sim/Scheduler.h"
#include "sim/SimBle.h"
#include "support/Capture.h"
#include "support/Pages.h"

namespace orvex::test {

using namespace std::chrono_literals;

class ListedHid final : public HidApi {
public:
    int init() override { return 0; }
    std::vector<HidDeviceInfo> enumerate(uint16_t vendor_id, uint16_t product_id) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<HidDeviceInfo> list;
        for (const auto& entry : entries)
            if ((vendor_id == 0 || entry.vendor_id == vendor_id) && (product_id == 0 || entry.product_id == product_id))
                list.push_back(entry);
        return list;
    }
    std::shared_ptr<HidDevice> open(const HidDeviceInfo&, HidOpenError* error) override {
        if (error) *error = HidOpenError::NotFound;
        return nullptr;
    }
    void Add(const std::string& path, uint16_t product, uint16_t bus = kBusBluetooth) {
        HidDeviceInfo info;
        info.path = path;
        info.vendor_id = kBleHidVendorId;
        info.product_id = product;
        info.bus_type = bus;
        std::lock_guard<std::mutex> lock(m_mutex);
        entries.push_back(info);
    }
    std::vector<HidDeviceInfo> entries;

private:
    std::mutex m_mutex;
};

struct Recorded {
    std::string device;
    std::string kind;
    int collection;
    std::vector<uint8_t> bytes;
    bool rejected;
};

class BleFixture : public ::testing::Test {
protected:
    BleFixture()
        : ble(scheduler, sim::SimBle::Hooks{[this](const std::string& device, const char* kind, int collection,
                                                   const std::vector<uint8_t>& bytes, bool rejected) {
                                                std::lock_guard<std::mutex> lock(recordMutex);
                                                recorded.push_back({device, kind, collection, bytes, rejected});
                                            },
                                            nullptr}) {}
    ~BleFixture() override {
        slots.reset();
        ble.Shutdown();
        scheduler.Stop();
    }

    sim::SimBleDevice& AddDevice(const std::string& name, uint16_t product, const std::string& address,
                                 uint8_t deviceId = 0) {
        sim::SimBleDevice device;
        device.name = name;
        device.vendor_id = kBleHidVendorId;
        device.product_id = product;
        device.address = address;
        device.device_id = deviceId;
        pending.push_back(device);
        return pending.back();
    }
    // Hands the devices to the stack and makes the slots.
    void Start() {
        for (const auto& device : pending) ble.AddDevice(device);
        pending.clear();
        slots = std::make_unique<BleSlots>(&ble, broadcasts);
    }
    std::vector<Recorded> Recording(const std::string& kind) {
        std::lock_guard<std::mutex> lock(recordMutex);
        std::vector<Recorded> list;
        for (const auto& entry : recorded)
            if (entry.kind == kind) list.push_back(entry);
        return list;
    }
    // Lines written to stdout, raw ones included, in order.
    std::vector<std::string> Out() { return logs.Lines(); }

    sim::Scheduler scheduler;
    sim::SimBle ble;
    ListedHid hid;
    std::vector<sim::SimBleDevice> pending;
    std::unique_ptr<BleSlots> slots;
    std::mutex recordMutex;
    std::vector<Recorded> recorded;
    LogCapture logs;
    FakePages broadcasts;
};

// The id is stored right after its text is sent, on the sender's thread.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> bytes;
    for (int b : list) bytes.push_back(static_cast<uint8_t>(b));
    return bytes;
}

}  // namespace orvex::test
