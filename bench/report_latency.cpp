// Report latency: 20 simulated devices reporting at 50 Hz to four real pages
// over loopback, through the whole bridge (open step, reader threads,
// broadcast, WebSocket). Reports the delay from the simulator queuing a report
// to a page receiving its text, and the CPU the bridge's threads use.
// Bounds: p50 at most 1 ms, p99 at most 3 ms, no text lost; exits 1 when one
// is broken.
//
//   bench_report_latency [seconds]     (default 10)
//
// CPU is taken per thread (/proc/self/task/*/schedstat): the threads that
// appear while the bridge starts are the bridge's (main loop, server, readers,
// simulator); the pages' and the senders' threads are left out.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "platform/Log.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

using namespace std::chrono;
using orvex::test::SimBridge;
using orvex::test::WsClient;

namespace {

using namespace orvex::bench;

constexpr int kPages = 4;
constexpr int kRateHz = 50;

std::set<long> TaskSet() {
    const auto tids = Tasks("self");
    return std::set<long>(tids.begin(), tids.end());
}

double CpuNanos(const std::set<long>& tids) {
    double total = 0;
    for (const auto& [tid, f] : Figures("self", std::vector<long>(tids.begin(), tids.end()))) total += f.cpuNanos;
    return total;
}

std::set<long> Minus(const std::set<long>& a, const std::set<long>& b) {
    std::set<long> out;
    for (long t : a)
        if (!b.count(t)) out.insert(t);
    return out;
}

int Latency(int seconds) {
    std::vector<DeviceRef> devices;
    const std::string scenario = Scenario(5, &devices);
    const std::set<long> before = TaskSet();
    SimBridge bridge(scenario);
    const std::set<long> bridgeThreads = Minus(TaskSet(), before);

    std::vector<std::unique_ptr<WsClient>> pages;
    for (int i = 0; i < kPages; ++i) {
        pages.push_back(std::make_unique<WsClient>(bridge.port()));
        if (!pages.back()->Connect() || !pages.back()->WaitForMessages(1)) {
            std::fprintf(stderr, "page %d did not connect\n", i);
            std::exit(1);
        }
    }

    const int perDevice = kRateHz * seconds;
    const size_t n = devices.size();
    // queuedAt[d][seq]
    std::vector<std::vector<steady_clock::time_point>> queuedAt(n, std::vector<steady_clock::time_point>(perDevice));
    const double cpuStart = CpuNanos(bridgeThreads);
    const auto start = steady_clock::now() + milliseconds(100);
    std::vector<std::thread> senders;
    for (size_t d = 0; d < n; ++d)
        senders.emplace_back([&, d] {
            // Spread the devices' phases over one period.
            const auto phase = microseconds(static_cast<long>(d * 20000 / n) + static_cast<long>(d * 37 % 1000));
            for (int seq = 0; seq < perDevice; ++seq) {
                std::this_thread::sleep_until(start + phase + milliseconds(1000 / kRateHz) * seq);
                const std::vector<uint8_t> report = {0x05, static_cast<uint8_t>(d), static_cast<uint8_t>(seq & 0xFF),
                                                     static_cast<uint8_t>(seq >> 8), 0x00};
                queuedAt[d][static_cast<size_t>(seq)] = steady_clock::now();
                std::string error;
                bridge.sim().QueueReport(devices[d].name, report, devices[d].collection, &error);
            }
        });
    for (auto& t : senders) t.join();
    const size_t expected = n * static_cast<size_t>(perDevice) + 1;  // and the greeting
    for (auto& page : pages) page->WaitForMessages(expected, std::chrono::seconds(2));
    const double cpuEnd = CpuNanos(bridgeThreads);
    const double wall = duration<double>(steady_clock::now() - start).count();

    std::vector<double> delays;
    std::vector<size_t> received;
    size_t unknown = 0;
    for (auto& page : pages) {
        const auto messages = page->Messages();
        received.push_back(messages.size() - 1);
        for (size_t i = 1; i < messages.size(); ++i) {
            const std::string& text = messages[i];
            unsigned family, kind, rid, dev, lo, hi, b4;
            if (text.size() != 14 ||
                std::sscanf(text.c_str(), "%2x%2x%2x%2x%2x%2x%2x", &family, &kind, &rid, &dev, &lo, &hi, &b4) != 7 ||
                dev >= n || (lo | hi << 8) >= static_cast<unsigned>(perDevice)) {
                ++unknown;
                continue;
            }
            delays.push_back(duration<double, std::milli>(page->ReceivedAt(i) - queuedAt[dev][lo | hi << 8]).count());
        }
    }
    std::printf("report latency: %zu devices x %d Hz, %d pages, %d s\n", n, kRateHz, kPages, seconds);
    std::printf("  texts per page: expected %zu, received", expected - 1);
    bool allThere = unknown == 0;
    for (size_t r : received) {
        std::printf(" %zu", r);
        allThere = allThere && r == expected - 1;
    }
    std::printf("%s\n", unknown ? " (some unrecognised)" : "");
    const double p50 = Percentile(delays, 0.50), p99 = Percentile(delays, 0.99);
    std::printf("  delay ms: p50 %.2f  p90 %.2f  p99 %.2f  max %.2f\n", p50, Percentile(delays, 0.90), p99,
                Percentile(delays, 1.0));
    std::printf("  bridge CPU: %.1f%% of one core (%zu threads)\n", (cpuEnd - cpuStart) / (wall * 1e9) * 100.0,
                bridgeThreads.size());
    PrintLoad();
    Verdict verdict;
    verdict.Check(allThere, "every text reached every page");
    verdict.Check(p50 <= 1.0, "p50 at most 1 ms");
    verdict.Check(p99 <= 3.0, "p99 at most 3 ms");
    return verdict.Status();
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    orvex::set_log_options(orvex::LogOptions{true, false});
    return Latency(seconds);
}
