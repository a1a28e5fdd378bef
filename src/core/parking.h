// Address-keyed parking: a process-wide table of sleeping threads.
//
// A thread parks on a key (an address, or an address plus a small offset) after re-testing its
// wait condition under the lock of the key's bucket; a waker changes the condition first and
// then unparks under the same bucket lock. Either the parker's re-test sees the change and it
// does not sleep, or it is already queued when the waker looks: no wake-up is lost.
//
// Each thread sleeps on a futex word of its own, so waking one thread never disturbs another.
// The table has a fixed number of buckets, each a WordLock and an intrusive FIFO of sleepers;
// it needs no allocation, no resizing and no initialisation order (zero-initialised statics).
//
// Invariants, each held under the bucket's WordLock:
//   - a ThreadData is in at most one bucket queue, and only while its `parked` word is 1;
//   - a queued ThreadData's `key` hashes to the bucket that holds it;
//   - a thread leaves the queue only by being unparked (there are no timeouts), and its
//     `parked` word is cleared only after it left the queue.
// The sleeping thread waits for `parked` to become 0; the waker clears it with release order
// after dropping the bucket lock, so the woken thread sees every write the waker made before.
// Checked builds (debug_check.h) test the invariants of a bucket's queue each time they change
// it, and that a thread never parks while still queued.
//
// ParkingTable is written against the synchronisation seam (`Sync`, see shard_lock.h). The
// process-wide table is ParkingTable<NativeSync>, reached through park / unpark_one /
// unpark_all below (parking.cpp), with each thread's ThreadData in a thread_local.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "debug_check.h"
#include "function_ref.h"
#include "sync_seam.h"
#include "word_lock.h"

namespace durnel::parking {

// Facts handed to an unpark callback while the bucket lock is still held.
struct UnparkResult {
    unsigned unparked = 0;           // threads taken off the queue for this key
    bool have_more_threads = false;  // threads still parked on this key afterwards
};

template <typename Sync>
class ParkingTable {
public:
    // What a parking thread leaves in the queue; one per thread, reused by each park.
    struct ThreadData {
        typename Sync::template Atomic<std::uint32_t> parked{0};
        std::uintptr_t key = 0;
        ThreadData* next = nullptr;
    };

    constexpr ParkingTable() noexcept = default;
    ParkingTable(const ParkingTable&) = delete;
    ParkingTable& operator=(const ParkingTable&) = delete;

    // Parks the calling thread, whose ThreadData is `self`, on `key` if `validate()` (run under
    // the bucket lock) returns true. Returns once another thread has unparked it (true), or at
    // once if validate said no (false).
    bool park(ThreadData& self, std::uintptr_t key, FunctionRef<bool()> validate) {
        Bucket& bucket = bucket_for(key);
        {
            Guard guard(bucket.lock);
            if (!validate()) return false;
            DURNEL_DEBUG_CHECK(self.parked.load(std::memory_order_relaxed) == 0,
                               "a thread parks while it is still queued");
            self.key = key;
            self.next = nullptr;
            self.parked.store(1, std::memory_order_relaxed);
            (bucket.tail ? bucket.tail->next : bucket.head) = &self;
            bucket.tail = &self;
            DURNEL_DEBUG_CHECK(queue_is_consistent(bucket), "a parking queue broke on park");
        }
        while (self.parked.load(std::memory_order_acquire) != 0) {
            Sync::futex_wait(self.parked, 1);
        }
        return true;
    }

    // Unparks at most `limit` threads parked on `key`, oldest first. `callback` runs under the
    // bucket lock, after the queue was updated and before any thread is woken, so it can
    // publish lock-word changes that a concurrent parker's validate must see. Returns what it
    // passed to the callback.
    UnparkResult unpark(std::uintptr_t key, unsigned limit,
                        FunctionRef<void(UnparkResult)> callback) {
        Bucket& bucket = bucket_for(key);
        UnparkResult result;
        ThreadData* woken;
        {
            Guard guard(bucket.lock);
            woken = dequeue(bucket, key, limit, result);
            DURNEL_DEBUG_CHECK(queue_is_consistent(bucket), "a parking queue broke on unpark");
            callback(result);
        }
        wake(woken);
        return result;
    }

    // For tests: calls `visit(const ThreadData&)` for each thread queued on `key`, oldest
    // first. Takes no lock, so only a caller that knows nobody else runs may use it.
    template <typename Visit>
    void for_each_queued(std::uintptr_t key, Visit&& visit) const {
        for (const ThreadData* t = bucket_for(key).head; t != nullptr; t = t->next) {
            if (t->key == key) visit(*t);
        }
    }

