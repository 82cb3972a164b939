// The local weight service's own figures: how long a weighing takes from the desk's hand-over to
// a stream client (median and 99th percentile over 10,000 weighings, one every millisecond, with
// 64 clients connected), and what the service with 64 clients costs in memory.
#include "WeightService.h"
#include "../tests/support/ServiceClient.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <fstream>

namespace {

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

void BM_StreamLatency(benchmark::State& state) {
    constexpr int kWeighings = 10000, kClients = 64;
    for (auto _ : state) {
        const long before = ResidentKb();
        service::WeighingLog log;
        log.SetWords({0, u"Error", u"Overweight", "{}"});
        service::Settings settings;
        settings.token = "bench";
        service::WeightService server(settings, log, "bench", {});
        std::string why;
        if (!server.Start(why)) {
            state.SkipWithError(why.c_str());
            return;
        }
        std::vector<std::unique_ptr<StreamClient>> clients;
        for (int c = 0; c < kClients; ++c) clients.push_back(std::make_unique<StreamClient>(server.Port(), "/v1/stream?token=bench", false));
        while (server.StreamClients() < kClients) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const long connected = ResidentKb();
        // The sent times by seq; the last client's receipts are timed as they come.
        std::vector<std::chrono::steady_clock::time_point> sent(kWeighings + 1);
        auto next = std::chrono::steady_clock::now();
        for (int i = 1; i <= kWeighings; ++i) {
            std::this_thread::sleep_until(next += std::chrono::milliseconds(1));
            sent[static_cast<std::size_t>(i)] = std::chrono::steady_clock::now();
            log.Add({0, static_cast<std::size_t>(i), {weighing::RowKind::Weight, i / 1000.0, 3}, 0, false});
        }
        StreamClient& timed = *clients.back();
        while (timed.Arrivals().size() < kWeighings && !timed.Closed()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const long streaming = ResidentKb();
        std::vector<double> micros;
        for (const auto& [seq, at] : timed.Arrivals()) micros.push_back(std::chrono::duration<double, std::micro>(at - sent[seq]).count());
        std::sort(micros.begin(), micros.end());
        if (micros.size() < kWeighings) {
            state.SkipWithError("the client missed weighings");
            return;
        }
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[micros.size() * 99 / 100];
        state.counters["rss_64_clients_kb"] = static_cast<double>(connected - before);
        state.counters["rss_after_10000_kb"] = static_cast<double>(streaming - before);
    }
}
BENCHMARK(BM_StreamLatency)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
