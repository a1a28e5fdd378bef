// ShardLock: the lock word at rest, and with real threads the hand-over rules (readers pass a
// waiting writer, an exclusive release wakes every waiting reader, the last reader out wakes
// the writer), exclusion, and a mixed stress that would hang on a lost wake-up. Then the same
// rules under every interleaving of small scenarios (deterministic_schedule.h): the lock, the
// parking table and the bucket locks instantiated on the deterministic seam.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "deterministic_schedule.h"
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
                    if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0)
                        ++violations;
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

// ---- every interleaving ----

namespace sched = schedule;
using TestLock = BasicShardLock<sched::DetSync>;

// The world of a scenario, rebuilt before every run at one fixed address, so that two locks
// whose keys share a parking bucket can be picked once. `inside` counts the holders each lock
// has according to the threads' own bookkeeping, made between acquiring and releasing.
struct World {
    static constexpr int kLocks = 256;
    std::array<TestLock, kLocks> locks;
    struct Inside {
        int readers = 0, writers = 0;
    };
    std::array<Inside, kLocks> inside;
};
World& world() {
    static World instance;
    return instance;
}
void rebuild_world() {
    std::destroy_at(&world());
    std::construct_at(&world());
}

std::string thread_list(const std::vector<int>& threads) {
    std::string out;
    for (int t : threads) out += (out.empty() ? "T" : ", T") + std::to_string(t);
    return out;
}

// The threads queued on a key at one moment, with how often each had been dequeued then. Kept
// off the heap: a thread's run may be abandoned at any scheduling point, its stack unwound by
// nobody.
struct Parked {
    int count = 0;
    std::array<std::pair<int, unsigned>, sched::kMaxThreads> threads{};
    bool empty() const { return count == 0; }
};
Parked parked_now(std::uintptr_t key) {
    const sched::Explorer& e = sched::Explorer::current();
    Parked out;
    for (int t : e.queued_on(key)) out.threads[out.count++] = {t, e.dequeues(t)};
    return out;
}
// Those of `parked` that have not been dequeued since.
std::vector<int> still_parked(const Parked& parked) {
    std::vector<int> out;
    for (int i = 0; i < parked.count; ++i) {
        auto [t, dequeues] = parked.threads[i];
        if (sched::Explorer::current().dequeues(t) == dequeues) out.push_back(t);
    }
    return out;
}

// The bookkeeping step right after acquiring (mutual exclusion is checked here) and right
// before releasing. Both are scheduling points on the lock's counters.
void enter(int l, bool exclusive) {
    World::Inside& in = world().inside[l];
    sched::point({&in, sched::Access::kWrite, exclusive ? "enters exclusive" : "enters shared"});
    if (in.writers != 0 || (exclusive && in.readers != 0)) {
        sched::Explorer::current().fail(
            "mutual exclusion: entered " + std::string(exclusive ? "exclusive" : "shared") +
            " while " + std::to_string(in.writers) + " writer(s) and " +
            std::to_string(in.readers) + " reader(s) were inside lock " + std::to_string(l));
    }
    ++(exclusive ? in.writers : in.readers);
}
void leave(int l, bool exclusive) {
    World::Inside& in = world().inside[l];
    sched::point({&in, sched::Access::kWrite, "leaves"});
    --(exclusive ? in.writers : in.readers);
}

// An exclusive release must wake every reader parked when it began, and, when only writers
// were parked, a writer unless it woke readers after all (their last one hands over).
void release_exclusive(int l) {
    TestLock& lock = world().locks[l];
    sched::Explorer& e = sched::Explorer::current();
    const auto readers = parked_now(lock.reader_key());
    const auto writers = parked_now(lock.writer_key());
    const unsigned readers_dequeued = e.dequeued_from(lock.reader_key());
    lock.unlock();
    if (const auto left = still_parked(readers); !left.empty()) {
        e.fail("hand-over: an exclusive release of lock " + std::to_string(l) + " left reader(s) " +
               thread_list(left) + " parked");
    } else if (readers.empty() && !writers.empty() &&
               e.dequeued_from(lock.reader_key()) == readers_dequeued &&
               static_cast<int>(still_parked(writers).size()) == writers.count) {
        e.fail("hand-over: an exclusive release of lock " + std::to_string(l) + " with writer(s) " +
               thread_list(still_parked(writers)) + " parked woke nobody");
    }
}

