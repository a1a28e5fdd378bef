// ShardLock: the lock word at rest, and with real threads the hand-over rules (readers pass a
// waiting writer, an exclusive release wakes every waiting reader, the last reader out wakes
// the writer), exclusion, and a mixed stress that would hang on a lost wake-up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "shard_lock.h"
#include "test_support.h"

namespace durnel {
namespace {

using test_support::eventually;

bool bit_set(const ShardLock& lock, std::uint64_t bit) { return (lock.raw_word() & bit) != 0; }

TEST(ShardLock, UncontendedUseLeavesTheWordZero) {
    ShardLock lock;
    lock.lock();
    EXPECT_EQ(lock.raw_word(), ShardLock::kExclusive);
    lock.unlock();
    EXPECT_EQ(lock.raw_word(), 0u);

    lock.lock_shared();
    lock.lock_shared();
    lock.lock_shared();
    EXPECT_EQ(lock.raw_word(), 3 * ShardLock::kOneReader);
    for (int i = 0; i < 3; ++i) lock.unlock_shared();
    EXPECT_EQ(lock.raw_word(), 0u);
}

TEST(ShardLock, GuardsReleaseOnScopeExitAndAfterAMove) {
    ShardLock lock;
    {
        SharedGuard a(lock);
        SharedGuard b(std::move(a));  // the moved-from guard must not release a second time
        EXPECT_EQ(lock.raw_word(), ShardLock::kOneReader);
    }
    EXPECT_EQ(lock.raw_word(), 0u);
    {
        ExclusiveGuard a(lock);
        ExclusiveGuard b(std::move(a));
        b.release();
        EXPECT_EQ(lock.raw_word(), 0u);
    }  // neither destructor may unlock again
    EXPECT_EQ(lock.raw_word(), 0u);
}

TEST(ShardLockConcurrency, WaitingWriterLetsLaterReadersInAndGetsTheLockAfterTheLastLeaves) {
    ShardLock lock;
    lock.lock_shared();  // the first reader: this thread
    std::atomic<bool> writer_in{false};
    std::thread writer([&] {
        lock.lock();
        writer_in = true;
        lock.unlock();
    });
    ASSERT_TRUE(eventually([&] { return bit_set(lock, ShardLock::kWritersParked); }));

    std::atomic<bool> late_reader_in{false}, late_reader_may_leave{false};
    std::thread late_reader([&] {
        lock.lock_shared();
        late_reader_in = true;
        while (!late_reader_may_leave) std::this_thread::yield();
        lock.unlock_shared();
    });
    const bool late_reader_passed = eventually([&] { return late_reader_in.load(); });
    EXPECT_TRUE(late_reader_passed) << "a waiting writer held back a new reader";
    if (!late_reader_passed) {  // unblock everyone so the failure does not turn into a hang
        late_reader_may_leave = true;
        lock.unlock_shared();
        late_reader.join();
        writer.join();
        return;
    }
    EXPECT_FALSE(writer_in.load());

    late_reader_may_leave = true;
    late_reader.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(writer_in.load()) << "writer entered while a reader still held the lock";

    lock.unlock_shared();  // last reader out must wake the writer
    writer.join();
    EXPECT_TRUE(writer_in.load());
    EXPECT_EQ(lock.raw_word(), 0u);
}

TEST(ShardLockConcurrency, ExclusiveReleaseWakesEveryWaitingReaderBeforeTheWaitingWriter) {
    constexpr int kReaders = 4;
    ShardLock lock;
    lock.lock();
    std::atomic<int> readers_inside{0}, readers_done{0};
    std::atomic<bool> writer_in{false}, writer_saw_readers_done{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back([&] {
            lock.lock_shared();
            readers_inside.fetch_add(1);
            // Stay until every reader is in at once: only possible if all were woken.
            while (readers_inside.load() < kReaders) std::this_thread::yield();
            readers_done.fetch_add(1);
            lock.unlock_shared();
        });
    }
    ASSERT_TRUE(eventually([&] { return bit_set(lock, ShardLock::kReadersParked); }));
    std::thread writer([&] {
        lock.lock();
        writer_in = true;
        writer_saw_readers_done = readers_done.load() == kReaders;
        lock.unlock();
    });
    ASSERT_TRUE(eventually([&] { return bit_set(lock, ShardLock::kWritersParked); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let stragglers park
    EXPECT_EQ(readers_inside.load(), 0);

    lock.unlock();
    for (auto& t : readers) t.join();
    writer.join();
    EXPECT_EQ(readers_inside.load(), kReaders);
    EXPECT_TRUE(writer_in.load());
    EXPECT_TRUE(writer_saw_readers_done.load());
    EXPECT_EQ(lock.raw_word(), 0u);
}

TEST(ShardLockConcurrency, ExclusiveHolderExcludesReadersAndWriters) {
    ShardLock lock;
    lock.lock();
    std::atomic<bool> reader_in{false}, writer_in{false};
    std::thread reader([&] {
        SharedGuard g(lock);
        reader_in = true;
    });
    std::thread writer([&] {
        ExclusiveGuard g(lock);
        writer_in = true;
    });
    ASSERT_TRUE(eventually([&] {
        return bit_set(lock, ShardLock::kReadersParked) && bit_set(lock, ShardLock::kWritersParked);
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(reader_in.load());
    EXPECT_FALSE(writer_in.load());
    lock.unlock();
    reader.join();
    writer.join();
    EXPECT_TRUE(reader_in.load());
    EXPECT_TRUE(writer_in.load());
    EXPECT_EQ(lock.raw_word(), 0u);
}

// Eight threads for a second, one in four operations exclusive, some exclusive sections long
// enough that the others park. The protected data is plain memory: a writer updates two
// counters one after the other and a reader must never see them differ. A lost wake-up shows
// up as a hang (the test has a time limit).
TEST(ShardLockConcurrency, StressMixedSharedAndExclusiveEndsWithAFreeWord) {
    constexpr int kThreads = 8;
    ShardLock lock;
    std::uint64_t first = 0, second = 0;  // guarded by `lock`
    std::atomic<int> readers_inside{0}, writers_inside{0};
    std::atomic<int> violations{0};
    std::atomic<std::uint64_t> exclusive_ops{0};
    std::atomic<bool> go{false}, stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; !stop; ++i) {
                if ((i + t) % 4 == 0) {
                    lock.lock();
                    if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) ++violations;
                    ++first;
                    if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(20));
                    ++second;
                    writers_inside.fetch_sub(1);
                    lock.unlock();
                    exclusive_ops.fetch_add(1, std::memory_order_relaxed);
                } else {
                    lock.lock_shared();
                    readers_inside.fetch_add(1);
                    if (writers_inside.load() != 0 || first != second) ++violations;
                    if (i % 256 == 1) std::this_thread::sleep_for(std::chrono::microseconds(20));
                    readers_inside.fetch_sub(1);
                    lock.unlock_shared();
                }
            }
        });
    }
    go = true;
    bool saw_parked = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    while (std::chrono::steady_clock::now() < end) {
        saw_parked |= (lock.raw_word() & ShardLock::kParkedMask) != 0;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(violations.load(), 0);
    EXPECT_TRUE(saw_parked) << "the stress never made a thread park";
    EXPECT_EQ(first, exclusive_ops.load());
    EXPECT_EQ(second, first);
    EXPECT_EQ(lock.raw_word(), 0u);
}

}  // namespace
}  // namespace durnel
