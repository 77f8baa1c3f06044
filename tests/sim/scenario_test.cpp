// Loading scenarios: the devices they describe, the defaults they leave out,
// and the message for every kind of mistake.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/Devices.h"
#include "sim/SimTestUtil.h"
#include "support/Process.h"

namespace orvex::sim {
namespace {

using testing::Load;

struct Usage {
    uint16_t page, usage;
    bool operator==(const Usage& o) const { return page == o.page && usage == o.usage; }
};
std::ostream& operator<<(std::ostream& os, const Usage& u) {
    return os << std::hex << "[0x" << u.page << ",0x" << u.usage << "]" << std::dec;
}

std::vector<Usage> UsagesOf(Simulator& simulator, uint16_t product) {
    std::vector<Usage> usages;
    for (const auto& entry : simulator.hid().enumerate(0x1D57, product))
        usages.push_back({entry.usage_page, entry.usage});
    return usages;
}

TEST(AScenario, GivesEachProductIdItsDefaultCollectionsInEnumerationOrder) {
    struct Case {
        const char* product;
        uint16_t id;
        std::vector<Usage> collections;
    };
    const Case cases[] = {
        {"\"0xFA60\"", 0xFA60, {{0x000B, 0x0000}, {0x000A, 0x0000}}},
        {"\"0xfa65\"", 0xFA65, {{0xFF00, 0x0001}, {0x000A, 0x0000}, {0xFF01, 0x0002}}},
        {"4660", 0x1234, {{0x000B, 0x0000}, {0x000A, 0x0000}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.product);
        auto simulator =
            Load(std::string(R"({"devices":[{"name":"d","vendor_id":"0x1D57","product_id":)") + c.product + "}]}");
        ASSERT_TRUE(simulator);
        EXPECT_EQ(UsagesOf(*simulator, c.id), c.collections);
    }
}

TEST(AScenario, TakesADevicesIdsBusAndCollectionsFromItsModelUnlessGiven) {
    for (const auto& model : Models()) {
        SCOPED_TRACE(model.name);
        auto simulator = Load(R"({"devices":[{"name":"d","model":")" + model.name + R"("},
            {"name":"e","model":")" +
                              model.name + R"(","product_id":"0x0001","bus":"usb","collections":[[1,2]]}]})");
        ASSERT_TRUE(simulator);
        const auto entries = simulator->hid().enumerate(model.vendor_id, model.product_id);
        ASSERT_EQ(entries.size(), model.collections.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ((Usage{entries[i].usage_page, entries[i].usage}),
                      (Usage{model.collections[i].usage_page, model.collections[i].usage}));
            EXPECT_EQ(entries[i].bus_type, model.bus);
        }
        const auto given = simulator->hid().enumerate(model.vendor_id, 0x0001);
        ASSERT_EQ(given.size(), 1u);
        EXPECT_EQ((Usage{given[0].usage_page, given[0].usage}), (Usage{1, 2}));
        EXPECT_EQ(given[0].bus_type, kBusUsb);
    }
}

TEST(AScenario, DescribesEachCollectionWithItsPathBusAndOneKeyPerDevice) {
    auto simulator = Load(R"({"devices":[
        {"name":"mouse","vendor_id":7511,"product_id":"0xFA60"},
        {"name":"pad.2","bus":"ble","vendor_id":"0x045E","product_id":"0x0001","collections":[["0xFF00",1]]}]})");
    ASSERT_TRUE(simulator);
    const auto usb = simulator->hid().enumerate(0x1D57, 0);
    ASSERT_EQ(usb.size(), 2u);
    for (size_t i = 0; i < usb.size(); ++i) {
        EXPECT_EQ(usb[i].path, "/dev/sim/mouse/" + std::to_string(i));
        EXPECT_EQ(usb[i].vendor_id, 0x1D57);
        EXPECT_EQ(usb[i].product_id, 0xFA60);
        EXPECT_EQ(usb[i].bus_type, kBusUsb);
        EXPECT_EQ(usb[i].pairing_key, "sim:mouse");
    }
    const auto ble = simulator->hid().enumerate(0x045E, 0x0001);
    ASSERT_EQ(ble.size(), 1u);
    EXPECT_EQ(ble[0].path, "/dev/sim/pad.2/0");
    EXPECT_EQ(ble[0].bus_type, kBusBluetooth);
    EXPECT_EQ(ble[0].pairing_key, "sim:pad.2");
    EXPECT_EQ((Usage{ble[0].usage_page, ble[0].usage}), (Usage{0xFF00, 0x0001}));
    EXPECT_EQ(simulator->CollectionPaths("pad.2"), std::vector<std::string>{"/dev/sim/pad.2/0"});
    EXPECT_TRUE(simulator->CollectionPaths("nobody").empty());
}

