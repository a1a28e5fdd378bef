// The futex.h contract without a futex: what macOS, Windows and DURNEL_PORTABLE builds use.
//
// Words hash to a fixed table of buckets, each one mutex and one condition variable. A waiter
// tests the word under its bucket's mutex and sleeps on the condition variable, which releases
// the mutex atomically; a waker changes the word first and then takes the same mutex. So
// either the waiter's test already sees the new value, or the waiter is asleep before the
// waker looks: the wake-up cannot fall between the test and the sleep, as with the kernel's.
//
// Several words share a bucket, so a wake wakes every sleeper of the bucket (waking only one
// could pick the sleeper of another word and lose the wake-up); the others re-test their
// word and sleep again, a spurious wake-up that every caller already tolerates. Parking gives
// each thread its own word, so sharing is rare with 64 buckets.
//
// wake_one never reads the word, only its address: the woken thread may already have returned
// and freed it, as it may with a real futex.
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

#include "futex.h"

namespace durnel::futex {
namespace {

struct alignas(64) Bucket {
    std::mutex mutex;
    std::condition_variable sleepers;
    std::uint32_t sleeping = 0;  // guarded by mutex; lets a wake with nobody asleep skip notify
};

constexpr std::size_t kBucketBits = 6;
using BucketTable = std::array<Bucket, std::size_t{1} << kBucketBits>;

// Built on first use and never destroyed: a daemon thread may still sleep in a bucket while
// the process exits, and destroying a condition variable with a sleeper is undefined.
BucketTable& bucket_table() {
    alignas(BucketTable) static unsigned char storage[sizeof(BucketTable)];
    static BucketTable* const table = new (storage) BucketTable();
    return *table;
}

Bucket& bucket_for(const std::atomic<std::uint32_t>& word) {
    constexpr std::uint64_t kFibonacci = 0x9E3779B97F4A7C15ull;
    const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&word));
    return bucket_table()[(address * kFibonacci) >> (64 - kBucketBits)];
}

}  // namespace

void wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    Bucket& bucket = bucket_for(word);
    std::unique_lock<std::mutex> lock(bucket.mutex);
    if (word.load(std::memory_order_acquire) != expected) return;
    ++bucket.sleeping;
    bucket.sleepers.wait(lock);  // one sleep at most: the caller re-tests in its loop
    --bucket.sleeping;
}

void wake_one(std::atomic<std::uint32_t>& word) noexcept {
    Bucket& bucket = bucket_for(word);
    {
        std::lock_guard<std::mutex> lock(bucket.mutex);
        if (bucket.sleeping == 0) return;
    }
    bucket.sleepers.notify_all();
}

}  // namespace durnel::futex
