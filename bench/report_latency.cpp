// Report latency: simulated devices reporting at a fixed rate to several real
// pages over loopback, through the whole bridge (open step, reader threads,
// broadcast, WebSocket). Reports the delay from the simulator queuing a
// report to a page receiving its text, and the CPU the bridge's threads use,
// then the same CPU figure for opened devices that send nothing.
//
//   bench_report_latency [seconds] [idle_seconds]
//
// CPU is taken per thread (/proc/self/task/*/schedstat): the threads that
// appear while the bridge starts are the bridge's (main loop, server, readers,
// simulator); the pages' and the senders' threads are left out.
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

using namespace std::chrono;
using orvex::test::SimBridge;
using orvex::test::WsClient;

namespace {

constexpr int kPages = 4;
constexpr int kRateHz = 50;

std::set<long> Tasks() {
    std::set<long> tids;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir) return tids;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') tids.insert(std::atol(entry->d_name));
    ::closedir(dir);
    return tids;
}

// Nanoseconds on a CPU so far, summed over the given threads (ended threads
// count nothing more).
double CpuNanos(const std::set<long>& tids) {
    double total = 0;
    for (long tid : tids) {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/schedstat");
        double ns = 0;
        if (stat >> ns) total += ns;
    }
    return total;
}

std::set<long> Minus(const std::set<long>& a, const std::set<long>& b) {
    std::set<long> out;
    for (long t : a)
        if (!b.count(t)) out.insert(t);
    return out;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

struct DeviceRef {
    std::string name;
    int collection;  // its input collection for the family reporting
};

// Five devices in each of families 0x81, 0x82 (whose 0xFF00 collection also
// gives family 0x83 a reader), 0x80 and 0x85.
std::string Scenario(int perKind, std::vector<DeviceRef>* devices) {
    std::string json = R"({"devices":[)";
    int id = 1;
    auto add = [&](const std::string& name, const char* product, const char* collections, int input) {
        if (id > 1) json += ",";
        json += R"({"name":")" + name + R"(","vendor_id":"0x1D57","product_id":")" + product + R"(","device_id":)" +
                std::to_string(id) + collections + "}";
        devices->push_back({name, input});
        ++id;
    };
    for (int i = 0; i < perKind; ++i) add("vireo" + std::to_string(i), "0xFA60", "", 1);
    for (int i = 0; i < perKind; ++i) add("sabre" + std::to_string(i), "0xFA65", "", 1);
    for (int i = 0; i < perKind; ++i) add("wired" + std::to_string(i), "0x1234", "", 1);
    for (int i = 0; i < perKind; ++i)
        add("wiredv" + std::to_string(i), "0x1235", R"(,"collections":[[65281,2],[65280,1]])", 1);
    return json + "]}";
}

void Latency(int seconds) {
    std::vector<DeviceRef> devices;
    const std::string scenario = Scenario(5, &devices);
    const std::set<long> before = Tasks();
    SimBridge bridge(scenario);
    const std::set<long> bridgeThreads = Minus(Tasks(), before);

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
    for (size_t r : received) std::printf(" %zu", r);
    std::printf("%s\n", unknown ? " (some unrecognised)" : "");
    std::printf("  delay ms: p50 %.2f  p90 %.2f  p99 %.2f  max %.2f\n", Percentile(delays, 0.50),
                Percentile(delays, 0.90), Percentile(delays, 0.99), Percentile(delays, 1.0));
    std::printf("  bridge CPU: %.1f%% of one core (%zu threads)\n", (cpuEnd - cpuStart) / (wall * 1e9) * 100.0,
                bridgeThreads.size());
}

void Idle(int seconds) {
    std::string json = R"({"devices":[)";
    for (int i = 0; i < 10; ++i)
        json += std::string(i ? "," : "") + R"({"name":"w)" + std::to_string(i) +
                R"(","vendor_id":"0x1D57","product_id":"0x1234","device_id":)" + std::to_string(i + 1) + "}";
    json += "]}";
    const std::set<long> before = Tasks();
    SimBridge bridge(json);
    const std::set<long> bridgeThreads = Minus(Tasks(), before);
    std::this_thread::sleep_for(milliseconds(500));  // past start-up
    const double cpuStart = CpuNanos(bridgeThreads);
    const auto start = steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = CpuNanos(bridgeThreads) - cpuStart;
    const double wall = duration<double>(steady_clock::now() - start).count();
    std::printf("idle: 10 devices opened, no traffic, %d s: bridge CPU %.2f%% of one core (%zu threads)\n", seconds,
                cpu / (wall * 1e9) * 100.0, bridgeThreads.size());
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const int idleSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    orvex::set_log_options(orvex::LogOptions{true, false});
    Latency(seconds);
    Idle(idleSeconds);
    return 0;
}
