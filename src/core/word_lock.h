// WordLock: a one-word mutual-exclusion lock for the parking table's buckets.
//
// The buckets are held for a handful of instructions (enqueue, dequeue, test the caller's
// condition), so the lock spins briefly and then sleeps on a futex. It is not a general
// purpose mutex: it is not re-entrant, has no owner tracking and no fairness guarantee.
// State: 0 unlocked, 1 locked, 2 locked with sleepers (the classic three-state futex mutex),
// so an uncontended lock/unlock pair is one compare-exchange and one exchange, no system call.
//
// Written against the synchronisation seam (`Sync`, see shard_lock.h); WordLock is the
// production instantiation, compiled once in word_lock.cpp.
#pragma once

#include <cstdint>

#include "sync_seam.h"

namespace durnel {

template <typename Sync>
class BasicWordLock {
public:
    constexpr BasicWordLock() noexcept = default;
    BasicWordLock(const BasicWordLock&) = delete;
    BasicWordLock& operator=(const BasicWordLock&) = delete;

    void lock() noexcept {
        std::uint32_t expected = kUnlocked;
        if (state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                           std::memory_order_relaxed)) [[likely]] {
            return;
        }
        lock_slow();
    }

    void unlock() noexcept {
        if (state_.exchange(kUnlocked, std::memory_order_release) == kContended) [[unlikely]] {
            wake_one();
        }
    }

private:
    static constexpr std::uint32_t kUnlocked = 0;
    static constexpr std::uint32_t kLocked = 1;
    static constexpr std::uint32_t kContended = 2;

    void lock_slow() noexcept;
    void wake_one() noexcept;

    typename Sync::template Atomic<std::uint32_t> state_{kUnlocked};
};

// RAII holder; releases on every path.
template <typename Lock>
class BasicWordLockGuard {
public:
    explicit BasicWordLockGuard(Lock& lock) noexcept : lock_(lock) { lock_.lock(); }
    ~BasicWordLockGuard() { lock_.unlock(); }
    BasicWordLockGuard(const BasicWordLockGuard&) = delete;
    BasicWordLockGuard& operator=(const BasicWordLockGuard&) = delete;

private:
    Lock& lock_;
};

// Slow paths: out of line in the production build (see the explicit instantiation in
// word_lock.cpp), so that the inline fast path stays two instructions.
template <typename Sync>
void BasicWordLock<Sync>::lock_slow() noexcept {
    // Spin a little first: bucket critical sections are a few dozen instructions long.
    for (int step = 0; step < Sync::kSpinSteps; ++step) {
        Sync::spin_step(step);
        std::uint32_t expected = kUnlocked;
        if (state_.compare_exchange_weak(expected, kLocked, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
            return;
        }
    }
    // Announce a sleeper, then sleep until the word is seen unlocked. Taking the lock by
    // exchanging in kContended is conservative: it may cause one needless wake on unlock,
    // but it never loses one.
    while (state_.exchange(kContended, std::memory_order_acquire) != kUnlocked) {
        Sync::futex_wait(state_, kContended);
    }
}

template <typename Sync>
void BasicWordLock<Sync>::wake_one() noexcept {
    Sync::futex_wake_one(state_);
}

// The production slow paths, compiled once in word_lock.cpp.
extern template void BasicWordLock<NativeSync>::lock_slow() noexcept;
extern template void BasicWordLock<NativeSync>::wake_one() noexcept;
using WordLock = BasicWordLock<NativeSync>;
using WordLockGuard = BasicWordLockGuard<WordLock>;

}  // namespace durnel
