// CoordinationState operations at 10, 1e4 and 1e6 live entries (that many claims, each by an
// agent of its own, so `claims` and `statuses` hold that many keys): `status` of live agents
// and `claim_file` + `release` of free paths, each over 1024 ids drawn at random, with no
// Python in the way. This is the core's share of a Python call.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "state.h"

namespace {

constexpr std::size_t kWorkingSet = 1024;

struct LiveState {
    durnel::CoordinationState state;
    std::vector<std::string> live_agents;  // kWorkingSet agents that hold a claim
    std::vector<std::string> free_paths;   // kWorkingSet paths nobody holds

    explicit LiveState(std::size_t n) {
        char agent[32];
        char path[48];
        std::vector<std::size_t> picks;
        std::mt19937_64 random(7);
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(agent, sizeof agent, "agent-%07zu", i);
            std::snprintf(path, sizeof path, "src/module-%07zu.py", i);
            durnel::claim_file(state, agent, path);
        }
        for (std::size_t i = 0; i < kWorkingSet; ++i) {
            std::snprintf(agent, sizeof agent, "agent-%07zu",
                          static_cast<std::size_t>(random() % n));
            live_agents.emplace_back(agent);
            std::snprintf(path, sizeof path, "src/free-%07zu.py", i);
            free_paths.emplace_back(path);
        }
    }
};

LiveState& live_state(std::size_t n) {
    static std::map<std::size_t, std::unique_ptr<LiveState>> states;
    auto& slot = states[n];
    if (!slot) slot = std::make_unique<LiveState>(n);
    return *slot;
}

void state_status(benchmark::State& bench) {
    LiveState& live = live_state(static_cast<std::size_t>(bench.range(0)));
    std::size_t i = 0;
    for (auto _ : bench) {
        benchmark::DoNotOptimize(durnel::status(live.state, live.live_agents[i]));
        i = (i + 1) % kWorkingSet;
    }
    bench.SetItemsProcessed(bench.iterations());
}

void state_claim_release(benchmark::State& bench) {
    LiveState& live = live_state(static_cast<std::size_t>(bench.range(0)));
    std::string key;
    std::size_t i = 0;
    for (auto _ : bench) {
        const std::string& path = live.free_paths[i];
        auto claimed = durnel::claim_file(live.state, "agent-bench", path);
        benchmark::DoNotOptimize(claimed);
        key.assign("file:").append(path);
        auto released = durnel::release(live.state, "agent-bench", key);
        benchmark::DoNotOptimize(released);
        i = (i + 1) % kWorkingSet;
    }
    bench.SetItemsProcessed(bench.iterations());
}

const bool registered = [] {
    benchmark::RegisterBenchmark("state/status", state_status)
        ->Arg(10)
        ->Arg(10'000)
        ->Arg(1'000'000);
    benchmark::RegisterBenchmark("state/claim+release", state_claim_release)
        ->Arg(10)
        ->Arg(10'000)
        ->Arg(1'000'000);
    return true;
}();

}  // namespace
