// The parking table. Invariants, each held under the bucket's WordLock:
//   - a ThreadData is in at most one bucket queue, and only while its `parked` word is 1;
//   - a queued ThreadData's `key` hashes to the bucket that holds it;
//   - a thread leaves the queue only by being unparked (there are no timeouts), and its
//     `parked` word is cleared only after it left the queue.
// The sleeping thread waits for `parked` to become 0; the waker clears it with release order
// after dropping the bucket lock, so the woken thread sees every write the waker made before.
#include "parking.h"

#include <array>
#include <atomic>
#include <cstddef>

#include "futex.h"
#include "word_lock.h"

namespace durnel::parking {
namespace {

struct ThreadData {
    std::atomic<std::uint32_t> parked{0};
    std::uintptr_t key = 0;
    ThreadData* next = nullptr;
};

struct alignas(64) Bucket {
    WordLock lock;
    ThreadData* head = nullptr;
    ThreadData* tail = nullptr;
};

// 256 buckets: far more than the threads a process parks at once, so chains stay short; a
// power of two so the bucket index is a multiply and a shift (Fibonacci hashing).
constexpr std::size_t kBucketBits = 8;
std::array<Bucket, std::size_t{1} << kBucketBits> buckets;

Bucket& bucket_for(std::uintptr_t key) noexcept {
    constexpr std::uint64_t kFibonacci = 0x9E3779B97F4A7C15ull;
    return buckets[(static_cast<std::uint64_t>(key) * kFibonacci) >> (64 - kBucketBits)];
}

ThreadData& this_thread_data() noexcept {
    thread_local ThreadData data;
    return data;
}

// Removes the queued threads parked on `key`, at most `limit` of them, oldest first, and
// links them through `next` into the returned list. Sets `more` when some remain.
ThreadData* dequeue(Bucket& bucket, std::uintptr_t key, unsigned limit, UnparkResult& result) {
    ThreadData* woken_head = nullptr;
    ThreadData** woken_tail = &woken_head;
    ThreadData* previous = nullptr;
    for (ThreadData* current = bucket.head; current != nullptr;) {
        ThreadData* next = current->next;
        if (current->key == key) {
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

void wake(ThreadData* list) noexcept {
    while (list != nullptr) {
        ThreadData* next = list->next;  // read before the owner may return and reuse it
        list->parked.store(0, std::memory_order_release);
        futex::wake_one(list->parked);
        list = next;
    }
}

UnparkResult unpark(std::uintptr_t key, unsigned limit, FunctionRef<void(UnparkResult)> callback) {
    Bucket& bucket = bucket_for(key);
    UnparkResult result;
    ThreadData* woken;
    {
        WordLockGuard guard(bucket.lock);
        woken = dequeue(bucket, key, limit, result);
        callback(result);
    }
    wake(woken);
    return result;
}

}  // namespace

bool park(std::uintptr_t key, FunctionRef<bool()> validate) {
    ThreadData& self = this_thread_data();
    Bucket& bucket = bucket_for(key);
    {
        WordLockGuard guard(bucket.lock);
        if (!validate()) return false;
        self.key = key;
        self.next = nullptr;
        self.parked.store(1, std::memory_order_relaxed);
        (bucket.tail ? bucket.tail->next : bucket.head) = &self;
        bucket.tail = &self;
    }
    while (self.parked.load(std::memory_order_acquire) != 0) {
        futex::wait(self.parked, 1);
    }
    return true;
}

UnparkResult unpark_one(std::uintptr_t key, FunctionRef<void(UnparkResult)> callback) {
    return unpark(key, 1, callback);
}

UnparkResult unpark_all(std::uintptr_t key, FunctionRef<void(UnparkResult)> callback) {
    return unpark(key, ~0u, callback);
}

}  // namespace durnel::parking
