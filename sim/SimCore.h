// The simulator's shared state, for the files that make up the Simulator:
// its HID side (SimHid.cpp), its control requests (ControlRequests.cpp) and
// the rest (Simulator.cpp). Not for use outside sim/.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/DeviceContract.h"
#include "sim/Scenario.h"
#include "sim/Scheduler.h"
#include "sim/SimBle.h"
#include "sim/Simulator.h"

namespace orvex::sim {

// The simulator's devices are the reference copy of the device contract:
// their models (sim/Devices.cpp), descriptors (sim/ReportDescriptors.h) and
// query answers (sim/DeviceContract.h, which the kernel suite's uhid
// emulator shares). The other copies are checked against them in
// tests/sim/device_contract_test.cpp.

// Like the kernel's per-reader buffer: a handle nobody reads must not grow
// without bound. The oldest reports go first, as they do there.
constexpr size_t kMaxQueuedReports = 1024;
// Long runs under a page that sends many commands: keep the newest entries.
constexpr size_t kMaxLogEntries = 100000;
constexpr size_t kMaxReportSize = 4096;
constexpr size_t kDataReportSize = 64;
constexpr size_t kAnswerBytesPerReport = 59;
constexpr size_t kAnswerOffset = 3;

class SimHandle;

struct Simulator::Core : std::enable_shared_from_this<Simulator::Core> {
    struct Device {
        DeviceSpec desc;
        bool attached = true;
        uint64_t generation = 0;  // bumped at every detach: older handles are dead
        bool ready = false;       // a feature query request has been received
        int acks_skipped = 0;     // acknowledgeable reports ignored so far (ack_after)
        int rejects_left = 0;     // feature sends still to refuse (reject_feature)
        std::vector<std::vector<std::weak_ptr<SimHandle>>> handles;  // per collection
        std::deque<Received> log;
        size_t dropped = 0;
        int waiting_reads = 0;  // reads blocked on the device's handles

        int InputCollection() const {
            for (uint16_t page : {kInputUsagePage, kVendorInputUsagePage})
                for (size_t i = 0; i < desc.collections.size(); ++i)
                    if (desc.collections[i].usage_page == page) return static_cast<int>(i);
            return -1;
        }
        void Reset() {
            ready = false;
            acks_skipped = 0;
            rejects_left = desc.behaviour.reject_feature;
        }
    };

    struct Subscription {
        boost::asio::io_context* loop = nullptr;
        DeviceMonitor::Handler handler;
        std::atomic<bool> active{true};
    };

    class Hid final : public HidApi {
    public:
        explicit Hid(Core& core) : m_core(core) {}
        int init() override { return 0; }
        std::vector<HidDeviceInfo> enumerate(uint16_t vendor_id, uint16_t product_id) override;
        std::shared_ptr<HidDevice> open(const HidDeviceInfo& entry, HidOpenError* error) override;

    private:
        Core& m_core;
    };

    class Monitor final : public DeviceMonitor {
    public:
        explicit Monitor(Core& core) : m_core(core) {}
        bool start(boost::asio::io_context& loop, Handler handler) override;
        void stop() override;

    private:
        Core& m_core;
    };

    Core() : hid(*this), monitor(*this), ble(scheduler, BleHooks()) {}

    // The BLE devices record into the same log, and answer from the same
    // behaviour, as their HID side.
    SimBle::Hooks BleHooks() {
        SimBle::Hooks hooks;
        hooks.record = [this](const std::string& name, const char* kind, int collection,
                              const std::vector<uint8_t>& bytes, bool rejected) {
            std::lock_guard<std::mutex> lock(mutex);
            if (Device* device = FindLocked(name, nullptr)) RecordLocked(*device, kind, collection, bytes, rejected);
        };
        hooks.answer = [this](const std::string& name, uint8_t code, std::vector<uint8_t>* answer, bool* silent) {
            std::lock_guard<std::mutex> lock(mutex);
            Device* device = FindLocked(name, nullptr);
            if (!device) return false;
            *silent = device->desc.behaviour.silent;
            auto it = device->desc.behaviour.answers.find(code);
            if (it == device->desc.behaviour.answers.end()) return false;
            *answer = it->second;
            return true;
        };
        return hooks;
    }

    std::mutex mutex;
    std::vector<Device> devices;
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool shutdown = false;
    std::shared_ptr<Subscription> subscription;
    Hid hid;
    Monitor monitor;
    SimBle ble;  // its tasks run on the scheduler, which is stopped first
    // Last, so that it is stopped before the state its tasks use goes away.
    Scheduler scheduler;

    int64_t NowMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    }
    static std::string PathOf(const DeviceSpec& desc, size_t collection) {
        return "/dev/sim/" + desc.name + "/" + std::to_string(collection);
    }

    // The rest requires mutex held.
    Device* FindLocked(const std::string& name, std::string* error) {
        for (auto& device : devices)
            if (device.desc.name == name) return &device;
        if (error) *error = "unknown device " + Quote(name);
        return nullptr;
    }
    void RecordLocked(Device& device, const char* kind, int collection, std::vector<uint8_t> bytes, bool rejected) {
        if (device.log.size() >= kMaxLogEntries) {
            device.log.pop_front();
            ++device.dropped;
        }
        device.log.push_back(Received{NowMs(), kind, collection, std::move(bytes), rejected});
    }
    size_t DeliverLocked(Device& device, int collection, const std::vector<uint8_t>& report);
    void PostChangesLocked(const Device& device, DeviceChange::Kind kind);
    void KillHandlesLocked(Device& device);

    // Called by the delayed acknowledgement: a device re-plugged meanwhile is
    // a new device and does not acknowledge what the old one received.
    void DeliverIfSameGeneration(size_t index, uint64_t generation, int collection, std::vector<uint8_t> report) {
        std::lock_guard<std::mutex> lock(mutex);
        if (shutdown || index >= devices.size()) return;
        Device& device = devices[index];
        if (!device.attached || device.generation != generation) return;
        DeliverLocked(device, collection, report);
    }

    void Shutdown() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            shutdown = true;
            for (auto& device : devices) KillHandlesLocked(device);
            if (subscription) subscription->active = false;
            subscription.reset();
        }
        ble.Shutdown();
        scheduler.Stop();
    }
};

// Queues a report as Simulator::QueueReport does; how many handles got it,
// or -1 with *error. The control requests need the count.
long QueueReportCounted(Simulator::Core& core, const std::string& name, const std::vector<uint8_t>& report,
                        int collection, std::string* error);

}  // namespace orvex::sim
