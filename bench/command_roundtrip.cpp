// Command round trip: a page's command or query through the whole bridge to a
// simulated device and back to the page, next to the pacing floor the
// protocol imposes; then the delay of other devices' reports while one long
// transfer (a family 0x81 block that is never acknowledged, 15 s) runs.
//
//   bench_command_roundtrip [rounds]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "platform/Log.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

using namespace std::chrono;
using orvex::bench::Percentile;
using orvex::test::SimBridge;
using orvex::test::WsClient;

namespace {

constexpr int kReporters = 4;
constexpr int kRateHz = 50;

const char* kScenario = R"({"devices": [
  {"name": "vireo", "vendor_id": "0x1D57", "product_id": "0xFA60", "device_id": 3, "ack_delay_ms": 0},
  {"name": "mute",  "vendor_id": "0x1D57", "product_id": "0xFA60", "device_id": 9, "ack": false},
  {"name": "sabre", "vendor_id": "0x1D57", "product_id": "0xFA65", "device_id": 5},
  {"name": "w0", "vendor_id": "0x1D57", "product_id": "0x1000", "device_id": 16},
  {"name": "w1", "vendor_id": "0x1D57", "product_id": "0x1001", "device_id": 17},
  {"name": "w2", "vendor_id": "0x1D57", "product_id": "0x1002", "device_id": 18},
  {"name": "w3", "vendor_id": "0x1D57", "product_id": "0x1003", "device_id": 19}
]})";

void PrintRow(const char* what, const std::vector<double>& ms, double floor) {
    std::printf("  %-34s n=%-3zu min %7.1f  p50 %7.1f  p90 %7.1f  max %7.1f ms   floor %5.0f ms  (p50 - floor %.1f)\n",
                what, ms.size(), Percentile(ms, 0), Percentile(ms, 0.5), Percentile(ms, 0.9), Percentile(ms, 1.0),
                floor, Percentile(ms, 0.5) - floor);
}

// Index of the first message equal to text at or after from, waiting for it.
long WaitFor(WsClient& page, size_t from, const std::string& text, milliseconds timeout) {
    const auto deadline = steady_clock::now() + timeout;
    size_t next = from;
    while (steady_clock::now() < deadline) {
        auto messages = page.Messages();
        for (; next < messages.size(); ++next)
            if (messages[next] == text) return static_cast<long>(next);
        page.WaitForMessages(messages.size() + 1, 100ms);
    }
    return -1;
}

bool Report(SimBridge& bridge, WsClient& page, const std::string& device, uint8_t id, uint8_t family, int collection) {
    std::string error;
    bridge.sim().QueueReport(device, {0x05, id, 0, 0, 0}, collection, &error);
    char text[32];
    std::snprintf(text, sizeof text, "%02x010%x%02x000000", family, 5, id);
    return WaitFor(page, 0, text, 10s) >= 0;
}

std::vector<double> RoundTrips(WsClient& page, const std::string& send, const std::string& expect, int rounds) {
    std::vector<double> ms;
    for (int r = 0; r < rounds; ++r) {
        const size_t mark = page.Messages().size();
        const auto sent = steady_clock::now();
        page.SendText(send);
        const long at = WaitFor(page, mark, expect, 30s);
        if (at < 0) {
            std::fprintf(stderr, "no %s after %s\n", expect.c_str(), send.c_str());
            break;
        }
        ms.push_back(duration<double, std::milli>(page.ReceivedAt(static_cast<size_t>(at)) - sent).count());
    }
    return ms;
}

