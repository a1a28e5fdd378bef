// WordLock: a one-word mutual-exclusion lock for the parking table's buckets.
//
// The buckets are held for a handful of instructions (enqueue, dequeue, test the caller's
// condition), so the lock spins briefly and then sleeps on a futex. It is not a general
// purpose mutex: it is not re-entrant, has no owner tracking and no fairness guarantee.
// State: 0 unlocked, 1 locked, 2 locked with sleepers (the classic three-state futex mutex),
// so an uncontended lock/unlock pair is one compare-exchange and one exchange, no system call.
#pragma once

#include <atomic>
#include <cstdint>

namespace durnel {

class WordLock {
public:
    constexpr WordLock() noexcept = default;
    WordLock(const WordLock&) = delete;
    WordLock& operator=(const WordLock&) = delete;

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

    std::atomic<std::uint32_t> state_{kUnlocked};
};

// RAII holder; releases on every path.
class WordLockGuard {
public:
    explicit WordLockGuard(WordLock& lock) noexcept : lock_(lock) { lock_.lock(); }
    ~WordLockGuard() { lock_.unlock(); }
    WordLockGuard(const WordLockGuard&) = delete;
    WordLockGuard& operator=(const WordLockGuard&) = delete;

private:
    WordLock& lock_;
};

}  // namespace durnel
