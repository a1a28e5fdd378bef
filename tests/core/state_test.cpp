// Coordination state: statuses, the activity log, the claim registry with its leases and
// takeovers, what a refused call or a failing clock leaves behind, and a takeover race.
// Time comes from the settable test clock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "state.h"
#include "test_support.h"

namespace durnel {
namespace {

using test_support::claim_text;
using test_support::claims_dump;
using test_support::holder_of;
using test_support::is_failure;
using test_support::log_lines;
using test_support::panic_message;
using test_support::statuses_dump;
using test_support::stored_claim;

class StateTest : public test_support::ClockedTest {
protected:
    CoordinationState state;

    struct Snapshot {
        std::map<std::string, std::string> claims;
        std::map<std::string, AgentStatus> statuses;
        std::vector<std::string> log;
        bool operator==(const Snapshot&) const = default;
    };
    Snapshot snapshot() const {
        return {claims_dump(state), statuses_dump(state), log_lines(state)};
    }
};

// ---- statuses ----

TEST_F(StateTest, UnknownAgentReadsIdleWithoutGettingAnEntry) {
    EXPECT_EQ(status(state, "nobody"), AgentStatus::Idle);
    EXPECT_EQ(status(state, ""), AgentStatus::Idle);
    EXPECT_TRUE(statuses_dump(state).empty());
    EXPECT_EQ(state.claim_ttl, 300u);
    EXPECT_EQ(state.claim_grace, 0u);
}

TEST_F(StateTest, SetReplacesAndRegisterKeepsAnExistingStatus) {
    set_status(state, "a", AgentStatus::Busy);
    register_agent(state, "a");
    EXPECT_EQ(status(state, "a"), AgentStatus::Busy);
    set_status(state, "a", AgentStatus::Error);
    EXPECT_EQ(status(state, "a"), AgentStatus::Error);
    register_agent(state, "b");
    EXPECT_EQ(statuses_dump(state), (std::map<std::string, AgentStatus>{{"a", AgentStatus::Error},
                                                                        {"b", AgentStatus::Idle}}));
}

// ---- activity log ----

TEST_F(StateTest, LogKeepsAppendOrderWithinASecondAndBucketsByTheAppendsOwnReading) {
    append_activity(state, Claimed{"a", "file:x", 100});
    append_activity(state, Released{"a", "file:x", 100});
    for (int i = 0; i < 6; ++i) append_activity(state, BroadcastSent{"a", std::to_string(i), 100});
    at(1001);
    // An event stamped in one second and appended in the next sits in the later bucket.
    append_activity(state, MessageSent{"a", "b", "late", 1000});
    const std::vector<std::string> expected = {
        "1000: Claimed a file:x @100",         "1000: Released a file:x @100",
        "1000: BroadcastSent a '0' @100",      "1000: BroadcastSent a '1' @100",
        "1000: BroadcastSent a '2' @100",      "1000: BroadcastSent a '3' @100",
        "1000: BroadcastSent a '4' @100",      "1000: BroadcastSent a '5' @100",
        "1001: MessageSent a->b 'late' @1000",
    };
    EXPECT_EQ(log_lines(state), expected);
}

// ---- claims ----

TEST_F(StateTest, ClaimLeaseTakeoverRenewAndReleaseWorkedSequence) {
    const std::string key = "file:notes/plan.txt";
    EXPECT_EQ(holder_of(claim_file(state, "A", "notes/plan.txt")), "A");
    EXPECT_EQ(claims_dump(state),
              (std::map<std::string, std::string>{{key, "File notes/plan.txt by A 1000/1000"}}));
    EXPECT_EQ(status(state, "A"), AgentStatus::Busy);
    EXPECT_EQ(log_lines(state), std::vector<std::string>{"1000: Claimed A " + key + " @1000"});

    const std::string refusal = "failure: A already holds claim on notes/plan.txt";
    for (auto [t, who] : {std::pair{1010, "B"}, {1020, "A"}, {1299, "B"}}) {
        at(t);
        EXPECT_EQ(holder_of(claim_file(state, who, "notes/plan.txt")), refusal) << t;
    }
    EXPECT_EQ(log_lines(state).size(), 1u);

    at(1300);
    EXPECT_EQ(holder_of(claim_file(state, "B", "notes/plan.txt")), "B");
    EXPECT_EQ(claim_text(state, key), "File notes/plan.txt by B 1300/1300");
    EXPECT_EQ(status(state, "B"), AgentStatus::Busy);
    EXPECT_EQ(status(state, "A"), AgentStatus::Busy);
    EXPECT_EQ(log_lines(state), (std::vector<std::string>{"1000: Claimed A " + key + " @1000",
                                                          "1300: Claimed B " + key + " @1300",
                                                          "1300: Released A " + key + " @1300"}));

    EXPECT_TRUE(is_failure(renew_claim(state, "A", key), "A cannot renew a claim held by B"));
    EXPECT_TRUE(is_failure(release(state, "A", key), "A cannot release a claim held by B"));

    at(1500);
    EXPECT_EQ(holder_of(renew_claim(state, "B", key)), "B");
    EXPECT_EQ(claim_text(state, key), "File notes/plan.txt by B 1500/1500");
    at(1799);
    EXPECT_EQ(holder_of(claim_file(state, "B", "notes/plan.txt")),
              "failure: B already holds claim on notes/plan.txt");
    at(1800);
    EXPECT_EQ(holder_of(claim_file(state, "B", "notes/plan.txt")), "B");  // own lapsed claim
    EXPECT_EQ(log_lines(state).back(), "1800: Released B " + key + " @1800");

    EXPECT_TRUE(std::holds_alternative<Done>(release(state, "B", key)));
    EXPECT_FALSE(stored_claim(state, key).has_value());
    EXPECT_EQ(status(state, "B"), AgentStatus::Idle);
    EXPECT_EQ(log_lines(state).back(), "1800: Released B " + key + " @1800");
    EXPECT_EQ(log_lines(state).size(), 6u);

    EXPECT_TRUE(is_failure(release(state, "B", key), "no claim found for B"));
    EXPECT_TRUE(is_failure(renew_claim(state, "B", key), "no claim on " + key + " to renew"));
}

TEST_F(StateTest, TaskClaimsAreSeparateFromFileClaimsAndReleaseIdlesTheAgent) {
    EXPECT_EQ(holder_of(claim_task(state, "A", "x")), "A");
    EXPECT_EQ(holder_of(claim_file(state, "A", "x")), "A");
    EXPECT_EQ(holder_of(claim_task(state, "B", "x")), "failure: A already holds claim on task x");
    EXPECT_EQ(claim_text(state, "task:x"), "Task x by A 1000/1000");
    EXPECT_TRUE(std::holds_alternative<Done>(release(state, "A", "task:x")));
    EXPECT_EQ(status(state, "A"), AgentStatus::Idle);  // although file:x is still held
    EXPECT_TRUE(stored_claim(state, "file:x").has_value());
    EXPECT_EQ(holder_of(claim_file(state, "", "")), "");
    EXPECT_TRUE(stored_claim(state, "file:").has_value());
}

// Reads 5000 once, then 5001: the two stamps of one claim straddle a second.
std::atomic<int> stepping_reads{0};
void stepping_clock(timespec* out) {
    out->tv_sec = stepping_reads.fetch_add(1) == 0 ? 5000 : 5001;
    out->tv_nsec = 0;
}

TEST_F(StateTest, LeaseRunsFromTheLaterStampAndABackwardClockMakesAClaimYoung) {
    stepping_reads = 0;
    set_clock_source_for_testing(&stepping_clock);
    EXPECT_EQ(holder_of(claim_file(state, "A", "f")), "A");
    set_clock_source_for_testing(&test_support::fake_clock);
    EXPECT_EQ(claim_text(state, "file:f"), "File f by A 5000/5001");
    at(5300);
    EXPECT_EQ(holder_of(claim_file(state, "B", "f")), "failure: A already holds claim on f");
    at(100);  // earlier than both stamps: age 0, still held
    EXPECT_EQ(holder_of(claim_file(state, "B", "f")), "failure: A already holds claim on f");
    at(5301);
    EXPECT_EQ(holder_of(claim_file(state, "B", "f")), "B");
}

TEST_F(StateTest, RefusedCallsChangeNoTable) {
    claim_file(state, "A", "f");
    send_message(state, "x", "y", "hi");
    const Snapshot before = snapshot();
    at(1100);
    EXPECT_FALSE(std::holds_alternative<Holder>(claim_file(state, "B", "f")));
    EXPECT_FALSE(std::holds_alternative<Holder>(claim_file(state, "A", "f")));
    EXPECT_TRUE(is_failure(renew_claim(state, "B", "file:f"), "B cannot renew a claim held by A"));
    EXPECT_TRUE(is_failure(release(state, "B", "file:f"), "B cannot release a claim held by A"));
    EXPECT_TRUE(is_failure(renew_claim(state, "A", "f"), "no claim on f to renew"));
    EXPECT_TRUE(is_failure(release(state, "A", "task:f"), "no claim found for A"));
    EXPECT_TRUE(snapshot() == before);
    // A successful renew changes the stamps only: no status, no event.
    EXPECT_EQ(holder_of(renew_claim(state, "A", "file:f")), "A");
    Snapshot after = snapshot();
    EXPECT_EQ(after.claims["file:f"], "File f by A 1100/1100");
    after.claims = before.claims;
    EXPECT_TRUE(after == before);
    // Keys and messages longer than what is kept inline (240 and 160 bytes) come out whole.
    const std::string agent(200, 'a'), path(300, 'p');
    EXPECT_EQ(holder_of(claim_file(state, agent, path)), agent);
    EXPECT_TRUE(
        is_failure(claim_file(state, "B", path), agent + " already holds claim on " + path));
    EXPECT_TRUE(is_failure(release(state, "B", "file:" + path),
                           "B cannot release a claim held by " + agent));
}

// ---- clock failures ----

TEST_F(StateTest, ClockFailureBeforeAnyChangeLeavesEverythingAsItWas) {
    const Snapshot before = snapshot();
    test_support::fail_clock_on_read(1);
    EXPECT_NE(panic_message([&] { claim_file(state, "A", "f"); }), "<no panic>");
    EXPECT_NE(panic_message([&] { send_message(state, "A", "B", "m"); }), "<no panic>");
    test_support::heal_clock();
    EXPECT_TRUE(snapshot() == before);
}

TEST_F(StateTest, ClockFailureAtTheEventOfAFreshClaimKeepsClaimAndStatusAndFreesTheShard) {
    test_support::fail_clock_on_read(3);  // two stamps, then the event's reading
    EXPECT_EQ(panic_message([&] { claim_file(state, "A", "f"); }),
              "system clock before unix epoch: SystemTimeError(1s)");
    test_support::heal_clock();
    EXPECT_EQ(test_support::lock_word_of(*state.claims, std::string_view("file:f")), 0u);
    EXPECT_EQ(claim_text(state, "file:f"), "File f by A 1000/1000");
    EXPECT_EQ(status(state, "A"), AgentStatus::Busy);
    EXPECT_TRUE(log_lines(state).empty());
    EXPECT_EQ(holder_of(claim_file(state, "B", "f")), "failure: A already holds claim on f");
}

TEST_F(StateTest, ClockFailureInsideATakeoverReleasesTheHeldClaimsShard) {
    claim_file(state, "A", "f");
    at(1300);
    // Reads: two stamps, the lapse test, the Claimed event's `at`, its bucket, then the
    // Released event's `at`: fail there, with the new holder and its first event in place.
    test_support::fail_clock_on_read(6);
    EXPECT_NE(panic_message([&] { claim_file(state, "B", "f"); }), "<no panic>");
    test_support::heal_clock();
    EXPECT_EQ(test_support::lock_word_of(*state.claims, std::string_view("file:f")), 0u);
    EXPECT_EQ(claim_text(state, "file:f"), "File f by B 1300/1300");
    EXPECT_EQ(status(state, "B"), AgentStatus::Busy);
    EXPECT_EQ(log_lines(state), (std::vector<std::string>{"1000: Claimed A file:f @1000",
                                                          "1300: Claimed B file:f @1300"}));
    // The shard can be entered again by the same key right away.
    EXPECT_EQ(holder_of(renew_claim(state, "B", "file:f")), "B");
}

TEST_F(StateTest, ClockFailureAfterAReleaseRemovedTheClaimKeepsTheRemovalAndIdleStatus) {
    claim_file(state, "A", "f");
    test_support::fail_clock_on_read(1);
    EXPECT_NE(panic_message([&] { release(state, "A", "file:f"); }), "<no panic>");
    test_support::heal_clock();
    EXPECT_FALSE(stored_claim(state, "file:f").has_value());
    EXPECT_EQ(status(state, "A"), AgentStatus::Idle);
    EXPECT_EQ(log_lines(state).size(), 1u);
    EXPECT_EQ(holder_of(claim_file(state, "A", "f")), "A");
}

TEST_F(StateTest, ClockFailureBetweenTheTwoRenewReadingsLeavesTheStoredClaimUntouched) {
    claim_file(state, "A", "f");
    at(1200);
    test_support::fail_clock_on_read(2);  // the first renew reading succeeds, the second fails
    EXPECT_NE(panic_message([&] { renew_claim(state, "A", "file:f"); }), "<no panic>");
    test_support::heal_clock();
    // Both stamps are taken before the stored claim is written: a half renewal (one new
    // stamp) would extend the lease through a call that failed.
    EXPECT_EQ(claim_text(state, "file:f"), "File f by A 1000/1000");
    at(1300);
    EXPECT_EQ(holder_of(claim_file(state, "B", "f")), "B");
}

// ---- concurrency ----

// Two threads race to take over the same 300 lapsed claims from opposite ends while a third
// reads statuses. Each key must end with exactly one new holder, and the log must hold one
// Claimed of the winner followed by one Released of the old holder per key.
class ClaimConcurrency : public StateTest {};

TEST_F(ClaimConcurrency, RacingTakeoversHaveOneWinnerPerKeyAndNoDeadlock) {
    constexpr int kKeys = 300;
    for (int i = 0; i < kKeys; ++i) claim_file(state, "old", "k" + std::to_string(i));
    at(1300);
    std::atomic<int> wins[2] = {0, 0};
    std::atomic<bool> done{false};
    std::atomic<int> bad_status{0};
    auto racer = [&](int who) {
        const std::string agent = who == 0 ? "B" : "C";
        for (int n = 0; n < kKeys; ++n) {
            const int i = who == 0 ? n : kKeys - 1 - n;
            auto outcome = claim_file(state, agent, "k" + std::to_string(i));
            if (std::holds_alternative<Holder>(outcome)) ++wins[who];
            claim_task(state, agent, "own-" + std::to_string(i));  // statuses/log traffic
        }
    };
    std::thread reader([&] {
        while (!done) {
            for (const char* a : {"old", "B", "C"}) {
                const AgentStatus s = status(state, a);
                if (s != AgentStatus::Busy && s != AgentStatus::Idle) ++bad_status;
            }
            // Readers are never held back by waiting writers, so a reader that never pauses
            // can keep the racers' status writes out for as long as it runs: under valgrind,
            // which runs one thread at a time, that was for ever.
            std::this_thread::yield();
        }
    });
    std::thread b(racer, 0), c(racer, 1);
    b.join();
    c.join();
    done = true;
    reader.join();

    EXPECT_EQ(wins[0] + wins[1], kKeys);
    EXPECT_EQ(bad_status.load(), 0);
    const std::vector<std::string> log = log_lines(state);
    for (int i = 0; i < kKeys; ++i) {
        const std::string k = "file:k" + std::to_string(i);
        const std::optional<Claim> stored = stored_claim(state, k);
        ASSERT_TRUE(stored && (stored->holder == "B" || stored->holder == "C")) << k;
        const Claim& c = *stored;
        std::vector<std::string> lines;
        for (const std::string& line : log) {
            if (line.find(" " + k + " ") != std::string::npos) lines.push_back(line);
        }
        ASSERT_EQ(lines, (std::vector<std::string>{"1000: Claimed old " + k + " @1000",
                                                   "1300: Claimed " + c.holder + " " + k + " @1300",
                                                   "1300: Released old " + k + " @1300"}));
    }
}

}  // namespace
}  // namespace durnel