// The last reader out (its release took the holders from one reader to none) must wake one
// of the writers parked when it began.
void release_shared(int l) {
    TestLock& lock = world().locks[l];
    sched::Explorer& e = sched::Explorer::current();
    const auto writers = parked_now(lock.writer_key());
    e.watch_rmw(reinterpret_cast<const void*>(lock.writer_key()));  // the key is the word
    lock.unlock_shared();
    const auto previous = e.watched_previous();
    const bool last = previous && (*previous & ~TestLock::kParkedMask) == TestLock::kOneReader;
    if (last && !writers.empty() &&
        static_cast<int>(still_parked(writers).size()) == writers.count) {
        e.fail("hand-over: the last reader out of lock " + std::to_string(l) + " left writer(s) " +
               thread_list(still_parked(writers)) + " parked");
    }
}

void exclusive_section(int l) {
    world().locks[l].lock();
    enter(l, true);
    leave(l, true);
    release_exclusive(l);
}
void shared_section(int l) {
    world().locks[l].lock_shared();
    enter(l, false);
    leave(l, false);
    release_shared(l);
}
// Held from the start, by nobody in particular (outside the threads, so no scheduling).
void hold_exclusive(int l) {
    world().locks[l].lock();
    ++world().inside[l].writers;
}
void hold_shared(int l) {
    world().locks[l].lock_shared();
    ++world().inside[l].readers;
}

// The scenario around `body`, with the explorer's checks for the locks in `used`: after
// every step, a parked thread's bit is set in its lock's word (the invariant the slow paths
// rely on); at the end, every word is back to zero.
sched::Scenario scenario(std::string name, int threads, std::vector<int> used,
                         std::function<void()> setup, std::function<void(int)> body) {
    sched::Scenario s;
    s.name = std::move(name);
    s.threads = threads;
    s.reset = [setup] {
        rebuild_world();
        setup();
    };
    s.body = std::move(body);
    s.keys = [used] {
        std::vector<std::uintptr_t> keys;
        for (int l : used) {
            keys.push_back(world().locks[l].reader_key());
            keys.push_back(world().locks[l].writer_key());
        }
        return keys;
    };
    s.check_state = [used] {
        const sched::Explorer& e = sched::Explorer::current();
        for (int l : used) {
            const TestLock& lock = world().locks[l];
            const std::uint64_t word = lock.raw_word();  // outside the threads: no scheduling
            const auto readers = e.queued_on(lock.reader_key());
            const auto writers = e.queued_on(lock.writer_key());
            if (!readers.empty() && (word & TestLock::kReadersParked) == 0) {
                return "parked bits: reader(s) " + thread_list(readers) + " parked on lock " +
                       std::to_string(l) + " but kReadersParked is clear";
            }
            if (!writers.empty() && (word & TestLock::kWritersParked) == 0) {
                return "parked bits: writer(s) " + thread_list(writers) + " parked on lock " +
                       std::to_string(l) + " but kWritersParked is clear";
            }
        }
        return std::string();
    };
    s.check_end = [used] {
        for (int l : used) {
            if (const std::uint64_t word = world().locks[l].raw_word(); word != 0) {
                char text[80];
                std::snprintf(text, sizeof text, "lock %d ends with word %llx, not 0", l,
                              static_cast<unsigned long long>(word));
                return std::string(text);
            }
        }
        return std::string();
    };
    s.names = [used] {
        std::map<const void*, std::string> names;
        for (int l : used) {
            names[reinterpret_cast<const void*>(world().locks[l].writer_key())] =
                "lock" + std::to_string(l) + ".word";
            names[&world().inside[l]] = "lock" + std::to_string(l) + ".inside";
        }
        return names;
    };
    return s;
}

// Two locks whose writer keys fall in the same parking bucket.
std::pair<int, int> locks_sharing_a_bucket() {
    for (int a = 0; a < World::kLocks; ++a) {
        for (int b = a + 1; b < World::kLocks; ++b) {
            if (sched::Table::bucket_index(world().locks[a].writer_key()) ==
                sched::Table::bucket_index(world().locks[b].writer_key())) {
                return {a, b};
            }
        }
    }
    return {-1, -1};
}

// Budgets: every interleaving for two threads (bounded only as a guard against a blow-up);
// DURNEL_SCHEDULES seeded random schedules for more threads, 10000 by default (a few seconds;
// make test-lock-deep raises it).
constexpr std::uint64_t kExhaustiveGuard = 2'000'000;
std::uint64_t random_schedules() {
    const char* text = std::getenv("DURNEL_SCHEDULES");
    if (text != nullptr) return std::strtoull(text, nullptr, 10);
#if defined(DURNEL_FIBERS_VALGRIND)
    if (RUNNING_ON_VALGRIND) return 300;  // some fifty times slower there
#endif
    return 10000;
}

