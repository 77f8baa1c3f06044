// The BlueZ backend against the fake BlueZ on a private bus, with unrelated
// objects in the tree:
//  - the time of one family 0x84 write (CBleDevice::Write of an 8-byte
//    value: find the device's interface, open it, list, write with response);
//  - the delay from the fake emitting a notification to its callback while
//    a write of another characteristic waits 2 s for the device;
//  - the wake-ups of the stack's own threads while nothing happens;
//  - while BlueZ hangs for 10 s under a connect step and an open step, the
//    time of the console's /status and of a new page's greeting (bound:
//    100 ms each).
//
//   bench_ble_bluez [writes] [unrelated_objects] [stalled_rounds] [idle_seconds]
#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "ble/CBleDevice.h"
#include "platform/Log.h"
#include "platform/linux/BluezStack.h"
#include "support/FakeBluez.h"
#include "support/Fakes.h"
#include "support/Http.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

using namespace std::chrono;
using orvex::bench::Percentile;
using orvex::test::FakeBluez;

namespace {

std::set<long> Tasks() {
    std::set<long> tids;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir) return tids;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') tids.insert(std::atol(entry->d_name));
    ::closedir(dir);
    return tids;
}

// Voluntary context switches so far, summed over the threads: each one is a
// thread going to sleep, so each wake-up adds one.
long Switches(const std::set<long>& tids) {
    long total = 0;
    for (long tid : tids) {
        std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::atol(line.c_str() + 24);
    }
    return total;
}

uint64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

struct Stamps {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<double> delaysMs;
};

void OnStamp(const uint8_t* data, size_t size, void* context) {
    const uint64_t now = MonotonicNs();
    auto* stamps = static_cast<Stamps*>(context);
    if (size != 8) return;
    uint64_t sent = 0;
    std::memcpy(&sent, data, 8);
    std::lock_guard<std::mutex> lock(stamps->mutex);
    stamps->delaysMs.push_back(static_cast<double>(now - sent) / 1e6);
    stamps->cv.notify_all();
}

}  // namespace

