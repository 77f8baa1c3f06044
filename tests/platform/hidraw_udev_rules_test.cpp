// The shipped udev rule: the keys it matches must be the ones the kernel
// gives our devices' hidraw nodes, and it must run before the seat rules turn
// the uaccess tag into an ACL.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace orvex {
namespace {

std::string RulesPath() {
    std::string here = __FILE__;  // …/tests/platform/this file
    for (int i = 0; i < 3; ++i) here = here.substr(0, here.find_last_of('/'));
    return here + "/packaging/udev/70-orvex-bridge.rules";
}

std::vector<std::string> Rules() {
    std::ifstream file(RulesPath());
    std::vector<std::string> rules;
    std::string line;
    while (std::getline(file, line))
        if (!line.empty() && line[0] != '#') rules.push_back(line);
    return rules;
}

// The value of KEY=="…" in a rule, empty when absent.
std::string Match(const std::string& rule, const std::string& key) {
    // A plain search: std::regex draws false uninitialised-use warnings from
    // this compiler's optimiser.
    const std::string opener = key + "==\"";
    size_t at = rule.find(opener);
    // The key must start a token, so that ATTRS{idVendor} is not found inside
    // another key's name.
    while (at != std::string::npos && at > 0 && rule[at - 1] != ' ' && rule[at - 1] != ',')
        at = rule.find(opener, at + 1);
    if (at == std::string::npos) return std::string();
    const size_t begin = at + opener.size();
    const size_t end = rule.find('"', begin);
    return end == std::string::npos ? std::string() : rule.substr(begin, end - begin);
}

TEST(TheUdevRule, SortsBeforeTheSeatRules) {
    const std::string name = RulesPath().substr(RulesPath().find_last_of('/') + 1);
    EXPECT_LT(std::stoi(name.substr(0, 2)), 73);
}

TEST(TheUdevRule, TagsTheHidrawNodesOfVendor1D57AndNoBluetoothNode) {
    const auto rules = Rules();
    ASSERT_EQ(rules.size(), 1u) << RulesPath();
    EXPECT_EQ(Match(rules[0], "SUBSYSTEM"), "hidraw");
    EXPECT_NE(rules[0].find(R"(TAG+="uaccess")"), std::string::npos);
    // sysfs writes idVendor in lower case. Nothing matches the Bluetooth
    // HID devices' kernel names: their nodes are never the bridge's to open.
    EXPECT_EQ(Match(rules[0], "ATTRS{idVendor}"), "1d57");
    EXPECT_EQ(rules[0].find("KERNELS"), std::string::npos);
}

}  // namespace
}  // namespace orvex