void expect_every_interleaving_passes(const sched::Scenario& s) {
    sched::Explorer explorer(s);
    const sched::Result result = explorer.explore_all(kExhaustiveGuard);
    ASSERT_FALSE(result.failed) << result.report;
    ASSERT_TRUE(result.complete) << s.name << ": not exhausted after " << result.executions
                                 << " runs";
    std::printf("[ schedules ] %s: every interleaving passes (%llu runs)\n", s.name.c_str(),
                static_cast<unsigned long long>(result.executions));
}

void expect_random_schedules_pass(const sched::Scenario& s) {
    sched::Explorer explorer(s);
    const sched::Result result = explorer.explore_random(random_schedules(), 1);
    ASSERT_FALSE(result.failed) << result.report;
    std::printf("[ schedules ] %s: %llu random schedules pass\n", s.name.c_str(),
                static_cast<unsigned long long>(result.executions));
}

TEST(ShardLockSchedules, TwoWriters) {
    expect_every_interleaving_passes(
        scenario("two writers", 2, {0}, [] {}, [](int) { exclusive_section(0); }));
}

TEST(ShardLockSchedules, AWriterAndAReader) {
    expect_every_interleaving_passes(scenario(
        "a writer and a reader", 2, {0}, [] {},
        [](int t) { t == 0 ? exclusive_section(0) : shared_section(0); }));
}

// The release and the park hit the same bucket: the releaser unparks the very key the other
// thread is validating and queueing on.
TEST(ShardLockSchedules, ALastReaderReleaseRacingAWritersPark) {
    expect_every_interleaving_passes(scenario(
        "a last reader's release racing a writer's park", 2, {0}, [] { hold_shared(0); },
        [](int t) {
            if (t == 0) {
                leave(0, false);
                release_shared(0);
            } else {
                exclusive_section(0);
            }
        }));
}

TEST(ShardLockSchedules, AnExclusiveReleaseRacingAReadersPark) {
    expect_every_interleaving_passes(scenario(
        "an exclusive release racing a reader's park", 2, {0}, [] { hold_exclusive(0); },
        [](int t) {
            if (t == 0) {
                leave(0, true);
                release_exclusive(0);
            } else {
                shared_section(0);
            }
        }));
}

TEST(ShardLockSchedules, AWriterAndTwoReaders) {
    expect_random_schedules_pass(scenario(
        "a writer and two readers", 3, {0}, [] {},
        [](int t) { t == 0 ? exclusive_section(0) : shared_section(0); }));
}

// Two writers can be parked at once only here: the wake-up of one must leave the other's bit.
TEST(ShardLockSchedules, TwoWritersParkedBehindAReader) {
    expect_random_schedules_pass(scenario(
        "two writers parked behind a reader", 3, {0}, [] { hold_shared(0); },
        [](int t) {
            if (t == 0) {  // the reader holding the lock from the start
                leave(0, false);
                release_shared(0);
            } else {
                exclusive_section(0);
            }
        }));
}

TEST(ShardLockSchedules, ReadersParkedBehindAWriterWhileAnotherWriterArrives) {
    expect_random_schedules_pass(scenario(
        "readers parked behind a writer while another writer arrives", 4, {0},
        [] { hold_exclusive(0); },
        [](int t) {
            if (t == 0) {  // the writer holding the lock from the start
                leave(0, true);
                release_exclusive(0);
            } else if (t == 3) {
                exclusive_section(0);
            } else {
                shared_section(0);
            }
        }));
}

TEST(ShardLockSchedules, TwoLocksWhoseKeysShareAParkingBucket) {
    // Named copies rather than a structured binding: clang 14 cannot capture those.
    const auto sharing = locks_sharing_a_bucket();
    const int a = sharing.first;
    const int b = sharing.second;
    ASSERT_GE(a, 0) << "no two of " << World::kLocks << " locks share a bucket";
    expect_random_schedules_pass(scenario(
        "two locks whose keys share a parking bucket", 3, {a, b},
        [a, b] {
            hold_exclusive(a);
            hold_exclusive(b);
        },
        [a, b](int t) {
            if (t == 0) {  // releases both holds taken at the start
                leave(a, true);
                release_exclusive(a);
                leave(b, true);
                release_exclusive(b);
            } else {
                exclusive_section(t == 1 ? a : b);
            }
        }));
}

}  // namespace
}  // namespace durnel
