// Broadcast fan-out: N pages over loopback, 14-character texts broadcast from
// four threads at a fixed total rate. Reports per-page delivery rate, loss and
// the delay from broadcast_text to receipt.
//
//   bench_broadcast_fanout [rate_per_second] [seconds]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "bridge/WebSocketServer.h"
#include "platform/Log.h"
#include "support/Pages.h"
#include "support/WsClient.h"

using namespace std::chrono;
using orvex::bench::Percentile;
using orvex::test::WsClient;

namespace {

void RunOnce(orvex::WebSocketServer& server, int pages, int rate, int seconds) {
    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < pages; ++i) {
        clients.push_back(std::make_unique<WsClient>(server.port()));
        if (!clients.back()->Connect() || !clients.back()->WaitForMessages(1)) {
            std::fprintf(stderr, "page %d did not connect\n", i);
            std::exit(1);
        }
    }
    constexpr int kThreads = 4;
    const int total = rate * seconds;
    const int each = total / kThreads;
    std::vector<steady_clock::time_point> sentAt(static_cast<size_t>(each) * kThreads);
    std::vector<double> callMicros(sentAt.size());
    const auto start = steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const auto period = duration<double>(static_cast<double>(kThreads) / rate);
            for (int i = 0; i < each; ++i) {
                const auto due = start + duration_cast<steady_clock::duration>(period * i);
                std::this_thread::sleep_until(due);
                const int seq = t * each + i;
                char text[16];
                std::snprintf(text, sizeof text, "81%012d", seq);
                const auto before = steady_clock::now();
                sentAt[static_cast<size_t>(seq)] = before;
                server.broadcast_text(text);
                callMicros[static_cast<size_t>(seq)] =
                    duration<double, std::micro>(steady_clock::now() - before).count();
            }
        });
    for (auto& thread : threads) thread.join();
    const auto sendEnd = steady_clock::now();
    for (auto& client : clients) client->WaitForMessages(1 + sentAt.size(), 30s);

    std::vector<double> delays;
    size_t delivered = 0, minDelivered = sentAt.size();
    double lastReceipt = 0;
    for (auto& client : clients) {
        const auto messages = client->Messages();
        const size_t got = messages.size() - 1;
        delivered += got;
        minDelivered = std::min(minDelivered, got);
        for (size_t k = 1; k < messages.size(); ++k) {
            const int seq = std::atoi(messages[k].c_str() + 2);
            const auto at = client->ReceivedAt(k);
            delays.push_back(duration<double, std::milli>(at - sentAt[static_cast<size_t>(seq)]).count());
            lastReceipt = std::max(lastReceipt, duration<double>(at - start).count());
        }
    }
    const double sendSeconds = duration<double>(sendEnd - start).count();
    std::printf(
        "pages=%2d  offered=%6d/s  per-page delivered=%8.0f/s  lost=%zu  delay p50=%.3f ms p99=%.3f ms  "
        "broadcast_text p99=%.1f us max=%.1f us\n",
        pages, rate, static_cast<double>(minDelivered) / std::max(sendSeconds, lastReceipt),
        sentAt.size() * clients.size() - delivered, Percentile(delays, 0.50), Percentile(delays, 0.99),
        Percentile(callMicros, 0.99), *std::max_element(callMicros.begin(), callMicros.end()));
    server.close_all_connections();
    for (auto& client : clients) client->WaitClosed(5s);
}

}  // namespace

int main(int argc, char** argv) {
    const int rate = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 3;
    orvex::set_log_options(orvex::LogOptions{true, false});
    orvex::ServerConfig config;
    config.port = 0;
    config.quiet = true;
    std::string error;
    orvex::test::RecordingTarget target;
    orvex::WebSocketServer server;
    if (!server.Start(config, target, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    for (int pages : {1, 4, 16}) RunOnce(server, pages, rate, seconds);
    server.Stop();
    return 0;
}
