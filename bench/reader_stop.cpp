// How soon a reader honours its stop request: 1,000 times, a reader of a
// simulated device is started, has forwarded one report, and is stopped at a
// varying moment afterwards; the time from setting the request to the thread
// having ended (StopSlotReader returning) is taken. Bound: every stop within
// 20 ms; exits 1 when one is slower.
//
//   bench_reader_stop [stops]     (default 1000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "hid/HidDeviceManager.h"
#include "platform/Log.h"
#include "sim/Simulator.h"
#include "support/Pages.h"

using namespace std::chrono;
using namespace orvex;

int main(int argc, char** argv) {
    const int stops = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    set_log_options(LogOptions{true, false});
    std::string error;
    auto sim = sim::Simulator::LoadScenarioText(
        R"({"devices":[{"name":"wired","vendor_id":"0x1D57","product_id":"0x1234","device_id":1}]})", &error);
    if (!sim) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    SteadyClock clock;
    test::FakePages pages;
    Timings timings;
    timings.initialFeaturePause = milliseconds(0);
    HidDeviceManager manager(sim->hid(), clock, pages, timings);

    std::vector<double> ms;
    for (int i = 0; i < stops; ++i) {
        manager.OpenHidFamily(0x80);
        pages.Clear();
        sim->QueueReport("wired", {0x05, 0x01, static_cast<uint8_t>(i)}, 1, &error);
        if (!pages.WaitForCount(1, seconds(10))) {
            std::fprintf(stderr, "the reader forwarded nothing\n");
            return 1;
        }
        // Stops land anywhere in what the reader does between reports.
        std::this_thread::sleep_for(microseconds((i * 7919) % 10000));
        const auto start = steady_clock::now();
        manager.StopSlotReader(0x80, 0);
        ms.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
    }
    const double worst = bench::Percentile(ms, 1.0);
    std::printf("reader stop: %d stops, ms from request to ended thread: p50 %.3f  p99 %.3f  max %.3f\n", stops,
                bench::Percentile(ms, 0.5), bench::Percentile(ms, 0.99), worst);
    bench::PrintLoad();
    bench::Verdict verdict;
    verdict.Check(worst <= 20.0, "every stop within 20 ms");
    return verdict.Status();
}
