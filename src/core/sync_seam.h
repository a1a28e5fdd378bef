// NativeSync: the production instantiation of the synchronisation seam that ShardLock, the
// parking table and WordLock are written against (the seam itself is described with the
// concurrency contract in shard_lock.h).
//
// A Sync type provides: `Atomic<T>` (std::atomic's interface, the operations those three use),
// `futex_wait(word, expected)` and `futex_wake_one(word)` (futex.h's contract), `kSpinSteps` and
// `spin_step(step)` (spin.h's). Here each is the real thing, inline, so a lock instantiated on
// NativeSync compiles to exactly what it would be written against std::atomic directly.
#pragma once

#include <atomic>
#include <cstdint>

#include "futex.h"
#include "spin.h"

namespace durnel {

struct NativeSync {
    template <typename T>
    using Atomic = std::atomic<T>;

    static constexpr int kSpinSteps = durnel::kSpinSteps;
    static void spin_step(int step) noexcept { durnel::spin_step(step); }

    static void futex_wait(Atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
        futex::wait(word, expected);
    }
    static void futex_wake_one(Atomic<std::uint32_t>& word) noexcept { futex::wake_one(word); }
};

}  // namespace durnel
