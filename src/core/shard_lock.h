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
//
// Waiting readers park on the key (address of the word + 1), waiting writers on the address
// of the word itself; see parking.h for why no wake-up is lost.
#pragma once

#include <atomic>
#include <cstdint>

namespace durnel {

class ShardLock {
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

    constexpr ShardLock() noexcept = default;
    ShardLock(const ShardLock&) = delete;
    ShardLock& operator=(const ShardLock&) = delete;

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

private:
    static constexpr std::uint64_t holders(std::uint64_t word) noexcept {
        return word & ~kParkedMask;
    }
    // A reader may join unless a writer holds the lock (or, absurdly, the reader count would
    // run into the exclusive pattern).
    static constexpr bool can_add_reader(std::uint64_t word) noexcept {
        return holders(word) < kExclusive - kOneReader;
    }

    std::uintptr_t writer_key() const noexcept { return reinterpret_cast<std::uintptr_t>(&word_); }
    std::uintptr_t reader_key() const noexcept { return writer_key() + 1; }

    void lock_shared_slow() noexcept;
    void lock_slow() noexcept;
    void unlock_slow() noexcept;
    void wake_one_writer() noexcept;

    std::atomic<std::uint64_t> word_{0};
};

// RAII guards: the lock is released on every path out of the scope that owns the guard.
class SharedGuard {
public:
    explicit SharedGuard(ShardLock& lock) noexcept : lock_(&lock) { lock_->lock_shared(); }
    SharedGuard(SharedGuard&& other) noexcept : lock_(other.lock_) { other.lock_ = nullptr; }
    SharedGuard& operator=(SharedGuard&&) = delete;
    ~SharedGuard() {
        if (lock_ != nullptr) lock_->unlock_shared();
    }

private:
    ShardLock* lock_;
};

class ExclusiveGuard {
public:
    explicit ExclusiveGuard(ShardLock& lock) noexcept : lock_(&lock) { lock_->lock(); }
    ExclusiveGuard(ExclusiveGuard&& other) noexcept : lock_(other.lock_) { other.lock_ = nullptr; }
    ExclusiveGuard& operator=(ExclusiveGuard&&) = delete;
    ~ExclusiveGuard() { release(); }

    // Releases early; the destructor then does nothing.
    void release() noexcept {
        if (lock_ != nullptr) {
            lock_->unlock();
            lock_ = nullptr;
        }
    }

private:
    ShardLock* lock_;
};

}  // namespace durnel
