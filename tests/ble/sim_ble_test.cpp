// The simulator's BLE devices as a scenario describes them and as the
// control requests drive them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sim/SimBle.h"
#include "sim/Simulator.h"

namespace orvex::test {
namespace {

std::unique_ptr<sim::Simulator> Load(const std::string& text, std::string* error = nullptr) {
    std::string ignored;
    return sim::Simulator::LoadScenarioText(text, error ? error : &ignored);
}

TEST(ASimulatedBleDevice, IsListedByHidOnTheBluetoothBusAndByTheStackUnderItsAddress) {
    auto sim = Load(R"({"devices": [
      {"name": "usb", "vendor_id": "0x1D57", "product_id": "0xFA60"},
      {"name": "pad", "bus": "ble", "vendor_id": "0x045E", "product_id": "0x0B13"},
      {"name": "pen", "bus": "ble", "vendor_id": "0x045E", "product_id": "0x0B14", "address": "12:34:56:78:9A:BC",
       "connected": false}]})");
    ASSERT_TRUE(sim);
    const auto hid = sim->hid().enumerate(0x045E, 0);
    ASSERT_FALSE(hid.empty());
    EXPECT_EQ(hid[0].bus_type, kBusBluetooth);
    const auto nodes = sim->ble().DeviceNodes();
    ASSERT_EQ(nodes.size(), 2u);
    // Without an address, one of its own from its place in the list.
    EXPECT_EQ(nodes[0].hardware_ids, std::vector<std::string>{"BTHLE\\Dev_C0FFEE000002"});
    EXPECT_FALSE(nodes[0].disconnected);
    EXPECT_EQ(nodes[1].hardware_ids, std::vector<std::string>{"BTHLE\\Dev_123456789ABC"});
    EXPECT_TRUE(nodes[1].disconnected);
    EXPECT_EQ(sim->ble().ServiceInterfaces(),
              (std::vector<std::string>{"BTHLEDEVICE\\{0000FEE0-0000-1000-8000-00805F9B34FB}_DEV_VID&02045E_PID&0B13_"
                                        "REV&0001_C0FFEE000002\\sim/pad",
                                        "BTHLEDEVICE\\{0000FEE0-0000-1000-8000-00805F9B34FB}_DEV_VID&02045E_PID&0B14_"
                                        "REV&0001_123456789ABC\\sim/pen"}));

    // Unplugged, it stays known but is no longer connected.
    ASSERT_TRUE(sim->Unplug("pad", nullptr));
    EXPECT_TRUE(sim->ble().DeviceNodes()[0].disconnected);
    EXPECT_TRUE(sim->hid().enumerate(0x045E, 0x0B13).empty());
    ASSERT_TRUE(sim->Plug("pad", nullptr));
    EXPECT_FALSE(sim->ble().DeviceNodes()[0].disconnected);
}

TEST(ASimulatedBleDevice, RefusesBadBleFields) {
    struct Case {
        const char* fields;
        const char* message;
    };
    const Case cases[] = {
        {R"("address": "12:34")", "address: expected"},
        {R"("address": 7)", "address: expected"},
        {R"("connected": "yes")", "connected: expected true or false"},
        {R"("writable": 1)", "writable: expected true or false"},
        {R"("cccd_handles": [70000])", "cccd_handles[0]"},
        {R"("cccd_handles": 5)", "cccd_handles: expected a list"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(
            Load(std::string(R"({"devices": [{"name": "pad", "bus": "ble", "vendor_id": 1118, "product_id": 1, )") +
                     c.fields + "}]}",
                 &error))
            << c.fields;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(ASimulatedBleDevice, RecordsWritesAndSubscriptionsAndRefusesNotificationsItCannotSend) {
    auto sim = Load(R"({"devices": [
      {"name": "pad", "bus": "ble", "vendor_id": "0x045E", "product_id": "0x0B13", "cccd_handles": ["0x15", 300]},
      {"name": "usb", "vendor_id": "0x1D57", "product_id": "0xFA60"}]})");
    ASSERT_TRUE(sim);
    auto& ble = sim->ble();
    const auto names = ble.ServiceInterfaces();
    ASSERT_EQ(names.size(), 1u);
    auto service = ble.OpenService(names[0]);
    ASSERT_TRUE(service);
    std::vector<BleGattService> services;
    ASSERT_EQ(service->GetServices(&services), 0);
    std::vector<BleGattCharacteristic> characteristics;
    ASSERT_EQ(service->GetCharacteristics(services[0], &characteristics), 0);
    ASSERT_EQ(characteristics.size(), 2u);
    std::vector<BleGattDescriptor> descriptors;
    ASSERT_EQ(service->GetDescriptors(characteristics[1], &descriptors), 0);
    ASSERT_EQ(descriptors.size(), 2u);
    EXPECT_EQ(descriptors[1].attribute_handle, 300);
    EXPECT_EQ(service->SubscribeToNotifications(descriptors[0]), 0);
    const uint8_t bytes[] = {0x01, 0x02};
    EXPECT_EQ(service->WriteCharacteristic(characteristics[0], bytes, 2), 0);
    EXPECT_NE(service->WriteCharacteristic(characteristics[1], bytes, 2), 0);

    const auto log = nlohmann::json::parse(sim->HandleControlRequest(R"({"op":"log","device":"pad"})"));
    ASSERT_EQ(log["received"].size(), 2u) << log.dump();
    EXPECT_EQ(log["received"][0]["kind"], "subscribe");
    EXPECT_EQ(log["received"][0]["collection"], 0x15);
    EXPECT_EQ(log["received"][1]["kind"], "write");
    EXPECT_EQ(log["received"][1]["hex"], "0102");

    // No registration yet: sent to nobody.
    auto reply = nlohmann::json::parse(sim->HandleControlRequest(R"({"op":"notify","device":"pad","hex":"01"})"));
    EXPECT_EQ(reply, nlohmann::json::parse(R"({"ok":true,"delivered":0})"));
    for (const char* request : {R"({"op":"notify","device":"usb","hex":"01"})", R"({"op":"notify","device":"pad"})",
                                R"({"op":"notify","device":"pad","hex":"0g"})", R"({"op":"notify","hex":"01"})"}) {
        reply = nlohmann::json::parse(sim->HandleControlRequest(request));
        EXPECT_EQ(reply["ok"], false) << request;
        EXPECT_TRUE(reply["error"].is_string()) << request;
    }
    ASSERT_TRUE(sim->Unplug("pad", nullptr));
    reply = nlohmann::json::parse(sim->HandleControlRequest(R"({"op":"notify","device":"pad","hex":"01"})"));
    EXPECT_EQ(reply["error"], "device \"pad\" is not connected");
    EXPECT_NE(service->WriteCharacteristic(characteristics[0], bytes, 2), 0);
}

}  // namespace
}  // namespace orvex::test
