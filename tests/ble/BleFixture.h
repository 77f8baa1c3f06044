// BLE slots over the simulator's BLE stack, with the HID nodes the test lists.
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
#include "sim/Scheduler.h"
#include "sim/SimBle.h"
#include "support/Capture.h"
#include "support/Fakes.h"
#include "support/Pages.h"
#include "support/WsClient.h"

namespace orvex::test {

using namespace std::chrono_literals;

// Far beyond any step of the BLE worker over the simulator.
constexpr auto kWorkerWait = 30s;

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
    // A BLE HID node as enumeration lists it (bus: the vendor's wired device
    // on USB is no BLE one).
    void Listed(const std::string& path, uint16_t product, uint16_t bus = kBusBluetooth) {
        HidDeviceInfo info;
        info.path = path;
        info.vendor_id = kBleHidVendorId;
        info.product_id = product;
        info.bus_type = bus;
        info.pairing_key = "ble";
        hid.Add(info);
    }
    // Hands the devices to the stack and makes the slots.
    void Start() {
        for (const auto& device : pending) ble.AddDevice(device);
        pending.clear();
        slots = std::make_unique<BleSlots>(&ble, broadcasts);
    }
    // The connect loop, waited for; the open step first.
    void Connect() {
        slots->ConnectBleSlots();
        EXPECT_TRUE(slots->WaitForConnect(kWorkerWait));
    }
    void OpenAndConnect() {
        slots->OpenBleFamily(hid);
        Connect();
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
    FakeHidApi hid;
    std::vector<sim::SimBleDevice> pending;
    std::unique_ptr<BleSlots> slots;
    std::mutex recordMutex;
    std::vector<Recorded> recorded;
    LogCapture logs;
    FakePages broadcasts;
};

// A device id is stored before its notification's text goes out, so one query
// sent once the page has seen the text finds the slot: asked once, answered.
inline bool QueryOnceAnswered(WsClient& page, const std::string& query, const std::string& answer) {
    const long seen = Count(page.Messages(), answer);
    page.SendText(query);
    return WaitUntil([&] { return Count(page.Messages(), answer) > seen; }, 10s);
}

}  // namespace orvex::test
