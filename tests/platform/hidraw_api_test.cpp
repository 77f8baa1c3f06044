// The hidraw backend on this machine: what it can show without our devices,
// and what it shows when one is attached. Its handles are tried on a
// SOCK_SEQPACKET socket, which keeps report boundaries as a node does.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <map>
#include <string>
#include <vector>

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

// Two vendor collections: 0xFF00/0x0001 with input report 5, 0xFF01/0x0002
// with input report 6.
const std::vector<uint8_t> kTwoCollections = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x05, 0x09, 0x01, 0x95, 0x02, 0x75, 0x08, 0x81, 0x02, 0xC0,
    0x06, 0x01, 0xFF, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x06, 0x09, 0x01, 0x95, 0x02, 0x75, 0x08, 0x81, 0x02, 0xC0,
};

class AHidrawHandle : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        const auto layout = ParseReportDescriptor(kTwoCollections.data(), kTwoCollections.size());
        handle = MakeHidrawDevice(fds[0], HidReportFilter::ForCollection(layout, HidUsage{0xFF00, 0x0001}));
        node = fds[1];
    }
    void TearDown() override {
        if (node >= 0) ::close(node);
    }
    void Send(std::vector<uint8_t> report) {
        ASSERT_EQ(::send(node, report.data(), report.size(), 0), static_cast<ssize_t>(report.size()));
    }
    // What the node received from the handle.
    std::vector<uint8_t> Received() {
        std::vector<uint8_t> bytes(64);
        const ssize_t n = ::recv(node, bytes.data(), bytes.size(), MSG_DONTWAIT);
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return bytes;
    }

    std::shared_ptr<HidDevice> handle;
    int node = -1;
    ReaderWake wake;
    uint8_t buffer[16] = {};
};

TEST_F(AHidrawHandle, WaitsForAReportOfItsCollectionAndSkipsTheOthers) {
    auto read = std::async(std::launch::async, [&] { return handle->read_wait(buffer, sizeof buffer, wake); });
    Send({0x06, 0x01, 0x02});
    Send({0x05, 0x03, 0x04});
    ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(read.get(), 3);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{0x05, 0x03, 0x04, 0x00}));
}

TEST_F(AHidrawHandle, ReturnsAtOnceWhenItsWakeIsSetEvenWithAReportWaiting) {
    auto read = std::async(std::launch::async, [&] { return handle->read_wait(buffer, sizeof buffer, wake); });
    wake.Set();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the wake did not end the wait";
    EXPECT_EQ(read.get(), 0);
    Send({0x05, 0x01});
    EXPECT_EQ(handle->read_wait(buffer, sizeof buffer, wake), 0);
    // The report is still there for whoever reads next.
    wake.Clear();
    EXPECT_EQ(handle->read_wait(buffer, sizeof buffer, wake), 2);
}

TEST_F(AHidrawHandle, FailsAtEveryReadOnceTheNodeIsGone) {
    Send({0x05, 0x01});
    ::close(node);
    node = -1;
    // A report queued before the end is still read; then every read fails at
    // once, so that a reader sees the failure instead of a wake-up.
    EXPECT_EQ(handle->read_wait(buffer, sizeof buffer, wake), 2);
    EXPECT_LT(handle->read_wait(buffer, sizeof buffer, wake), 0);
    EXPECT_LT(handle->read_wait(buffer, sizeof buffer, wake), 0);
    EXPECT_LT(handle->read_timeout(buffer, sizeof buffer, 1000), 0);
}

TEST_F(AHidrawHandle, KeepsTheTimeOutOfControlReadsAndWritesReportsWhole) {
    EXPECT_EQ(handle->read_timeout(buffer, sizeof buffer, 0), 0);
    EXPECT_EQ(handle->read_timeout(buffer, sizeof buffer, 30), 0);
    Send({0x06, 0x01});  // another collection's: not an answer
    EXPECT_EQ(handle->read_timeout(buffer, sizeof buffer, 30), 0);
    Send({0x05, 0x09});
    EXPECT_EQ(handle->read_timeout(buffer, sizeof buffer, 1000), 2);
    const uint8_t report[] = {0x00, 0x04, 0x0C, 0xA0};
    EXPECT_EQ(handle->write(report, sizeof report), 4);
    EXPECT_EQ(Received(), std::vector<uint8_t>(report, report + 4));
    // Feature reports go through the node's ioctls, which a socket has not.
    EXPECT_LT(handle->send_feature_report(report, sizeof report), 0);
    EXPECT_LT(handle->get_feature_report(buffer, sizeof buffer), 0);
}

}  // namespace
}  // namespace orvex
