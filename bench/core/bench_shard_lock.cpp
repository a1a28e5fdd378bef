// ShardLock against std::shared_mutex: shared and exclusive lock+unlock, uncontended, with two
// threads on one lock, and with two threads on two locks in separate 128-byte slots (the way
// two shards of one map sit in its shard array).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <shared_mutex>
#include <string>

#include "shard_lock.h"

namespace {

template <typename Lock>
struct alignas(128) LockSlot {
    Lock lock;
};
static_assert(sizeof(LockSlot<durnel::ShardLock>) == 128);
static_assert(sizeof(LockSlot<std::shared_mutex>) == 128);

template <typename Lock>
LockSlot<Lock>* slots() {
    alignas(128) static LockSlot<Lock> two[2];
    return two;
}

// Two threads need a while to settle on the two cores of a small machine.
constexpr double kMinTime = 0.5;

enum class Placement { OneLock, TwoLocks };

// Each thread works on slot 0 (OneLock) or on the slot of its own index (TwoLocks).
template <typename Lock>
Lock& lock_for(const benchmark::State& state, Placement placement) {
    const int index = placement == Placement::TwoLocks ? state.thread_index() : 0;
    return slots<Lock>()[index].lock;
}

template <typename Lock>
void exclusive(benchmark::State& state, Placement placement) {
    Lock& lock = lock_for<Lock>(state, placement);
    for (auto _ : state) {
        lock.lock();
        benchmark::ClobberMemory();
        lock.unlock();
    }
    state.SetItemsProcessed(state.iterations());
}

template <typename Lock>
void shared(benchmark::State& state, Placement placement) {
    Lock& lock = lock_for<Lock>(state, placement);
    for (auto _ : state) {
        lock.lock_shared();
        benchmark::ClobberMemory();
        lock.unlock_shared();
    }
    state.SetItemsProcessed(state.iterations());
}

// No lock at all: a few dependent additions per iteration on a private counter. Its two-thread
// throughput over its one-thread throughput is what this machine can give two threads at the
// moment of the run, the ceiling for the two-lock figures.
void private_work(benchmark::State& state) {
    std::uint64_t counter = static_cast<std::uint64_t>(state.thread_index());
    for (auto _ : state) {
        for (int i = 0; i < 8; ++i) {
            counter = counter * 3 + 1;
            benchmark::DoNotOptimize(counter);
        }
    }
    state.SetItemsProcessed(state.iterations());
}

template <typename Lock>
void register_lock(const std::string& name) {
    using Fn = void (*)(benchmark::State&, Placement);
    const struct {
        const char* mode;
        Fn fn;
    } modes[] = {{"exclusive", &exclusive<Lock>}, {"shared", &shared<Lock>}};
    for (const auto& m : modes) {
        const std::string base = "lock/" + name + "/" + m.mode;
        benchmark::RegisterBenchmark((base + "/uncontended").c_str(), m.fn, Placement::OneLock)
            ->Threads(1)
            ->MinTime(kMinTime)
            ->UseRealTime();
        benchmark::RegisterBenchmark((base + "/one_lock").c_str(), m.fn, Placement::OneLock)
            ->Threads(2)
            ->MinTime(kMinTime)
            ->UseRealTime();
        benchmark::RegisterBenchmark((base + "/two_locks").c_str(), m.fn, Placement::TwoLocks)
            ->Threads(2)
            ->MinTime(kMinTime)
            ->UseRealTime();
    }
}

const bool registered = [] {
    register_lock<durnel::ShardLock>("ShardLock");
    register_lock<std::shared_mutex>("std::shared_mutex");
    for (int threads : {1, 2}) {
        benchmark::RegisterBenchmark("lock/none/private_work", private_work)
            ->Threads(threads)
            ->MinTime(kMinTime)
            ->UseRealTime();
    }
    return true;
}();

}  // namespace