int main(int argc, char** argv) {
    const int writes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    const int unrelated = argc > 2 ? std::max(0, std::atoi(argv[2])) : 200;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    const int idleSeconds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
    orvex::set_log_options(orvex::LogOptions{true, false});

    const std::string missing = FakeBluez::Unavailable();
    if (!missing.empty()) {
        std::fprintf(stderr, "bench_ble_bluez: %s\n", missing.c_str());
        return 1;
    }
    FakeBluez bluez(unrelated);
    std::string error;
    if (!bluez.Start(&error)) {
        std::fprintf(stderr, "bench_ble_bluez: %s\n", error.c_str());
        return 1;
    }

    const std::set<long> before = Tasks();
    orvex::BluezStack stack(bluez.address());
    orvex::CBleDevice device;
    device.SetStack(&stack);
    device.SetTexts("VID&02045E", "PID&0B13");
    device.ScanConnectedDevices();
    std::set<long> stackThreads;
    for (long tid : Tasks())
        if (!before.count(tid)) stackThreads.insert(tid);
    const uint8_t value[8] = {0xA0, 0x08, 0x01, 0, 0, 0, 0, 0};
    if (device.Write(value, 8) != 1) {
        std::fprintf(stderr, "bench_ble_bluez: the first write failed\n");
        return 1;
    }

    // (a) One write after another.
    const unsigned listingsBefore = bluez.Calls("GetManagedObjects");
    std::vector<double> writeMs;
    for (int i = 0; i < writes; ++i) {
        const auto start = steady_clock::now();
        const int written = device.Write(value, 8);
        writeMs.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
        if (written != 1) {
            std::fprintf(stderr, "bench_ble_bluez: write %d failed\n", i);
            return 1;
        }
    }
    const unsigned listings = bluez.Calls("GetManagedObjects") - listingsBefore;
    std::printf("write of 8 bytes, %d objects in the tree besides the fake's own, %d writes:\n", unrelated, writes);
    std::printf("  ms: p50 %.3f  p90 %.3f  p99 %.3f  max %.3f; GetManagedObjects calls %u (%.1f per write)\n",
                Percentile(writeMs, 0.50), Percentile(writeMs, 0.90), Percentile(writeMs, 0.99),
                Percentile(writeMs, 1.0), listings, static_cast<double>(listings) / writes);

    // (b) Notifications of the notify characteristic while a write of the
    // write characteristic waits for the device.
    auto service = stack.OpenService(orvex::test::kFakePadInterface);
    std::vector<orvex::BleGattService> services;
    std::vector<orvex::BleGattCharacteristic> characteristics;
    if (!service || service->GetServices(&services) != 0 ||
        service->GetCharacteristics(services.at(0), &characteristics) != 0 || characteristics.size() != 2) {
        std::fprintf(stderr, "bench_ble_bluez: the pad's service did not list\n");
        return 1;
    }
    Stamps stamps;
    orvex::BleEventHandle handle = 0;
    if (service->RegisterValueChanged(characteristics[1], OnStamp, &stamps, &handle) != 0) {
        std::fprintf(stderr, "bench_ble_bluez: no registration\n");
        return 1;
    }
    bluez.HoldWrites(2.0);
    for (int round = 0; round < rounds; ++round) {
        const size_t writesSoFar = bluez.Writes().size();
        std::thread writer([&] { device.Write(value, 8); });
        const auto deadline = steady_clock::now() + seconds(20);
        while (bluez.Writes().size() == writesSoFar && steady_clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(1));
        bluez.NotifyStamped(orvex::test::kFakePadNotify);
        {
            std::unique_lock<std::mutex> lock(stamps.mutex);
            stamps.cv.wait_for(lock, seconds(20), [&] { return stamps.delaysMs.size() > static_cast<size_t>(round); });
        }
        writer.join();
    }
    bluez.HoldWrites(0);
    std::printf("notification while another characteristic's write waits 2 s, %d rounds:\n", rounds);
    std::printf("  delay ms from emission to callback: p50 %.3f  max %.3f (%zu received)\n",
                Percentile(stamps.delaysMs, 0.5), Percentile(stamps.delaysMs, 1.0), stamps.delaysMs.size());

    // (c) Nothing happens: a registration in force, no traffic.
    std::this_thread::sleep_for(milliseconds(200));
    const long switchesBefore = Switches(stackThreads);
    std::this_thread::sleep_for(seconds(idleSeconds));
    const long idle = Switches(stackThreads) - switchesBefore;
    std::printf("idle %d s: %ld wake-ups of the stack's %zu threads (%.1f per second)\n", idleSeconds, idle,
                stackThreads.size(), static_cast<double>(idle) / idleSeconds);
    stack.UnregisterEvent(handle);

    // (d) BlueZ hangs: the connect step waits for its listing and an open
    // step comes meanwhile; the console and new pages must not wait too.
    bluez.Hang(10);
    orvex::BluezStack hungStack(bluez.address());
    std::string whyNot;
    auto bridge = orvex::test::SimBridge::StartOrExplain(
        R"({"devices": [{"name": "pad", "model": "ble", "address": "C0:FF:EE:00:00:01"}]})", nullptr, &whyNot,
        orvex::test::ShortTimings(), &hungStack);
    if (!bridge) {
        std::fprintf(stderr, "bench_ble_bluez: %s\n", whyNot.c_str());
        return 1;
    }
    const auto hangStart = steady_clock::now();
    while (bluez.Hung() == 0 && steady_clock::now() - hangStart < seconds(5))
        std::this_thread::sleep_for(milliseconds(1));
    boost::asio::post(bridge->loop(), [&] { bridge->dialog().OnTimer(orvex::IDT_OPEN_BLE); });
    const uint16_t port = bridge->port();
    std::vector<double> statusMs, greetingMs;
    for (int round = 0; round < 20 && bluez.Hung() > 0; ++round) {
        auto start = steady_clock::now();
        const int status =
            orvex::test::HttpRequestOnce(port, "GET", "/status", "127.0.0.1:" + std::to_string(port)).status;
        if (status == 200) statusMs.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
        start = steady_clock::now();
        orvex::test::WsClient page(port);
        if (page.Connect() && page.WaitForMessages(1, seconds(15)))
            greetingMs.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
    }
    const bool stillHung = bluez.Hung() > 0;
    std::printf("while BlueZ hangs (%s the whole time): %zu /status, %zu greetings\n", stillHung ? "hung" : "NOT hung",
                statusMs.size(), greetingMs.size());
    std::printf("  /status ms: p50 %.3f  max %.3f; greeting ms: p50 %.3f  max %.3f\n", Percentile(statusMs, 0.5),
                Percentile(statusMs, 1.0), Percentile(greetingMs, 0.5), Percentile(greetingMs, 1.0));
    orvex::bench::Verdict verdict;
    verdict.Check(stillHung && statusMs.size() == 20 && Percentile(statusMs, 1.0) < 100,
                  "every /status within 100 ms while BlueZ hangs");
    verdict.Check(stillHung && greetingMs.size() == 20 && Percentile(greetingMs, 1.0) < 100,
                  "every greeting within 100 ms while BlueZ hangs");
    return verdict.Status();
}
