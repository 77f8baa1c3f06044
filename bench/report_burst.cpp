// A fast device: one simulated device sending 1,000 reports per second to four
// real pages through the whole bridge. Bounds: every text reaches every page,
// in the device's order, and the p99 delay from queuing to a page is at most
// 5 ms (so the delay does not grow); exits 1 when one is broken.
//
//   bench_report_burst [seconds]     (default 10)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "platform/Log.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

using namespace std::chrono;
using namespace orvex::bench;
using orvex::test::SimBridge;
using orvex::test::WsClient;

namespace {

constexpr int kPages = 4;
constexpr int kRateHz = 1000;

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    orvex::set_log_options(orvex::LogOptions{true, false});
    SimBridge bridge(R"({"devices":[{"name":"fast","vendor_id":"0x1D57","product_id":"0x1234","device_id":1}]})");
    std::vector<std::unique_ptr<WsClient>> pages;
    for (int i = 0; i < kPages; ++i) {
        pages.push_back(std::make_unique<WsClient>(bridge.port()));
        if (!pages.back()->Connect() || !pages.back()->WaitForMessages(1)) {
            std::fprintf(stderr, "page %d did not connect\n", i);
            return 1;
        }
    }

    const size_t count = static_cast<size_t>(kRateHz) * static_cast<size_t>(seconds);
    std::vector<steady_clock::time_point> queuedAt(count);
    const auto start = steady_clock::now() + milliseconds(100);
    for (size_t seq = 0; seq < count; ++seq) {
        std::this_thread::sleep_until(start + microseconds(1000000 / kRateHz) * seq);
        const std::vector<uint8_t> report = {0x05, 0x01, static_cast<uint8_t>(seq & 0xFF),
                                             static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq >> 16)};
        queuedAt[seq] = steady_clock::now();
        std::string error;
        if (!bridge.sim().QueueReport("fast", report, 1, &error)) {
            std::fprintf(stderr, "cannot queue: %s\n", error.c_str());
            return 1;
        }
    }
    for (auto& page : pages) page->WaitForMessages(count + 1, seconds * 1000ms);

    std::vector<double> delays;
    bool allInOrder = true;
    std::printf("report burst: 1 device x %d reports/s, %d pages, %d s\n", kRateHz, kPages, seconds);
    std::printf("  texts per page: expected %zu, received", count);
    for (auto& page : pages) {
        const auto messages = page->Messages();
        size_t next = 0;
        for (size_t i = 1; i < messages.size(); ++i) {
            unsigned rid, dev, b0, b1, b2;
            if (messages[i].size() != 14 ||
                std::sscanf(messages[i].c_str() + 4, "%2x%2x%2x%2x%2x", &rid, &dev, &b0, &b1, &b2) != 5 ||
                (b0 | b1 << 8 | b2 << 16) != next) {
                allInOrder = false;
                break;
            }
            delays.push_back(duration<double, std::milli>(page->ReceivedAt(i) - queuedAt[next]).count());
            ++next;
        }
        std::printf(" %zu", messages.size() - 1);
        allInOrder = allInOrder && next == count;
    }
    const double p99 = Percentile(delays, 0.99);
    std::printf("\n  delay ms: p50 %.2f  p99 %.2f  max %.2f\n", Percentile(delays, 0.5), p99, Percentile(delays, 1.0));
    PrintLoad();
    Verdict verdict;
    verdict.Check(allInOrder, "every text reached every page, in order");
    verdict.Check(p99 <= 5.0, "p99 at most 5 ms");
    return verdict.Status();
}
