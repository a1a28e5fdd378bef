// Slow paths of ShardLock. Every change to the parked bits that a parker's validation depends
// on is made either by CAS by the parker itself, or inside an unpark callback, i.e. under the
// bucket lock that the parker validates under. That is what rules out lost wake-ups:
//   - a parked writer implies kWritersParked is set, and the holder(s) of the lock will see
//     the bit when they release (the last reader, or the exclusive holder);
//   - a parked reader implies kReadersParked is set and an exclusive holder that will see it.
#include "shard_lock.h"

#include "parking.h"
#include "spin.h"

namespace durnel {

void ShardLock::lock_shared_slow() noexcept {
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
        if (spins < kSpinSteps) {
            spin_step(spins++);
            word = word_.load(std::memory_order_relaxed);
            continue;
        }
        if ((word & kReadersParked) == 0 &&
            !word_.compare_exchange_weak(word, word | kReadersParked, std::memory_order_relaxed,
                                         std::memory_order_relaxed)) {
            continue;
        }
        parking::park(reader_key(), [this] {
            const std::uint64_t now = word_.load(std::memory_order_relaxed);
            return (now & kReadersParked) != 0 && holders(now) == kExclusive;
        });
        spins = 0;
        word = word_.load(std::memory_order_relaxed);
    }
}

void ShardLock::lock_slow() noexcept {
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
        if (spins < kSpinSteps) {
            spin_step(spins++);
            word = word_.load(std::memory_order_relaxed);
            continue;
        }
        if ((word & kWritersParked) == 0 &&
            !word_.compare_exchange_weak(word, word | kWritersParked, std::memory_order_relaxed,
                                         std::memory_order_relaxed)) {
            continue;
        }
        parking::park(writer_key(), [this] {
            const std::uint64_t now = word_.load(std::memory_order_relaxed);
            return (now & kWritersParked) != 0 && holders(now) != 0;
        });
        spins = 0;
        word = word_.load(std::memory_order_relaxed);
    }
}

void ShardLock::unlock_slow() noexcept {
    // Drop ownership but keep the parked bits; from here on anyone may take the lock, and a
    // parker's validation (which needs the lock held) fails, so nobody new goes to sleep on
    // a free lock.
    const std::uint64_t previous = word_.fetch_and(kParkedMask, std::memory_order_release);
    if ((previous & kReadersParked) != 0) {
        const parking::UnparkResult readers =
            parking::unpark_all(reader_key(), [this](parking::UnparkResult) {
                word_.fetch_and(~kReadersParked, std::memory_order_relaxed);
            });
        // Woken readers take the lock; the last of them to leave wakes a writer. If no reader
        // was actually asleep, that hand-over will not happen, so wake the writer here.
        if (readers.unparked != 0) return;
    }
    if ((previous & kWritersParked) != 0) wake_one_writer();
}

void ShardLock::wake_one_writer() noexcept {
    parking::unpark_one(writer_key(), [this](parking::UnparkResult result) {
        if (!result.have_more_threads) {
            word_.fetch_and(~kWritersParked, std::memory_order_relaxed);
        }
    });
}

}  // namespace durnel
