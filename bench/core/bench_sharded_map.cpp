// ShardedMap against std::unordered_map behind one std::shared_mutex, at 1e2, 1e4 and 1e6
// string keys: `get` (shared guard, read the value) and `entry` of a present key (exclusive
// guard, bump the value), with one thread and with two. Keys are visited in a shuffled
// order over all of them, the same order for both maps.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "sharded_map.h"

namespace {

using Sharded = durnel::ShardedMap<std::string, std::uint64_t>;

struct Fixture {
    std::vector<std::string> keys;
    std::vector<std::uint32_t> order;  // a permutation of the key indices
    Sharded sharded;
    std::unordered_map<std::string, std::uint64_t> standard;
    std::shared_mutex standard_mutex;

    explicit Fixture(std::size_t n) {
        keys.reserve(n);
        char buffer[32];
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(buffer, sizeof buffer, "agent-%07zu", i);
            keys.emplace_back(buffer);
        }
        order.resize(n);
        for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
        std::shuffle(order.begin(), order.end(), std::mt19937_64(42));
        standard.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            sharded.insert(std::string_view(keys[i]), i);
            standard.emplace(keys[i], i);
        }
    }
};

// Built once per size on first use, shared by every benchmark and thread.
Fixture& fixture(std::size_t n) {
    static std::mutex mutex;
    static std::map<std::size_t, std::unique_ptr<Fixture>> fixtures;
    std::lock_guard<std::mutex> hold(mutex);
    auto& slot = fixtures[n];
    if (!slot) slot = std::make_unique<Fixture>(n);
    return *slot;
}

// Each thread starts at its own place in the shuffled order.
struct Cursor {
    const Fixture& f;
    std::size_t i;
    Cursor(const Fixture& fixture, const benchmark::State& state)
        : f(fixture),
          i(static_cast<std::size_t>(state.thread_index()) * 7919 % fixture.keys.size()) {}
    const std::string& next() {
        const std::string& key = f.keys[f.order[i]];
        if (++i == f.keys.size()) i = 0;
        return key;
    }
};

void sharded_get(benchmark::State& state) {
    Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
    Cursor cursor(f, state);
    for (auto _ : state) {
        auto ref = f.sharded.get(std::string_view(cursor.next()));
        benchmark::DoNotOptimize(ref->value());
    }
    state.SetItemsProcessed(state.iterations());
}

void standard_get(benchmark::State& state) {
    Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
    Cursor cursor(f, state);
    for (auto _ : state) {
        std::shared_lock<std::shared_mutex> hold(f.standard_mutex);
        auto it = f.standard.find(cursor.next());
        benchmark::DoNotOptimize(it->second);
    }
    state.SetItemsProcessed(state.iterations());
}

void sharded_entry(benchmark::State& state) {
    Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
    Cursor cursor(f, state);
    for (auto _ : state) {
        auto entry = f.sharded.entry(std::string_view(cursor.next()));
        if (auto* occupied = std::get_if<Sharded::Occupied>(&entry)) {
            benchmark::DoNotOptimize(++occupied->value());
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void standard_entry(benchmark::State& state) {
    Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
    Cursor cursor(f, state);
    for (auto _ : state) {
        std::unique_lock<std::shared_mutex> hold(f.standard_mutex);
        auto [it, inserted] = f.standard.try_emplace(cursor.next(), 0);
        benchmark::DoNotOptimize(++it->second);
        benchmark::DoNotOptimize(inserted);
    }
    state.SetItemsProcessed(state.iterations());
}

const bool registered = [] {
    const struct {
        const char* name;
        void (*fn)(benchmark::State&);
    } cases[] = {
        {"map/ShardedMap/get", sharded_get},
        {"map/unordered_map+shared_mutex/get", standard_get},
        {"map/ShardedMap/entry", sharded_entry},
        {"map/unordered_map+shared_mutex/entry", standard_entry},
    };
    for (const auto& c : cases) {
        benchmark::RegisterBenchmark(c.name, c.fn)
            ->Arg(100)
            ->Arg(10'000)
            ->Arg(1'000'000)
            ->Threads(1)
            ->Threads(2)
            ->UseRealTime();
    }
    return true;
}();

}  // namespace
