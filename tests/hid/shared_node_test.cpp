// What the simulator cannot show: several collections behind one node path,
// a removal landing while a reader is inside its read, and an input that
// refuses non-blocking mode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "hid/HidDeviceManager.h"
#include "protocol/CommandProtocol.h"
#include "support/Capture.h"
#include "support/Fakes.h"
#include "support/Pages.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using test::FakeHidDevice;
using ::testing::HasSubstr;

class AFamily81Manager : public ::testing::Test {
protected:
    test::LogCapture m_log;
    test::FakePages m_pages;
    test::FakeHidApi m_hid;
    test::FakeClock m_clock{10ms};
    HidDeviceManager m_manager{m_hid, m_clock, m_pages};
};

TEST_F(AFamily81Manager, GetsOnePermissionLinePerOpenStepForANodeSharedByTwoCollections) {
    for (auto& denied : m_hid.Add(sim::Model("vireo"), "/dev/hidraw4", "k"))
        denied->openError = HidOpenError::PermissionDenied;
    auto other = m_hid.Add(sim::Model("vireo"), "/dev/hidraw5", "m");
    other[0]->Unplug();  // only its input collection is there
    m_manager.OpenHidFamily(0x81);
    ASSERT_EQ(m_log.Diags().size(), 1u);
    EXPECT_THAT(m_log.Diags()[0], HasSubstr("/dev/hidraw4"));
    EXPECT_THAT(m_log.Diags()[0], HasSubstr("70-orvex-bridge.rules"));
    m_manager.OpenHidFamily(0x81);
    EXPECT_EQ(m_log.Diags().size(), 2u);  // told again at the next open step
    // The other node's input was opened all the same.
    other[1]->QueueInput({0x05, 0x09});
    EXPECT_TRUE(m_pages.WaitForText("81010509000000", 10s));
}

TEST_F(AFamily81Manager, DropsAReportReadWhileItsSlotIsClearedAndGivesTheSlotNoId) {
    auto device = m_hid.Add(sim::Model("vireo"), "/dev/hidraw1", "k");
    // The first read waits, inside the read, until the removal is done.
    std::promise<void> inRead, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> held{false};
    device[1]->onRead = [&] {
        if (held.exchange(true)) return;
        inRead.set_value();
        released.wait_for(10s);
    };
    device[1]->QueueInput({0x05, 0x07, 0x01});
    m_manager.OpenHidFamily(0x81);
    ASSERT_EQ(inRead.get_future().wait_for(10s), std::future_status::ready);
    m_manager.HandleHidRemoval(test::Removal("/dev/hidraw1", kProductVireo));
    release.set_value();
    m_manager.StopSlotReader(0x81, 0);  // the poll has finished once this returns
    EXPECT_EQ(m_pages.Texts(), test::Texts{"810000"});
    // Neither the id nor the pairing was taken from the dropped report.
    device[0]->ClearCalls();
    test::FakeClock noWait;
    CommandProtocol commands(m_manager, noWait, m_pages);
    for (uint8_t id : {0x07, 0x00}) {
        uint8_t frame[COMMAND_BUFFER_SIZE] = {0x81, id, 0x01, 0x03, 0x44};
        commands.HandleDeviceCommand(frame);
    }
    EXPECT_EQ(device[0]->CallCount(), 0u);
}

}  // namespace
}  // namespace orvex
