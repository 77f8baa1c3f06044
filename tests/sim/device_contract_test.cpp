// The reference copy of the device contract is the simulator's: its models,
// report descriptors and query answers (sim/Devices.cpp,
// sim/ReportDescriptors.h, sim/DeviceContract.h). The bridge's own tables and
// the console's decoder are checked against it here.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "families/Families.h"
#include "protocol/Packets.h"
#include "sim/DeviceContract.h"
#include "sim/Devices.h"
#include "sim/ReportDescriptors.h"

namespace orvex {
namespace {

std::vector<int> Numbers(const std::string& list) {
    std::vector<int> numbers;
    const std::regex number("0x[0-9a-fA-F]+|\\d+");
    for (std::sregex_iterator it(list.begin(), list.end(), number), end; it != end; ++it)
        numbers.push_back(std::stoi(it->str(), nullptr, 0));
    return numbers;
}

// The console's constant `name` (a number or a list of numbers).
std::vector<int> ConsoleConstant(const std::string& js, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(js, m, std::regex("export const " + name + " = ([^;]*);"))) return {};
    return Numbers(m[1].str());
}

template <typename Predicate>
std::vector<int> Codes(Predicate keep) {
    std::vector<int> codes;
    for (const FamilyRules& rules : kFamilies)
        if (keep(rules)) codes.push_back(rules.family);
    return codes;
}

TEST(TheDeviceContract, IsWhatTheBridgeTheConsoleAndTheFamilyTableAssume) {
    std::ifstream file(ORVEX_SOURCE_DIR "/console/protocol.js");
    ASSERT_TRUE(file) << "console/protocol.js not found";
    std::stringstream text;
    text << file.rdbuf();
    const std::string js = text.str();

    // Families: the console's lists, and the models that serve each family.
    EXPECT_EQ(ConsoleConstant(js, "FAMILIES"), Codes([](const FamilyRules&) { return true; }));
    EXPECT_EQ(ConsoleConstant(js, "HID_FAMILIES"),
              Codes([](const FamilyRules& r) { return r.transport == Transport::Hid; }));
    EXPECT_EQ(ConsoleConstant(js, "BLE_FAMILY"),
              Codes([](const FamilyRules& r) { return r.transport == Transport::Ble; }));
    EXPECT_EQ(ConsoleConstant(js, "ACK_FAMILY"),
              Codes([](const FamilyRules& r) { return r.commands == CommandRoute::AcknowledgedFeature; }));
    for (const FamilyRules& rules : kFamilies) {
        char code[3];
        std::snprintf(code, sizeof code, "%02x", rules.family);
        SCOPED_TRACE(code);
        int served = 0;
        for (const sim::DeviceModel& model : sim::Models()) {
            if (model.families.find(code) == std::string::npos) continue;
            ++served;
            EXPECT_EQ(model.bus == kBusBluetooth, rules.transport == Transport::Ble);
            if (rules.transport == Transport::Ble) continue;
            EXPECT_TRUE(FamilyTakesProduct(rules, model.vendor_id, model.product_id));
            for (const UsagePair& pair : {rules.control, rules.input}) {
                bool listed = false;
                for (const auto& c : model.collections)
                    listed |= c.usage_page == pair.usage_page && c.usage == pair.usage;
                EXPECT_TRUE(listed) << std::hex << pair.usage_page << "/" << pair.usage;
            }
        }
        EXPECT_EQ(served, 1);
    }

    // Query codes: the same set everywhere, the same lengths and BLE requests.
    const std::regex row(
        R"(\{ code: (0x[0-9a-f]+), replyBytes: (\d+), argument: (true|false), ble: (null|0x[0-9a-f]+) \})");
    std::set<int> consoleCodes;
    for (std::sregex_iterator it(js.begin(), js.end(), row), end; it != end; ++it) {
        const std::smatch& m = *it;
        const int code = std::stoi(m[1].str(), nullptr, 16);
        SCOPED_TRACE(m[0].str());
        consoleCodes.insert(code);
        const orvex_query_code* reference = orvex_find_query_code(static_cast<unsigned char>(code));
        const protocol::QueryCommand* bridge = protocol::FindQueryCommand(static_cast<uint8_t>(code));
        ASSERT_NE(reference, nullptr);
        ASSERT_NE(bridge, nullptr);
        EXPECT_EQ(std::stoi(m[2].str()), bridge->replyLength);
        const bool argument =
            bridge->featureValue != protocol::ArgumentRule::Zero || bridge->outputByte5 != protocol::ArgumentRule::Zero;
        EXPECT_EQ(m[3].str() == "true", argument);
        EXPECT_EQ(m[4].str() == "null" ? 0 : std::stoi(m[4].str(), nullptr, 16), reference->ble_request);

        EXPECT_EQ(bridge->dataLength,
                  orvex_declared_report_length(orvex_feature_device_descriptor, sizeof orvex_feature_device_descriptor,
                                               ORVEX_HID_FEATURE, static_cast<unsigned>(code)));
        EXPECT_EQ(bridge->dataReports, reference->answer_reports);
        std::array<uint8_t, 8> request{};
        EXPECT_EQ(protocol::BuildBleQueryRequest(static_cast<uint8_t>(code), 1, &request), reference->ble_request != 0);
        EXPECT_EQ(request[0], reference->ble_request);
    }
    std::set<int> referenceCodes;
    for (const orvex_query_code& q : orvex_query_codes) {
        referenceCodes.insert(q.code);
        EXPECT_NE(protocol::FindQueryCommand(q.code), nullptr) << int(q.code);
    }
    EXPECT_EQ(consoleCodes, referenceCodes);
}

}  // namespace
}  // namespace orvex
