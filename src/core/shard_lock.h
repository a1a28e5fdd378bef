// ShardLock: the reader-writer lock of one map shard, held in a single 64-bit atomic word.
//
// Concurrency contract (the one place it is written down):
//   - Any number of threads may hold the lock shared; an exclusive holder excludes everyone.
//   - A shared request is granted whenever no thread holds the lock exclusively, even while
//     writers are waiting: waiting writers never hold back new readers.
//   - An exclusive request is granted only when nobody holds the lock.
//   - When an exclusive holder releases while readers and writers wait, every waiting reader
//     is woken; the last reader to leave then wakes one waiting writer. With only writers
//     waiting one writer is woken; with only readers waiting all of them are.
//   - A blocked thread spins at most kSpinSteps times (spin.h) and then parks; nobody spins
//     without bound.
//   - Uncontended acquisition and release are one atomic read-modify-write each (acquire on
//     acquisition, release on release), with no system call and no allocation.
//   - The lock is not re-entrant: asking again for a lock the thread holds waits forever.
//     Checked builds (debug_check.h) abort with a message instead when a guard asks for a
//     lock that a guard of the same thread holds, in either mode.
//
// Waiting readers park on the key (address of the word + 1), waiting writers on the address
// of the word itself; see parking.h for why no wake-up is lost.
//
// The synchronisation seam. BasicShardLock, the parking table (parking.h) and WordLock
// (word_lock.h) are written against a `Sync` type and touch shared memory, sleep and wake only
// through it: `Sync::Atomic<T>` for the lock word, the bucket locks and the sleepers' `parked`
// words; `Sync::futex_wait` / `futex_wake_one` for sleeping and waking; `Sync::kSpinSteps` and
// `Sync::spin_step` for bounded spinning; parking::park<Sync> and friends for the table. The
// code between two of those calls touches only memory that a bucket lock or the lock itself
// protects, so the calls are the only places where another thread's actions can matter.
//   - NativeSync (sync_seam.h) is std::atomic, futex.h and spin.h, all inline: ShardLock is
//     BasicShardLock<NativeSync>, its slow paths compiled once in shard_lock.cpp, and the
//     object code is what it would be without the seam.
//   - The tests' deterministic seam (tests/core/deterministic_schedule.h) makes each of those
//     calls a point where a scheduler picks which thread runs next, so that every interleaving
//     of a small scenario can be explored (shard_lock_test.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "debug_check.h"
#include "parking.h"
#include "sync_seam.h"

namespace durnel {

template <typename Sync>
class BasicShardLock {
public:
    // The lock word:
    //   bit 0       kReadersParked: at least one reader is (or is about to be) parked
    //   bit 1       kWritersParked: at least one writer is (or is about to be) parked
    //   bits 2..63  holders: 0 when free, n * kOneReader for n shared holders, and all ones
    //               (kExclusive, 2^64 - 4) while held exclusively
    static constexpr std::uint64_t kReadersParked = 0b01;
    static constexpr std::uint64_t kWritersParked = 0b10;
    static constexpr std::uint64_t kParkedMask = kReadersParked | kWritersParked;
    static constexpr std::uint64_t kOneReader = 0b100;
    static constexpr std::uint64_t kExclusive = ~kParkedMask;
    static_assert(kExclusive == 0xFFFF'FFFF'FFFF'FFFCull);
    static_assert((kExclusive & kParkedMask) == 0 && (kOneReader & kParkedMask) == 0);

    constexpr BasicShardLock() noexcept = default;
    BasicShardLock(const BasicShardLock&) = delete;
    BasicShardLock& operator=(const BasicShardLock&) = delete;

    void lock_shared() noexcept {
        std::uint64_t word = word_.load(std::memory_order_relaxed);
        if (can_add_reader(word) &&
            word_.compare_exchange_weak(word, word + kOneReader, std::memory_order_acquire,
                                        std::memory_order_relaxed)) [[likely]] {
            return;
        }
        lock_shared_slow();
    }

    void unlock_shared() noexcept {
        const std::uint64_t previous = word_.fetch_sub(kOneReader, std::memory_order_release);
        if ((previous & ~kReadersParked) == (kOneReader | kWritersParked)) [[unlikely]] {
            wake_one_writer();  // last reader out with a writer waiting
        }
    }

    void lock() noexcept {
        std::uint64_t expected = 0;
        if (word_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed)) [[likely]] {
            return;
        }
        lock_slow();
    }

