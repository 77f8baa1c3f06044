// What the simulator cannot show: several collections behind one node path.
// A small fake HidApi.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hid/HidDeviceManager.h"
#include "support/Capture.h"
#include "support/Pages.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class QuietDevice final : public HidDevice {
public:
    int read_wait(uint8_t*, size_t, ReaderWake& wake) override {
        wake.Wait();
        return 0;
    }
    int read_timeout(uint8_t*, size_t, int) override { return 0; }
    int write(const uint8_t*, size_t) override { return -1; }
    int send_feature_report(const uint8_t*, size_t) override { return -1; }
    int get_feature_report(uint8_t*, size_t) override { return -1; }
};

class FakeHid final : public HidApi {
public:
    int init() override { return 0; }
    std::vector<HidDeviceInfo> enumerate(uint16_t, uint16_t) override { return entries; }
    std::shared_ptr<HidDevice> open(const HidDeviceInfo& entry, HidOpenError* error) override {
        for (const auto& denied : deniedPaths)
            if (denied == entry.path) {
                *error = HidOpenError::PermissionDenied;
                return nullptr;
            }
        *error = HidOpenError::None;
        auto device = std::make_shared<QuietDevice>();
        opened.push_back(device);
        return device;
    }
    std::vector<HidDeviceInfo> entries;
    std::vector<std::string> deniedPaths;
    std::vector<std::shared_ptr<QuietDevice>> opened;
};

class NoPause final : public Clock {
public:
    void sleep_for(std::chrono::milliseconds d) override {
        if (d < 100ms) std::this_thread::sleep_for(d);
    }
};

HidDeviceInfo Entry(const std::string& path, uint16_t page, uint16_t usage, const std::string& key = "") {
    HidDeviceInfo e;
    e.path = path;
    e.vendor_id = kOrvexVendorId;
    e.product_id = kProductVireo;
    e.usage_page = page;
    e.usage = usage;
    e.bus_type = kBusUsb;
    e.pairing_key = key;
    return e;
}

TEST(ANodeSharedByTwoCollections, GetsOnePermissionLinePerOpenStep) {
    FakeHid hid;
    NoPause clock;
    test::LogCapture log;
    test::FakePages broadcasts;
    hid.entries = {Entry("/dev/hidraw4", 0x000B, 0x0000, "k"), Entry("/dev/hidraw4", 0x000A, 0x0000, "k"),
                   Entry("/dev/hidraw5", 0x000A, 0x0000, "m")};
    hid.deniedPaths = {"/dev/hidraw4"};
    HidDeviceManager manager(hid, clock, broadcasts);
    manager.OpenHidFamily(0x81);
    ASSERT_EQ(log.Diags().size(), 1u);
    EXPECT_THAT(log.Diags()[0], HasSubstr("/dev/hidraw4"));
    EXPECT_THAT(log.Diags()[0], HasSubstr("70-orvex-bridge.rules"));
    manager.OpenHidFamily(0x81);
    EXPECT_EQ(log.Diags().size(), 2u);  // told again at the next open step
    EXPECT_EQ(manager.m_hid81.m_nInputCount, 1);
}

// A device whose read waits, inside the read, until the test lets it answer:
// the simulator answers at once, so it cannot show a removal landing while
// a reader is in the middle of reading.
class HeldDevice final : public HidDevice {
public:
    int read_wait(uint8_t* data, size_t length, ReaderWake& wake) override {
        if (m_answered || length < 3) {
            wake.Wait();
            return 0;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_inRead = true;
        m_cv.notify_all();
        m_cv.wait(lock, [&] { return m_release; });
        m_answered = true;
        data[0] = 0x05;
        data[1] = 0x07;
        data[2] = 0x01;
        return 3;
    }
    int read_timeout(uint8_t*, size_t, int) override { return 0; }
    int write(const uint8_t*, size_t) override { return -1; }
    int send_feature_report(const uint8_t*, size_t) override { return -1; }
    int get_feature_report(uint8_t*, size_t) override { return -1; }

    bool WaitInRead() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, 5s, [&] { return m_inRead; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_release = true;
        m_cv.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_inRead = false, m_release = false;
    std::atomic<bool> m_answered{false};
};

class HeldHid final : public HidApi {
public:
    int init() override { return 0; }
    std::vector<HidDeviceInfo> enumerate(uint16_t, uint16_t) override {
        return {Entry("/dev/hidraw1", 0x000B, 0x0000, "k"), Entry("/dev/hidraw1", 0x000A, 0x0000, "k")};
    }
    std::shared_ptr<HidDevice> open(const HidDeviceInfo& entry, HidOpenError* error) override {
        *error = HidOpenError::None;
        if (entry.usage_page == 0x000A) return input;
        return std::make_shared<QuietDevice>();
    }
    std::shared_ptr<HeldDevice> input = std::make_shared<HeldDevice>();
};

TEST(AReportReadWhileItsSlotIsCleared, IsDroppedAndGivesTheClearedSlotNoId) {
    HeldHid hid;
    NoPause clock;
    test::FakePages broadcasts;
    HidDeviceManager manager(hid, clock, broadcasts);
    manager.OpenHidFamily(0x81);
    ASSERT_TRUE(hid.input->WaitInRead());
    {
        // What a removal does while the reader is inside the device read.
        std::lock_guard<std::mutex> lock(manager.m_hid81.m_mutex);
        manager.m_hid81.m_input[0] = HidCollectionRecord();
    }
    hid.input->Release();
    manager.StopSlotReader(0x81, 0);  // the poll has finished once this returns
    EXPECT_TRUE(broadcasts.Texts().empty());
    std::lock_guard<std::mutex> lock(manager.m_hid81.m_mutex);
    EXPECT_EQ(manager.m_hid81.m_input[0].nDeviceId, 0);
    EXPECT_EQ(manager.m_hid81.m_bPaired[0], 0);
    EXPECT_EQ(manager.m_hid81.m_control[0].hInput, nullptr);
    EXPECT_EQ(manager.m_hid81.m_control[0].nDeviceId, 0);
}

}  // namespace
}  // namespace orvex