// Reports of the wired devices at kRateHz each for the given time; returns
// the delay of each from queueing to the page.
std::vector<double> ReportDelays(SimBridge& bridge, WsClient& page, seconds length, size_t* lost) {
    const size_t mark = page.Messages().size();
    std::map<std::string, steady_clock::time_point> queuedAt;
    std::mutex queuedMutex;
    const auto start = steady_clock::now();
    int seq = 0;
    for (auto tick = start; tick - start < length; tick += microseconds(1000000 / kRateHz), ++seq) {
        std::this_thread::sleep_until(tick);
        for (int d = 0; d < kReporters; ++d) {
            const uint8_t id = static_cast<uint8_t>(16 + d);
            const uint8_t hi = static_cast<uint8_t>(seq >> 8), lo = static_cast<uint8_t>(seq);
            char text[32];
            std::snprintf(text, sizeof text, "800105%02x%02x%02x00", id, hi, lo);
            {
                std::lock_guard<std::mutex> lock(queuedMutex);
                queuedAt[text] = steady_clock::now();
            }
            std::string error;
            bridge.sim().QueueReport("w" + std::to_string(d), {0x05, id, hi, lo, 0}, -1, &error);
        }
    }
    std::this_thread::sleep_for(500ms);  // the last ones in flight
    std::vector<double> delays;
    auto messages = page.Messages();
    size_t found = 0;
    for (size_t i = mark; i < messages.size(); ++i) {
        auto it = queuedAt.find(messages[i]);
        if (it == queuedAt.end()) continue;
        ++found;
        delays.push_back(duration<double, std::milli>(page.ReceivedAt(i) - it->second).count());
    }
    *lost = queuedAt.size() - found;
    return delays;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    orvex::set_log_options(orvex::LogOptions{true, false});

    SimBridge bridge(kScenario);
    WsClient page(bridge.port());
    if (!page.Connect(10s)) {
        std::fprintf(stderr, "the page did not connect\n");
        return 1;
    }
    // First reports give the slots their ids.
    bool ok = Report(bridge, page, "vireo", 3, 0x81, -1) && Report(bridge, page, "mute", 9, 0x81, -1) &&
              Report(bridge, page, "sabre", 5, 0x83, 0);
    for (int d = 0; d < kReporters; ++d)
        ok = ok && Report(bridge, page, "w" + std::to_string(d), static_cast<uint8_t>(16 + d), 0x80, -1);
    if (!ok) {
        std::fprintf(stderr, "a device did not report\n");
        return 1;
    }

    std::printf("command round trip through the bridge, %d rounds each\n", rounds);
    PrintRow("0x81 simple command -> 03810101", RoundTrips(page, "8103010344", "03810101", rounds), 500);
    PrintRow("0x83 query 0x0C -> reply", RoundTrips(page, "f083050c00", "83050c0102030405", rounds), 130);

    size_t lost = 0;
    const auto idle = ReportDelays(bridge, page, seconds(5), &lost);
    std::printf("reports of %d other devices at %d Hz each\n", kReporters, kRateHz);
    std::printf("  %-34s n=%-5zu p50 %6.2f  p99 %6.2f  max %6.2f ms  lost %zu\n", "no transfer running", idle.size(),
                Percentile(idle, 0.5), Percentile(idle, 0.99), Percentile(idle, 1.0), lost);

    // A block to the device that never acknowledges: ten attempts of three
    // 500 ms packets.
    const auto transferStart = steady_clock::now();
    page.SendText("81090983" + std::string(2 * 0x81, '5'));
    const auto busy = ReportDelays(bridge, page, seconds(14), &lost);
    std::printf("  %-34s n=%-5zu p50 %6.2f  p99 %6.2f  max %6.2f ms  lost %zu\n", "during the 15 s unacked transfer",
                busy.size(), Percentile(busy, 0.5), Percentile(busy, 0.99), Percentile(busy, 1.0), lost);
    // The transfer is still running: the next query waits for it, then runs.
    const size_t mark = page.Messages().size();
    page.SendText("f083050c00");
    const long at = WaitFor(page, mark, "83050c0102030405", 60s);
    if (at >= 0)
        std::printf("  a query sent during the transfer was answered %.1f s after the transfer began\n",
                    duration<double>(page.ReceivedAt(static_cast<size_t>(at)) - transferStart).count());
    return 0;
}
