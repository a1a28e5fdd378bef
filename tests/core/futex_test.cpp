// The futex.h contract on whichever implementation this build has (Linux's futex, or the
// bucketed mutex and condition variable of other systems and DURNEL_PORTABLE builds): a wake
// that follows a change of the word is never lost, even with more sleepers than buckets.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "futex.h"

namespace durnel {
namespace {

// 72 threads sleep each on its own word, more than the emulation's 64 buckets, so some words
// must share one. Each round wakes them one at a time, waiting for each to run, in ascending
// order on odd rounds and descending on even ones: the thread woken is then the newest
// sleeper of its bucket, not the oldest, so a wake that reached only one sleeper of a bucket
// (the oldest, as condition variables tend to pick) strands it. A lost wake-up hangs the
// test, which ctest's time limit turns into a failure.
TEST(FutexConcurrency, WakesInEitherOrderOverSharedBucketsAreNeverLost) {
    constexpr std::size_t kThreads = 72;
    constexpr std::uint32_t kRounds = 40;
    std::vector<std::atomic<std::uint32_t>> released(kThreads);  // the last round allowed
    std::vector<std::uint32_t> rounds_run(kThreads, 0);
    std::atomic<std::size_t> runs{0};

    std::vector<std::thread> sleepers;
    for (std::size_t i = 0; i < kThreads; ++i) {
        sleepers.emplace_back([&, i] {
            for (std::uint32_t round = 1; round <= kRounds; ++round) {
                for (std::uint32_t seen;
                     (seen = released[i].load(std::memory_order_acquire)) < round;) {
                    futex::wait(released[i], seen);
                }
                ++rounds_run[i];
                runs.fetch_add(1, std::memory_order_release);
            }
        });
    }
    for (std::uint32_t round = 1; round <= kRounds; ++round) {
        for (std::size_t k = 0; k < kThreads; ++k) {
            const std::size_t i = round % 2 == 1 ? k : kThreads - 1 - k;
            released[i].store(round, std::memory_order_release);
            futex::wake_one(released[i]);
            const std::size_t expected_runs = (round - 1) * kThreads + k + 1;
            while (runs.load(std::memory_order_acquire) < expected_runs) std::this_thread::yield();
        }
    }
    for (auto& thread : sleepers) thread.join();

    for (std::size_t i = 0; i < kThreads; ++i) EXPECT_EQ(rounds_run[i], kRounds) << "thread " << i;
}

// A waiter whose word no longer holds the expected value returns at once.
TEST(Futex, WaitOnAChangedWordReturns) {
    std::atomic<std::uint32_t> word{1};
    futex::wait(word, 0);
    futex::wake_one(word);  // nobody asleep: nothing happens
    EXPECT_EQ(word.load(), 1u);
}

}  // namespace
}  // namespace durnel
