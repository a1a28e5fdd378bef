// The core's share of each Python-surface benchmark: the same operations on the same populated
// state (1000 agents, each holding one file claim; agent-0003 with three messages pending),
// called directly, without the interpreter, the argument conversion or the result objects;
// and the copy behind an in-process snapshot.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "snapshot.h"
#include "state.h"

namespace {

constexpr int kAgents = 1000;
constexpr const char kContent[] = "status report: build 42 passed";

std::string agent(int i) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "agent-%04d", i);
    return buffer;
}

std::unique_ptr<durnel::CoordinationState> populated() {
    auto state = std::make_unique<durnel::CoordinationState>();
    char path[32];
    for (int i = 0; i < kAgents; ++i) {
        std::snprintf(path, sizeof path, "src/module-%04d.py", i);
        durnel::claim_file(*state, agent(i), path);
    }
    for (int i = 0; i < 3; ++i) durnel::send_message(*state, "agent-0001", "agent-0003", kContent);
    return state;
}

void op_status(benchmark::State& bench) {
    auto state = populated();
    for (auto _ : bench) benchmark::DoNotOptimize(durnel::status(*state, "agent-0500"));
}

void op_claim_release(benchmark::State& bench) {
    auto state = populated();
    for (auto _ : bench) {
        auto claimed = durnel::claim_file(*state, "agent-bench", "src/bench.py");
        benchmark::DoNotOptimize(claimed);
        auto released = durnel::release(*state, "agent-bench", "file:src/bench.py");
        benchmark::DoNotOptimize(released);
    }
}

void op_refused_claim(benchmark::State& bench) {
    auto state = populated();
    for (auto _ : bench) {
        auto refused = durnel::claim_file(*state, "agent-0001", "src/module-0000.py");
        benchmark::DoNotOptimize(refused);
    }
}

void op_renew(benchmark::State& bench) {
    auto state = populated();
    for (auto _ : bench) {
        auto renewed = durnel::renew_claim(*state, "agent-0000", "file:src/module-0000.py");
        benchmark::DoNotOptimize(renewed);
    }
}

void op_send_drain(benchmark::State& bench) {
    auto state = populated();
    for (auto _ : bench) {
        auto sent = durnel::send_message(*state, "agent-0001", "agent-0002", kContent);
        benchmark::DoNotOptimize(sent);
        auto drained = durnel::drain_inbox(*state, "agent-0002");
        benchmark::DoNotOptimize(drained);
    }
}

void op_inbox(benchmark::State& bench) {
    auto state = populated();
    for (auto _ : bench) benchmark::DoNotOptimize(durnel::inbox(*state, "agent-0003"));
}

// Broadcasts in chunks of 20, the 1000 mailboxes drained between chunks with the timer paused.
void op_broadcast(benchmark::State& bench) {
    auto state = populated();
    std::vector<std::string> agents;
    for (int i = 0; i < kAgents; ++i) agents.push_back(agent(i));
    int in_chunk = 0;
    for (auto _ : bench) {
        benchmark::DoNotOptimize(durnel::broadcast(*state, "agent-0004", kContent));
        if (++in_chunk == 20) {
            bench.PauseTiming();
            for (const auto& a : agents) benchmark::DoNotOptimize(durnel::drain_inbox(*state, a));
            in_chunk = 0;
            bench.ResumeTiming();
        }
    }
}

// The copy behind durnel.snapshot of bench_snapshot.py's group: 1000 agents, claims and
// mailboxes of 3 messages, the log's last 20 events of 4000.
void op_snapshot(benchmark::State& bench) {
    auto state = populated();
    for (int n = 0; n < 3; ++n) {
        for (int i = 0; i < kAgents; ++i) {
            durnel::send_message(*state, agent((i + 1) % kAgents), agent(i), kContent);
        }
    }
    for (auto _ : bench) benchmark::DoNotOptimize(durnel::take_snapshot(*state, 20));
}

const bool registered = [] {
    benchmark::RegisterBenchmark("ops/status", op_status);
    benchmark::RegisterBenchmark("ops/claim+release", op_claim_release);
    benchmark::RegisterBenchmark("ops/refused claim", op_refused_claim);
    benchmark::RegisterBenchmark("ops/renew", op_renew);
    benchmark::RegisterBenchmark("ops/send+drain", op_send_drain);
    benchmark::RegisterBenchmark("ops/inbox of 3", op_inbox);
    benchmark::RegisterBenchmark("ops/broadcast to 1000", op_broadcast);
    benchmark::RegisterBenchmark("ops/snapshot of 1000", op_snapshot);
    return true;
}();

}  // namespace
