// The hidraw backend on this machine: what it can show without our devices,
// and what it shows when one is attached.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include "hid/HidFamilies.h"
#include "platform/linux/HidrawApi.h"

namespace orvex {
namespace {

class TheHidrawBackend : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(api.init(), 0); }
    HidrawApi api;
};

HidDeviceInfo EntryFor(const std::string& path) {
    HidDeviceInfo entry;
    entry.path = path;
    entry.usage_page = 0x000A;
    return entry;
}

TEST_F(TheHidrawBackend, ReportsAMissingNodeAsNotFound) {
    HidOpenError error = HidOpenError::None;
    EXPECT_EQ(api.open(EntryFor("/dev/hidraw-orvex-missing"), &error), nullptr);
    EXPECT_EQ(error, HidOpenError::NotFound);
}

TEST_F(TheHidrawBackend, ReportsANodeItMayNotOpenAsPermissionDenied) {
    char path[] = "/tmp/orvex-hidraw-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ::chmod(path, 0);
    if (::geteuid() != 0) {
        HidOpenError error = HidOpenError::None;
        EXPECT_EQ(api.open(EntryFor(path), &error), nullptr);
        EXPECT_EQ(error, HidOpenError::PermissionDenied);
    } else {
        // Root opens every file: try as nobody, in a child.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
            HidrawApi nobody;
            HidOpenError error = HidOpenError::None;
            const bool opened = nobody.open(EntryFor(path), &error) != nullptr;
            ::_exit(opened ? 1 : error == HidOpenError::PermissionDenied ? 0 : 2);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 3) {
            ::unlink(path);
            GTEST_SKIP() << "cannot become nobody to check this";
        }
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: opened, 2: another error";
    }
    ::unlink(path);
}

TEST_F(TheHidrawBackend, GivesEveryCollectionOfOneAttachedDeviceTheSameKey) {
    const auto entries = api.enumerate(kOrvexVendorId, 0);
    if (entries.empty()) GTEST_SKIP() << "no hidraw device of vendor 0x1D57 is attached";
    std::map<std::string, std::string> keyOfNode;
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.vendor_id, kOrvexVendorId);
        EXPECT_FALSE(entry.pairing_key.empty()) << entry.path;
        auto it = keyOfNode.emplace(entry.path, entry.pairing_key).first;
        EXPECT_EQ(it->second, entry.pairing_key) << entry.path;
    }
}

}  // namespace
}  // namespace orvex