    // 256 buckets: far more than the threads a process parks at once, so chains stay short; a
    // power of two so the bucket index is a multiply and a shift (Fibonacci hashing).
    static constexpr std::size_t kBucketBits = 8;
    static constexpr std::size_t bucket_index(std::uintptr_t key) noexcept {
        constexpr std::uint64_t kFibonacci = 0x9E3779B97F4A7C15ull;
        return (static_cast<std::uint64_t>(key) * kFibonacci) >> (64 - kBucketBits);
    }

private:
    using Guard = BasicWordLockGuard<BasicWordLock<Sync>>;

    struct alignas(64) Bucket {
        BasicWordLock<Sync> lock;
        ThreadData* head = nullptr;
        ThreadData* tail = nullptr;
    };

    Bucket& bucket_for(std::uintptr_t key) noexcept { return buckets_[bucket_index(key)]; }
    const Bucket& bucket_for(std::uintptr_t key) const noexcept {
        return buckets_[bucket_index(key)];
    }

    // Removes the queued threads parked on `key`, at most `limit` of them, oldest first, and
    // links them through `next` into the returned list. Sets `more` when some remain.
    static ThreadData* dequeue(Bucket& bucket, std::uintptr_t key, unsigned limit,
                               UnparkResult& result) {
        ThreadData* woken_head = nullptr;
        ThreadData** woken_tail = &woken_head;
        ThreadData* previous = nullptr;
        for (ThreadData* current = bucket.head; current != nullptr;) {
            ThreadData* next = current->next;
            if (current->key == key) {
                DURNEL_DEBUG_CHECK(current->parked.load(std::memory_order_relaxed) == 1,
                                   "a queued thread's parked word is not 1");
                if (result.unparked == limit) {
                    result.have_more_threads = true;
                    break;
                }
                (previous ? previous->next : bucket.head) = next;
                if (bucket.tail == current) bucket.tail = previous;
                current->next = nullptr;
                *woken_tail = current;
                woken_tail = &current->next;
                ++result.unparked;
            } else {
                previous = current;
            }
            current = next;
        }
        return woken_head;
    }

#if DURNEL_DEBUG_CHECKS
    // Every queued thread's key hashes to this bucket and its parked word is 1; `tail` is the
    // last of the chain from `head` (both null when it is empty), and the chain ends.
    bool queue_is_consistent(const Bucket& bucket) const {
        const auto index = static_cast<std::size_t>(&bucket - buckets_.data());
        const ThreadData* last = nullptr;
        std::size_t length = 0;
        for (const ThreadData* t = bucket.head; t != nullptr; t = t->next) {
            if (bucket_index(t->key) != index) return false;
            if (t->parked.load(std::memory_order_relaxed) != 1) return false;
            if (++length > kMaxQueueLength) return false;  // a cycle
            last = t;
        }
        return bucket.tail == last;
    }
    static constexpr std::size_t kMaxQueueLength = std::size_t{1} << 20;
#endif

    static void wake(ThreadData* list) noexcept {
        while (list != nullptr) {
            ThreadData* next = list->next;  // read before the owner may return and reuse it
            list->parked.store(0, std::memory_order_release);
            Sync::futex_wake_one(list->parked);
            list = next;
        }
    }

    std::array<Bucket, std::size_t{1} << kBucketBits> buckets_{};
};

// The parking operations a lock built on the seam calls: park<Sync>, unpark_one<Sync> and
// unpark_all<Sync>. Declared only; each Sync defines them over its own table (for NativeSync,
// the process-wide one in parking.cpp; a test seam, the table of its test).
template <typename Sync>
bool park(std::uintptr_t key, FunctionRef<bool()> validate);
// Unparks the oldest thread parked on `key`; see ParkingTable::unpark for `callback`.
template <typename Sync>
UnparkResult unpark_one(std::uintptr_t key, FunctionRef<void(UnparkResult)> callback);
// Unparks every thread parked on `key`; `callback` as for unpark_one.
template <typename Sync>
UnparkResult unpark_all(std::uintptr_t key, FunctionRef<void(UnparkResult)> callback);

template <>
bool park<NativeSync>(std::uintptr_t key, FunctionRef<bool()> validate);
template <>
UnparkResult unpark_one<NativeSync>(std::uintptr_t key, FunctionRef<void(UnparkResult)> callback);
template <>
UnparkResult unpark_all<NativeSync>(std::uintptr_t key, FunctionRef<void(UnparkResult)> callback);

}  // namespace durnel::parking
