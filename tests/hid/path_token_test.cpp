#include <gtest/gtest.h>

#include <string>

#include "hid/HidDeviceManager.h"

namespace orvex {
namespace {

TEST(APathToken, IsTheFifthAmpersandFieldWithSeparatorRunsCountingAsOne) {
    const struct {
        std::string path;
        std::string token;
    } cases[] = {
        {R"(\\?\hid#vid_1d57&pid_fa60&mi_01&col01#8&2d4a0f3b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})",
         "2d4a0f3b"},
        {"a&b&c&d&e&f", "e"},
        {"&&a&&b&&&c&d&&e&f", "e"},  // leading separators skipped, runs count once
        {"a&b&c&d&e", "e"},
        {"a&b&c&d&", ""},  // only four fields
        {"a&b&c&d", ""},
        {"", ""},
        {"&&&&&&", ""},
        {"/dev/hidraw3", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(GetPathToken(c.path), c.token) << c.path;
}

TEST(APathToken, IsCutAt259Characters) {
    const std::string longField(400, 'x');
    EXPECT_EQ(GetPathToken("a&b&c&d&" + longField + "&f"), std::string(259, 'x'));
}

TEST(APathToken, LeavesTheCallersPathWhole) {
    const std::string path = "a&b&c&d&e&f";
    GetPathToken(path);
    EXPECT_EQ(path, "a&b&c&d&e&f");
}

TEST(TwoTokens, AreTheSameWhenTheyDifferOnlyInLetterCase) {
    EXPECT_TRUE(SameToken("/sys/devices/pci0000:00/usb1/1-2", "/SYS/devices/PCI0000:00/usb1/1-2"));
    EXPECT_TRUE(SameToken("", ""));
    EXPECT_FALSE(SameToken("1-2", "1-3"));
    EXPECT_FALSE(SameToken("1-2", "1-2.1"));
    EXPECT_FALSE(SameToken("", "x"));
}

}  // namespace
}  // namespace orvex
