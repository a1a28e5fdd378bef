// The debug checks of a checked core (DURNEL_DEBUG_CHECKS=1, built for this binary alone): a
// thread that asks for a shard lock it already holds dies with a message instead of hanging,
// a broken parking queue is caught when a thread parks or is unparked, and every operation of
// the state, a takeover's three nested guards included, runs clean under the checks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <variant>

#include "parking.h"
#include "shard_lock.h"
#include "state.h"
#include "test_support.h"

static_assert(DURNEL_DEBUG_CHECKS, "this binary tests the checked core");

namespace durnel {
namespace {

constexpr const char* kReentered = "takes a shard lock it already holds";

class DebugChecks : public test_support::ClockedTest {
protected:
    void SetUp() override {
        // Threads run in these tests, so the child re-executes itself, unless the run says
        // otherwise: under qemu-user without binfmt it cannot, and forks ("fast") instead.
        if (std::getenv("GTEST_DEATH_TEST_STYLE") == nullptr) {
            GTEST_FLAG_SET(death_test_style, "threadsafe");
        }
        ClockedTest::SetUp();
    }
};

TEST_F(DebugChecks, TakingAHeldShardLockAgainAbortsInEitherMode) {
    ShardLock lock;
    EXPECT_DEATH(
        {
            ExclusiveGuard first(lock);
            ExclusiveGuard again(lock);
        },
        kReentered);
    EXPECT_DEATH(
        {
            ExclusiveGuard first(lock);
            SharedGuard again(lock);
        },
        kReentered);
    EXPECT_DEATH(
        {
            SharedGuard first(lock);
            ExclusiveGuard again(lock);
        },
        kReentered);
    EXPECT_DEATH(
        {
            SharedGuard first(lock);
            SharedGuard moved(std::move(first));
            SharedGuard again(lock);
        },
        kReentered);
}

TEST_F(DebugChecks, ReleasedAndOtherLocksMayBeTaken) {
    ShardLock a, b;
    {
        ExclusiveGuard first(a);
        SharedGuard other(b);
        first.release();
        SharedGuard again(a);
    }
    ExclusiveGuard a_again(a);
    ExclusiveGuard b_again(b);
    EXPECT_EQ(a.raw_word(), ShardLock::kExclusive);
}

TEST_F(DebugChecks, EveryStateOperationRunsCleanUnderTheChecks) {
    using test_support::holder_of;
    CoordinationState state;
    EXPECT_EQ(holder_of(claim_file(state, "ana", "a.md")), "ana");
    EXPECT_TRUE(test_support::is_failure(claim_file(state, "bo", "a.md"),
                                         "ana already holds claim on a.md"));
    at(1000 + 300);  // lapsed: bo's claim is a takeover, under claims, statuses and activity
    EXPECT_EQ(holder_of(claim_file(state, "bo", "a.md")), "bo");
    EXPECT_EQ(holder_of(renew_claim(state, "bo", "file:a.md")), "bo");
    send_message(state, "bo", "ana", "mine now");
    broadcast(state, "ana", "fine");
    EXPECT_EQ(inbox(state, "ana").size(), 2u);
    EXPECT_EQ(drain_inbox(state, "bo").size(), 1u);
    EXPECT_TRUE(std::holds_alternative<Done>(release(state, "bo", "file:a.md")));
    EXPECT_EQ(status(state, "bo"), AgentStatus::Idle);
}

using Table = parking::ParkingTable<NativeSync>;

TEST_F(DebugChecks, ParkingWhileStillQueuedAborts) {
    EXPECT_DEATH(
        {
            auto table = std::make_unique<Table>();
            Table::ThreadData self;
            self.parked.store(1);  // as if queued already
            table->park(self, 8, [] { return true; });
        },
        "parks while it is still queued");
}

TEST_F(DebugChecks, UnparkCatchesAQueuedThreadInTheWrongBucket) {
    EXPECT_DEATH(
        {
            auto table = std::make_unique<Table>();
            Table::ThreadData sleeper;
            std::thread parker([&] { table->park(sleeper, 8, [] { return true; }); });
            bool queued = false;
            while (!queued) {
                table->for_each_queued(8, [&](const Table::ThreadData&) { queued = true; });
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::uintptr_t elsewhere = 9;
            while (Table::bucket_index(elsewhere) == Table::bucket_index(8)) ++elsewhere;
            sleeper.key = elsewhere;  // the queue now holds a key that is not this bucket's
            table->unpark(8, 1, [](parking::UnparkResult) {});
            parker.detach();
        },
        "a parking queue broke on unpark");
}

}  // namespace
}  // namespace durnel