TEST(AScenario, MayBeEmpty) {
    auto simulator = Load(R"({"devices":[]})");
    ASSERT_TRUE(simulator);
    EXPECT_TRUE(simulator->hid().enumerate(0x1D57, 0).empty());
    EXPECT_TRUE(simulator->DeviceNames().empty());
}

TEST(AScenario, IsRefusedWithAMessageNamingTheDeviceAndTheProblem) {
    const std::string m = R"("name":"m","vendor_id":"0x1D57","product_id":"0xFA60")";
    auto device = [&](const std::string& extra) { return "{\"devices\":[{" + m + extra + "}]}"; };
    struct Case {
        std::string scenario;
        std::string error;
    };
    const Case cases[] = {
        {"[]", R"(expected an object {"devices": [...]}, got array)"},
        {R"({"devices":{}})", R"(expected a list "devices")"},
        {R"({"device":[]})", R"(unknown field "device")"},
        {R"({"devices":[5]})", "device 0: expected an object, got number"},
        {R"({"devices":[{"vendor_id":1,"product_id":2}]})", R"(device 0: missing field "name")"},
        {R"({"devices":[{"name":"a/b","vendor_id":1,"product_id":2}]})",
         R"(device 0 ("a/b"): name: expected 1 to 64 letters, digits, '_', '-' or '.')"},
        {R"({"devices":[{"name":"m","vendor_id":1,"product_id":2},{"name":"m","vendor_id":1,"product_id":3}]})",
         R"(device 1: duplicate name "m")"},
        {device(R"(,"bus":"serial")"), R"(device 0 ("m"): bus: expected "usb" or "ble", got "serial")"},
        {device(R"(,"atached":false)"), R"(device 0 ("m"): unknown field "atached")"},
        {R"({"devices":[{"name":"m","vendor_id":"0xZZ","product_id":2}]})",
         R"(device 0 ("m"): vendor_id: "0xZZ" is not a number (use digits or "0x" and hex digits))"},
        {R"({"devices":[{"name":"m","vendor_id":70000,"product_id":2}]})",
         R"(device 0 ("m"): vendor_id: 70000 is out of range 0..65535)"},
        {R"({"devices":[{"name":"m","vendor_id":true,"product_id":2}]})",
         R"(device 0 ("m"): vendor_id: expected a number or a "0x..." string, got boolean)"},
        {R"({"devices":[{"name":"m","vendor_id":1.5,"product_id":2}]})",
         R"(device 0 ("m"): vendor_id: expected a number or a "0x..." string, got a fractional number)"},
        {R"({"devices":[{"name":"m","vendor_id":1}]})", R"(device 0 ("m"): missing field "product_id" (or a "model"))"},
        {R"({"devices":[{"name":"m","model":"vireo2"}]})",
         R"(device 0 ("m"): model: expected one of vireo, sabre, wired, wired85, ble, got "vireo2")"},
        {R"({"devices":[{"name":"m","model":7}]})",
         R"(device 0 ("m"): model: expected one of vireo, sabre, wired, wired85, ble, got number)"},
        {device(R"(,"device_id":256)"), R"(device 0 ("m"): device_id: 256 is out of range 0..255)"},
        {device(R"(,"device_id":-1)"), R"(device 0 ("m"): device_id: -1 is out of range 0..255)"},
        {device(R"(,"attached":"yes")"), R"(device 0 ("m"): attached: expected true or false, got string)"},
        {device(R"(,"collections":[])"),
         R"(device 0 ("m"): collections: expected a list of 1 to 64 [usage_page, usage] pairs)"},
        {device(R"(,"collections":[[1]])"), R"(device 0 ("m"): collections[0]: expected a [usage_page, usage] pair)"},
        {device(R"(,"collections":[[1,"0x10000"]])"),
         R"(device 0 ("m"): collections[0] usage: 65536 is out of range 0..65535)"},
        {device(R"(,"answers":{"0x09":"abc"})"), R"(device 0 ("m"): answers.0x09: bad hex: odd number of hex digits)"},
        {device(R"(,"answers":{"0x09":"0g"})"),
         R"(device 0 ("m"): answers.0x09: bad hex: not a hex digit at position 1)"},
        {device(R"(,"answers":{"300":"00"})"), R"(device 0 ("m"): answers.300: 300 is out of range 0..255)"},
        {device(R"(,"answers":{"9":9})"), R"(device 0 ("m"): answers.9: expected a hex string, got number)"},
        {device(R"(,"open_error":"sometimes")"),
         R"(device 0 ("m"): open_error: expected "none", "permission" or "other", got "sometimes")"},
        {device(R"(,"fail_open_collections":[2])"),
         R"(device 0 ("m"): fail_open_collections[0]: 2 is out of range 0..1)"},
        {device(R"(,"fail_open_collections":1)"),
         R"(device 0 ("m"): fail_open_collections: expected a list of collection indices, got number)"},
        {device(R"(,"ack_delay_ms":-1)"), R"(device 0 ("m"): ack_delay_ms: -1 is out of range 0..600000)"},
        {device(R"(,"silent":1)"), R"(device 0 ("m"): silent: expected true or false, got number)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        std::string error;
        EXPECT_EQ(Simulator::LoadScenarioText(c.scenario, &error), nullptr);
        EXPECT_EQ(error, c.error);
    }
}

TEST(AScenario, ThatIsNotJsonIsRefusedAsSuch) {
    for (const std::string text : {"", "{", "{\"devices\":[]} x", "\xff\xfe"}) {
        std::string error;
        EXPECT_EQ(Simulator::LoadScenarioText(text, &error), nullptr);
        EXPECT_EQ(error.rfind("not valid JSON: ", 0), 0u) << error;
    }
}

TEST(AScenarioFile, ThatCannotBeReadOrIsWrongIsNamedInTheMessage) {
    test::TempDir dir;
    const std::string missing = dir.path() + "/missing.json";
    std::string error;
    EXPECT_EQ(Simulator::LoadScenarioFile(missing, &error), nullptr);
    EXPECT_EQ(error, missing + ": cannot read the scenario file: No such file or directory");

    const std::string bad = dir.path() + "/bad.json";
    std::ofstream(bad) << R"({"devices":[{"vendor_id":1,"product_id":2}]})";
    EXPECT_EQ(Simulator::LoadScenarioFile(bad, &error), nullptr);
    EXPECT_EQ(error, bad + R"(: device 0: missing field "name")");

    EXPECT_EQ(Simulator::LoadScenarioFile(dir.path(), &error), nullptr);
    EXPECT_EQ(error, dir.path() + ": cannot read the scenario file: it is a directory");

    const std::string good = dir.path() + "/good.json";
    std::ofstream(good) << R"({"devices":[{"name":"m","vendor_id":"0x1D57","product_id":"0xFA60"}]})";
    auto simulator = Simulator::LoadScenarioFile(good, &error);
    ASSERT_TRUE(simulator) << error;
    EXPECT_EQ(simulator->DeviceNames(), std::vector<std::string>{"m"});
}

TEST(TheExampleScenarios, LoadWithOneHidDeviceOfEachFamilyAndTwoBleDevices) {
    const std::string here = __FILE__;
    const std::string dir = here.substr(0, here.rfind("/tests/")) + "/sim/scenarios/";
    if (access(dir.c_str(), R_OK) != 0) GTEST_SKIP() << "source tree not reachable at " << dir;
    std::string error;
    auto hid = Simulator::LoadScenarioFile(dir + "example.json", &error);
    ASSERT_TRUE(hid) << error;
    EXPECT_EQ(hid->hid().enumerate(0x1D57, 0).size(), 2u + 3u + 2u + 2u);
    auto ble = Simulator::LoadScenarioFile(dir + "ble.json", &error);
    ASSERT_TRUE(ble) << error;
    EXPECT_EQ(ble->ble().DeviceNodes().size(), 2u);
}

TEST(AScenarioFile, ThatNeverEndsIsRefusedInsteadOfReadForever) {
    if (access("/dev/zero", R_OK) != 0) GTEST_SKIP() << "no readable /dev/zero";
    std::string error;
    EXPECT_EQ(Simulator::LoadScenarioFile("/dev/zero", &error), nullptr);
    EXPECT_EQ(error, "/dev/zero: the scenario file is larger than 16 MiB");
}

}  // namespace
}  // namespace orvex::sim
