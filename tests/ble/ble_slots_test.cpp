// The BLE open step, connect loop and removal handler.
#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "tests/ble/BleFixture.h"

namespace orvex::test {
namespace {

class TheBleSlots : public BleFixture {
protected:
    DeviceChange Removal(const std::string& path, uint16_t vendor = kBleHidVendorId, uint16_t bus = kBusBluetooth) {
        DeviceChange change;
        change.kind = DeviceChange::Kind::Removal;
        change.path = path;
        change.bus = bus;
        change.vendor_id = vendor;
        change.product_id = 0x0B13;
        return change;
    }
    // The node a slot was made from, as /status shows it; "" for no slot.
    std::string Path(int slot) {
        const auto all = slots->Snapshot();
        return slot < static_cast<int>(all.size()) ? all[slot].node : "";
    }
    int Traced(const std::string& text) {
        int n = 0;
        for (const auto& t : logs.Traces()) n += t == text;
        return n;
    }
};

TEST_F(TheBleSlots, MakeOneSlotPerRunOfOneProductWithItsFirstPathAndLowerCaseTexts) {
    Start();
    Listed("/dev/sim/a/0", 0x0B13);
    Listed("/dev/sim/a/1", 0x0B13);
    Listed("/dev/sim/b/0", 0x0B13);  // same product back to back: no slot of its own
    Listed("/dev/sim/c/0", 0x0ACE);
    Listed("/dev/sim/d/0", 0x0B13);               // the same product after another: a slot again
    Listed("/dev/sim/wired/0", 0x0B13, kBusUsb);  // the vendor's wired device: not a BLE one
    Listed("/dev/sim/d/1", 0x0B13);
    ASSERT_TRUE(slots->OpenBleFamily(hid));
    ASSERT_EQ(slots->Count(), 3);
    const char* paths[] = {"/dev/sim/a/0", "/dev/sim/c/0", "/dev/sim/d/0"};
    const char* pids[] = {"PID&0b13", "PID&0ace", "PID&0b13"};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(Path(k), paths[k]);
        EXPECT_EQ(slots->Device(k).VidText(), "VID&02045e");
        EXPECT_EQ(slots->Device(k).PidText(), pids[k]);
        EXPECT_EQ(slots->DeviceId(k), 0);
    }
    for (int k = 3; k < kBleSlotCount; ++k) {
        EXPECT_EQ(Path(k), "");
        EXPECT_EQ(slots->Device(k).VidText(), "");
    }
}

TEST_F(TheBleSlots, TakeTheFirstTenRunsAndNothingWhenNoDeviceIsListed) {
    Start();
    EXPECT_FALSE(slots->OpenBleFamily(hid));
    EXPECT_EQ(slots->Count(), 0);
    for (int i = 0; i < 12; ++i) Listed("/dev/sim/x" + std::to_string(i) + "/0", static_cast<uint16_t>(0x100 + i % 2));
    ASSERT_TRUE(slots->OpenBleFamily(hid));
    EXPECT_EQ(slots->Count(), 10);
    EXPECT_EQ(Path(9), "/dev/sim/x9/0");
}

TEST_F(TheBleSlots, ReleaseEveryRegistrationAndDeviceIdAtTheNextOpenStep) {
    AddDevice("pad", 0x0B13, "C0:FF:EE:00:00:01");
    Listed("/dev/sim/pad/0", 0x0B13);
    Start();
    OpenAndConnect();
    ASSERT_EQ(ble.RegistrationCount("pad"), 1u);
    slots->OnBleNotification(0, Bytes({0x07, 0, 0, 0}).data(), 4);
    ASSERT_EQ(slots->DeviceId(0), 7);

    // A second connect loop skips the registered slot.
    Connect();
    EXPECT_EQ(ble.RegistrationCount("pad"), 1u);

    hid.Unplug("ble");
    EXPECT_FALSE(slots->OpenBleFamily(hid));
    EXPECT_TRUE(slots->WaitForConnect(kWorkerWait));  // the release runs on the BLE worker
    EXPECT_EQ(ble.RegistrationCount("pad"), 0u);
    EXPECT_EQ(slots->DeviceId(0), 0);
    EXPECT_FALSE(slots->Device(0).HasEventHandle());
}

TEST_F(TheBleSlots, AnnounceARemovalWithDeviceIdZeroBeforeTheFirstPlainNotification) {
    AddDevice("pad", 0x0B13, "C0:FF:EE:00:00:01");
    Listed("/dev/sim/pad/0", 0x0B13);
    Listed("/dev/sim/pad/1", 0x0B13);
    Start();
    OpenAndConnect();

    // Only the slot's own path matches, whatever its letter case.
    slots->HandleBleRemoval(Removal("/dev/sim/pad/1"));
    EXPECT_TRUE(broadcasts.Texts().empty());
    EXPECT_EQ(Traced("BLE ------------DBT_DEVICEREMOVECOMPLETE.\n"), 1);
    slots->HandleBleRemoval(Removal("/DEV/SIM/PAD/0"));
    EXPECT_EQ(broadcasts.Texts(), std::vector<std::string>{"840000"});
    // Cleared: a second notice for the same node matches nothing.
    slots->HandleBleRemoval(Removal("/dev/sim/pad/0"));
    EXPECT_EQ(broadcasts.Texts().size(), 1u);
    EXPECT_EQ(Traced("BLE ------------DBT_DEVICEREMOVECOMPLETE.\n"), 3);
    // The slot stays counted and registered.
    EXPECT_EQ(slots->Count(), 1);
    EXPECT_EQ(Path(0), "");
    EXPECT_TRUE(slots->Device(0).HasEventHandle());
    EXPECT_EQ(ble.RegistrationCount("pad"), 1u);
    EXPECT_EQ(slots->MatchingBleSlots(0), std::vector<int>{0});
}

// The open step leaves the release of the old registrations to the BLE worker
// without waiting for it, and their callbacks reach nothing meanwhile. The
// worker survives a step that throws.
TEST_F(TheBleSlots, LeaveReleasesToTheWorkerAndDropLateCallbacksMeanwhile) {
    AddDevice("pad", 0x0B13, "C0:FF:EE:00:00:01");
    Listed("/dev/sim/pad/0", 0x0B13);
    Start();
    struct GatedStack final : BleStack {
        explicit GatedStack(BleStack& stack) : inner(stack) {}
        std::vector<BleDeviceNode> DeviceNodes() override {
            if (throwOnce.exchange(false)) throw std::runtime_error("no bus");
            return inner.DeviceNodes();
        }
        std::vector<std::string> ServiceInterfaces() override { return inner.ServiceInterfaces(); }
        std::unique_ptr<BleServiceHandle> OpenService(const std::string& name) override {
            return inner.OpenService(name);
        }
        void UnregisterEvent(BleEventHandle handle) override {
            gate.wait_for(30s);  // a release waits until the test opens the gate
            inner.UnregisterEvent(handle);
        }
        BleStack& inner;
        std::atomic<bool> throwOnce{true};
        std::promise<void> open;
        std::shared_future<void> gate = open.get_future().share();
    } gated(ble);
    BleSlots gatedSlots(&gated, broadcasts);
    ASSERT_TRUE(gatedSlots.OpenBleFamily(hid));
    for (int round = 0; round < 2; ++round) {  // the first one throws
        gatedSlots.ConnectBleSlots();
        EXPECT_TRUE(gatedSlots.WaitForConnect(kWorkerWait));
    }
    EXPECT_EQ(logs.Diags(), std::vector<std::string>{"BLE worker: a step failed: no bus"});
    ASSERT_EQ(ble.RegistrationCount("pad"), 1u);
    const Bytes value = {0x07, 0, 0, 0};
    kBleValueChangedCallbacks[0](value.data(), value.size(), &gatedSlots);
    EXPECT_EQ(broadcasts.Texts(), std::vector<std::string>{"840107000000"});

    ASSERT_TRUE(gatedSlots.OpenBleFamily(hid));
    EXPECT_EQ(ble.RegistrationCount("pad"), 1u) << "the open step waited for the release";
    kBleValueChangedCallbacks[0](value.data(), value.size(), &gatedSlots);
    EXPECT_EQ(broadcasts.Texts().size(), 1u);
    EXPECT_EQ(gatedSlots.DeviceId(0), 0);
    gated.open.set_value();
    EXPECT_TRUE(gatedSlots.WaitForConnect(kWorkerWait));
    EXPECT_EQ(ble.RegistrationCount("pad"), 0u);
}

// The pages' registry is never taken under the slots' own lock: a removal's
// text goes out once that lock is let go.
TEST_F(TheBleSlots, SendARemovalTextWithoutHoldingTheirLock) {
    AddDevice("pad", 0x0B13, "C0:FF:EE:00:00:01");
    Listed("/dev/sim/pad/0", 0x0B13);
    Start();
    struct ProbingPages final : PageSink {
        BleSlots* slots = nullptr;
        std::vector<bool> lockFree;       // at each text: could another thread take the slots' lock?
        std::vector<std::thread> probes;  // joined once the lock is surely free
        void broadcast(const std::string&) override {
            auto taken = std::make_shared<std::promise<void>>();
            auto done = taken->get_future();
            probes.emplace_back([this, taken] {
                slots->Snapshot();
                taken->set_value();
            });
            lockFree.push_back(done.wait_for(2s) == std::future_status::ready);
        }
    } pages;
    BleSlots probed(&ble, pages);
    pages.slots = &probed;
    ASSERT_TRUE(probed.OpenBleFamily(hid));
    probed.HandleBleRemoval(Removal("/dev/sim/pad/0"));
    for (auto& probe : pages.probes) probe.join();
    EXPECT_EQ(pages.lockFree, std::vector<bool>{true});
}

TEST_F(TheBleSlots, AnnounceTheLearnedDeviceIdAndIgnoreOtherRemovals) {
    Start();
    Listed("/dev/sim/a/0", 0x0B13);
    Listed("/dev/sim/b/0", 0x0ACE);
    slots->OpenBleFamily(hid);
    slots->OnBleNotification(1, Bytes({0x2C, 0, 0, 0}).data(), 4);
    // Another vendor or bus is not a BLE node: not even the trace.
    slots->HandleBleRemoval(Removal("/dev/sim/b/0", 0x1D57));
    slots->HandleBleRemoval(Removal("/dev/sim/b/0", kBleHidVendorId, kBusUsb));
    EXPECT_EQ(Traced("BLE ------------DBT_DEVICEREMOVECOMPLETE.\n"), 0);
    broadcasts.Clear();
    slots->HandleBleRemoval(Removal("/dev/sim/b/0"));
    EXPECT_EQ(broadcasts.Texts(), std::vector<std::string>{"84002c"});
    EXPECT_EQ(Path(0), "/dev/sim/a/0");
}

TEST_F(TheBleSlots, AddressSlotsByDeviceIdAmongTheCountedOnes) {
    Start();
    Listed("/dev/sim/a/0", 0x0B13);
    Listed("/dev/sim/b/0", 0x0ACE);
    Listed("/dev/sim/c/0", 0x0B13);
    slots->OpenBleFamily(hid);
    slots->OnBleNotification(0, Bytes({0x03}).data(), 1);
    slots->OnBleNotification(2, Bytes({0x03}).data(), 1);
    EXPECT_EQ(slots->MatchingBleSlots(3), (std::vector<int>{0, 2}));
    EXPECT_EQ(slots->MatchingBleSlots(0), std::vector<int>{1});
    EXPECT_TRUE(slots->MatchingBleSlots(4).empty());
}

// Callbacks run on the stack's thread while the window thread rebuilds the
// slots; ThreadSanitizer checks the shared words, and after the last release
// nothing reaches the slots any more.
TEST_F(TheBleSlots, SurviveNotificationsRacingOpenStepsAndStopReceivingOnceReleased) {
    AddDevice("pad", 0x0B13, "C0:FF:EE:00:00:01");
    Listed("/dev/sim/pad/0", 0x0B13);
    Listed("/dev/sim/other/0", 0x0ACE);
    Listed("/dev/sim/pad/1", 0x0B13);
    Start();
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        uint8_t n = 0;
        while (!stop) {
            ble.Notify("pad", Bytes({n++, 1, 2, 3}), nullptr);
            std::this_thread::yield();
        }
    });
    for (int round = 0; round < 50; ++round) {
        OpenAndConnect();
        (void)slots->MatchingBleSlots(1);
        slots->HandleBleRemoval(Removal("/dev/sim/pad/0"));
    }
    slots->UnregisterAll();
    stop = true;
    sender.join();
    EXPECT_EQ(ble.RegistrationCount("pad"), 0u);
    EXPECT_EQ(ble.Notify("pad", Bytes({1, 2, 3, 4}), nullptr), 0);
}

}  // namespace
}  // namespace orvex::test