    void unlock() noexcept {
        std::uint64_t expected = kExclusive;
        if (word_.compare_exchange_strong(expected, 0, std::memory_order_release,
                                          std::memory_order_relaxed)) [[likely]] {
            return;
        }
        unlock_slow();
    }

    // For tests and assertions only: a racy snapshot of the word.
    std::uint64_t raw_word() const noexcept { return word_.load(std::memory_order_relaxed); }

    // The parking keys: writers wait on the word's address, readers on the next byte's.
    std::uintptr_t writer_key() const noexcept { return reinterpret_cast<std::uintptr_t>(&word_); }
    std::uintptr_t reader_key() const noexcept { return writer_key() + 1; }

private:
    static constexpr std::uint64_t holders(std::uint64_t word) noexcept {
        return word & ~kParkedMask;
    }
    // A reader may join unless a writer holds the lock (or, absurdly, the reader count would
    // run into the exclusive pattern).
    static constexpr bool can_add_reader(std::uint64_t word) noexcept {
        return holders(word) < kExclusive - kOneReader;
    }

    void lock_shared_slow() noexcept;
    void lock_slow() noexcept;
    void unlock_slow() noexcept;
    void wake_one_writer() noexcept;

    typename Sync::template Atomic<std::uint64_t> word_{0};
};

// Slow paths. Every change to the parked bits that a parker's validation depends on is made
// either by CAS by the parker itself, or inside an unpark callback, i.e. under the bucket lock
// that the parker validates under. That is what rules out lost wake-ups:
//   - a parked writer implies kWritersParked is set, and the holder(s) of the lock will see
//     the bit when they release (the last reader, or the exclusive holder);
//   - a parked reader implies kReadersParked is set and an exclusive holder that will see it.
// They are out of line in the production build (explicit instantiation in shard_lock.cpp).
template <typename Sync>
void BasicShardLock<Sync>::lock_shared_slow() noexcept {
    int spins = 0;
    std::uint64_t word = word_.load(std::memory_order_relaxed);
    for (;;) {
        if (can_add_reader(word)) {
            if (word_.compare_exchange_weak(word, word + kOneReader, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
                return;
            }
            continue;  // the word moved under us; `word` holds the fresh value
        }
        if (spins < Sync::kSpinSteps) {
            Sync::spin_step(spins++);
            word = word_.load(std::memory_order_relaxed);
            continue;
        }
        if ((word & kReadersParked) == 0 &&
            !word_.compare_exchange_weak(word, word | kReadersParked, std::memory_order_relaxed,
                                         std::memory_order_relaxed)) {
            continue;
        }
        parking::park<Sync>(reader_key(), [this] {
            const std::uint64_t now = word_.load(std::memory_order_relaxed);
            return (now & kReadersParked) != 0 && holders(now) == kExclusive;
        });
        spins = 0;
        word = word_.load(std::memory_order_relaxed);
    }
}

template <typename Sync>
void BasicShardLock<Sync>::lock_slow() noexcept {
    int spins = 0;
    std::uint64_t word = word_.load(std::memory_order_relaxed);
    for (;;) {
        if (holders(word) == 0) {
            // Keep the parked bits: whoever parked still needs the wake our release will do.
            if (word_.compare_exchange_weak(word, word | kExclusive, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
                return;
            }
            continue;
        }
        if (spins < Sync::kSpinSteps) {
            Sync::spin_step(spins++);
            word = word_.load(std::memory_order_relaxed);
            continue;
        }
        if ((word & kWritersParked) == 0 &&
            !word_.compare_exchange_weak(word, word | kWritersParked, std::memory_order_relaxed,
                                         std::memory_order_relaxed)) {
            continue;
        }
        parking::park<Sync>(writer_key(), [this] {
            const std::uint64_t now = word_.load(std::memory_order_relaxed);
            return (now & kWritersParked) != 0 && holders(now) != 0;
        });
        spins = 0;
        word = word_.load(std::memory_order_relaxed);
    }
}

template <typename Sync>
void BasicShardLock<Sync>::unlock_slow() noexcept {
    // Drop ownership but keep the parked bits; from here on anyone may take the lock, and a
    // parker's validation (which needs the lock held) fails, so nobody new goes to sleep on
    // a free lock.
    const std::uint64_t previous = word_.fetch_and(kParkedMask, std::memory_order_release);
    if ((previous & kReadersParked) != 0) {
        const parking::UnparkResult readers =
            parking::unpark_all<Sync>(reader_key(), [this](parking::UnparkResult) {
                word_.fetch_and(~kReadersParked, std::memory_order_relaxed);
            });
        // Woken readers take the lock; the last of them to leave wakes a writer. If no reader
        // was actually asleep, that hand-over will not happen, so wake the writer here.
        if (readers.unparked != 0) return;
    }
    if ((previous & kWritersParked) != 0) wake_one_writer();
}

template <typename Sync>
void BasicShardLock<Sync>::wake_one_writer() noexcept {
    parking::unpark_one<Sync>(writer_key(), [this](parking::UnparkResult result) {
        if (!result.have_more_threads) {
            word_.fetch_and(~kWritersParked, std::memory_order_relaxed);
        }
    });
}

// The production slow paths, compiled once in shard_lock.cpp.
extern template void BasicShardLock<NativeSync>::lock_shared_slow() noexcept;
extern template void BasicShardLock<NativeSync>::lock_slow() noexcept;
extern template void BasicShardLock<NativeSync>::unlock_slow() noexcept;
extern template void BasicShardLock<NativeSync>::wake_one_writer() noexcept;
using ShardLock = BasicShardLock<NativeSync>;

// The shard locks this thread holds through guards, kept by checked builds only: a guard that
// asks for one of them again aborts instead of waiting for ever. Release builds keep nothing.
namespace held_locks {
#if DURNEL_DEBUG_CHECKS
inline constexpr std::size_t kCapacity = 16;  // far more than any path holds at once (three)
struct Held {
    std::array<const ShardLock*, kCapacity> locks{};
    std::size_t count = 0;
};
inline Held& mine() noexcept {
    thread_local Held held;
    return held;
}
inline void acquiring(const ShardLock* lock) noexcept {
    Held& held = mine();
    for (std::size_t i = 0; i < held.count; ++i) {
        DURNEL_DEBUG_CHECK(held.locks[i] != lock,
                           "this thread takes a shard lock it already holds");
    }
    DURNEL_DEBUG_CHECK(held.count < kCapacity, "this thread holds too many shard locks");
    held.locks[held.count++] = lock;
}
inline void released(const ShardLock* lock) noexcept {
    Held& held = mine();
    for (std::size_t i = 0; i < held.count; ++i) {
        if (held.locks[i] == lock) {
            held.locks[i] = held.locks[--held.count];
            return;
        }
    }
    DURNEL_DEBUG_CHECK(false, "this thread releases a shard lock it does not hold");
}
#else
inline void acquiring(const ShardLock*) noexcept {}
inline void released(const ShardLock*) noexcept {}
#endif
}  // namespace held_locks

// RAII guards: the lock is released on every path out of the scope that owns the guard.
class SharedGuard {
public:
    explicit SharedGuard(ShardLock& lock) noexcept : lock_(&lock) {
        held_locks::acquiring(lock_);
        lock_->lock_shared();
    }
    SharedGuard(SharedGuard&& other) noexcept : lock_(other.lock_) { other.lock_ = nullptr; }
    // Hand over hand: the lock held so far drops only after `other`'s was taken.
    SharedGuard& operator=(SharedGuard&& other) noexcept {
        if (this != &other) {
            release();
            lock_ = std::exchange(other.lock_, nullptr);
        }
        return *this;
    }
    ~SharedGuard() { release(); }

    void release() noexcept {
        if (lock_ != nullptr) {
            lock_->unlock_shared();
            held_locks::released(lock_);
            lock_ = nullptr;
        }
    }

private:
    ShardLock* lock_;
};

class ExclusiveGuard {
public:
    explicit ExclusiveGuard(ShardLock& lock) noexcept : lock_(&lock) {
        held_locks::acquiring(lock_);
        lock_->lock();
    }
    ExclusiveGuard(ExclusiveGuard&& other) noexcept : lock_(other.lock_) { other.lock_ = nullptr; }
    ExclusiveGuard& operator=(ExclusiveGuard&&) = delete;
    ~ExclusiveGuard() { release(); }

    // Releases early; the destructor then does nothing.
    void release() noexcept {
        if (lock_ != nullptr) {
            lock_->unlock();
            held_locks::released(lock_);
            lock_ = nullptr;
        }
    }

private:
    ShardLock* lock_;
};

}  // namespace durnel
