// Whole command and query frames against a simulated device of every family,
// with every pause 0 and a clock that does not wait. Input: frames, each one
// length byte and that many bytes, placed in a zero-filled command buffer.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "AllFamilies.h"
#include "FuzzCheck.h"
#include "ble/BleSlots.h"
#include "bridge/PageSink.h"
#include "hid/HidDeviceManager.h"
#include "protocol/CommandProtocol.h"
#include "sim/Simulator.h"

namespace {

using namespace std::chrono_literals;

class NoWaitClock final : public orvex::Clock {
public:
    // Only the readers' poll (1 ms) is slept, so that they do not spin.
    void sleep_for(std::chrono::milliseconds duration) override {
        if (duration.count() > 0) std::this_thread::sleep_for(duration);
    }
};

class CountingPages final : public orvex::PageSink {
public:
    void broadcast(const std::string& text) override {
        FUZZ_CHECK(text.size() >= 2 && text.size() % 2 == 0);
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }

private:
    std::mutex m_mutex;
    size_t m_count = 0;
};

orvex::Timings NoPauses() {
    orvex::Timings t;
    t.packetPause = t.blockPacketPause = t.blockSettlePause = t.queryPause = t.queryReadPause = 0ms;
    t.initialFeaturePause = t.arrivalDelay = t.bleConnectDelay = 0ms;
    t.controlReadTimeout = 1ms;
    return t;
}

// Built once and never torn down: the readers run for the whole fuzzing run.
struct Bridge {
    std::unique_ptr<orvex::sim::Simulator> sim;
    NoWaitClock clock;
    CountingPages pages;
    orvex::Timings timings = NoPauses();
    std::unique_ptr<orvex::HidDeviceManager> hid;
    std::unique_ptr<orvex::BleSlots> ble;
    std::unique_ptr<orvex::CommandProtocol> protocol;

    Bridge() {
        std::string error;
        sim = orvex::sim::Simulator::LoadScenarioText(kAllFamilies, &error);
        FUZZ_CHECK(sim);
        FUZZ_CHECK(sim->hid().init() == 0);
        hid = std::make_unique<orvex::HidDeviceManager>(sim->hid(), clock, pages, timings);
        ble = std::make_unique<orvex::BleSlots>(&sim->ble(), pages);
        protocol = std::make_unique<orvex::CommandProtocol>(*hid, clock, pages, timings);
        protocol->SetBlePort(ble.get());
        for (uint8_t family : orvex::HidFamiliesBy(&orvex::FamilyRules::openRank)) hid->OpenHidFamily(family);
        ble->OpenBleFamily(sim->hid());
        ble->ConnectBleSlots();
        // Each device's first report gives its slots an id and a control handle.
        const struct {
            const char* device;
            std::vector<uint8_t> report;
            int collection;
        } first[] = {{"vireo", {0x05, 0x03, 0, 0, 0}, -1},
                     {"wired", {0x05, 0x04, 0, 0, 0}, -1},
                     {"sabre", {0x05, 0x05, 0, 0, 0}, 1},
                     {"sabre", {0x05, 0x05, 0, 0, 0}, 0},
                     {"wired85", {0x05, 0x06, 0, 0, 0}, 1}};
        for (const auto& r : first) sim->QueueReport(r.device, r.report, r.collection, &error);
        for (int k = 0; k < 2000 && pages.count() < std::size(first); ++k) std::this_thread::sleep_for(1ms);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Bridge* bridge = new Bridge;
    size_t at = 0;
    for (int frames = 0; at < size && frames < 8; ++frames) {
        const size_t length = std::min<size_t>(data[at], size - at - 1);
        uint8_t buffer[orvex::COMMAND_BUFFER_SIZE] = {};
        std::memcpy(buffer, data + at + 1, length);
        bridge->protocol->HandleFrame(buffer);
        at += 1 + length;
    }
    return 0;
}
