// take_snapshot: what it copies (sorted rows, lease stamps, non-empty mailboxes, the newest
// events of a log spread over many seconds, a clock set back), and that it waits for a writer
// holding a shard it reads, and runs beside writers on other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "snapshot.h"
#include "test_support.h"

namespace durnel {
namespace {

using test_support::log_lines;

class SnapshotTest : public test_support::ClockedTest {};

// The line log_lines gives for the same event, with the second it was logged in.
std::string line_of(UnixSeconds second, const EventRow& e) {
    ActivityEvent event = BroadcastSent{e.from_agent, e.content, e.at};
    if (e.kind == EventKind::Claimed) event = Claimed{e.agent, e.resource, e.at};
    if (e.kind == EventKind::Released) event = Released{e.agent, e.resource, e.at};
    if (e.kind == EventKind::MessageSent)
        event = MessageSent{e.from_agent, e.to_agent, e.content, e.at};
    return std::to_string(second) + ": " + test_support::describe(event);
}

TEST_F(SnapshotTest, CopiesEveryTableSortedWithLeaseStampsAndNonEmptyMailboxes) {
    CoordinationState state;
    claim_file(state, "bo", "f");
    claim_task(state, "ana", "t");
    send_message(state, "bo", "cy", "one");
    at(1100);
    renew_claim(state, "ana", "task:t");
    broadcast(state, "dee", "all");
    drain_inbox(state, "cy");
    at(1200);
    const StateSnapshot shot = take_snapshot(state, 2);
    EXPECT_EQ(shot.now, 1200u);
    std::vector<std::string> agents;
    for (const AgentRow& a : shot.agents)
        agents.push_back(a.agent + " " + std::string(status_name(a.status)));
    EXPECT_EQ(agents, (std::vector<std::string>{"ana busy", "bo busy", "cy idle", "dee idle"}));
    ASSERT_EQ(shot.claims.size(), 2u);
    EXPECT_EQ(shot.claims[0].resource + " " + shot.claims[0].holder, "file:f bo");
    EXPECT_EQ(shot.claims[0].stamp, 1000u);
    EXPECT_EQ(shot.claims[1].stamp, 1100u);  // renewed: the lease runs from there
    std::vector<std::string> boxes;
    for (const MailboxRow& m : shot.mailboxes) {
        boxes.push_back(m.agent + " " + std::to_string(m.length) + " " +
                        std::to_string(m.oldest_sent_at));
    }
    EXPECT_EQ(boxes, (std::vector<std::string>{"ana 1 1100", "bo 1 1100", "dee 1 1100"}));
    EXPECT_EQ(shot.log_length, 4u);
    ASSERT_EQ(shot.log.size(), 2u);
    EXPECT_EQ(line_of(1000, shot.log[0]), "1000: MessageSent bo->cy 'one' @1000");
    EXPECT_EQ(line_of(1100, shot.log[1]), "1100: BroadcastSent dee 'all' @1100");
}

TEST_F(SnapshotTest, AClockBeforeTheEpochPanicsWithEveryGuardReleased) {
    CoordinationState state;
    claim_task(state, "a", "t");
    test_support::fail_clock_on_read(1);
    EXPECT_EQ(test_support::panic_message([&] { take_snapshot(state, 5); }).substr(0, 30),
              "system clock before unix epoch");
    test_support::heal_clock();
    EXPECT_TRUE(std::holds_alternative<Done>(release(state, "a", "task:t")));  // shards free
}

TEST_F(SnapshotTest, TheLogTailIsTheNewestEventsBySecondWhateverOrderTheShardsGiveThem) {
    CoordinationState state;
    for (int second = 0; second < 40; ++second) {
        at(2000 + second * (second % 2 == 0 ? 1 : -1));  // seconds logged out of order
        for (int n = 0; n < 3; ++n) claim_task(state, "a", std::to_string(second * 3 + n));
    }
    const std::vector<std::string> all = log_lines(state);
    for (std::size_t tail : {0, 1, 2, 3, 4, 7, 119, 120, 500}) {
        const StateSnapshot shot = take_snapshot(state, tail);
        EXPECT_EQ(shot.log_length, all.size());
        ASSERT_EQ(shot.log.size(), std::min(tail, all.size())) << "tail " << tail;
        for (std::size_t i = 0; i < shot.log.size(); ++i) {
            const std::string& expected = all[all.size() - shot.log.size() + i];
            const UnixSeconds second = std::stoull(expected.substr(0, expected.find(':')));
            EXPECT_EQ(line_of(second, shot.log[i]), expected) << "tail " << tail << " #" << i;
        }
    }
}

TEST(SnapshotConcurrency, WaitsForAWriterHoldingAShardAndSeesWhatItWrote) {
    CoordinationState state;
    register_agent(state, "x");
    std::atomic<bool> done{false};
    std::thread reader;
    {
        auto held = std::get<StatusMap::Occupied>(state.statuses->entry(std::string_view("x")));
        reader = std::thread([&] {
            const StateSnapshot shot = take_snapshot(state, 0);
            EXPECT_EQ(shot.agents.at(0).status, AgentStatus::Error);
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // long past spinning: parked
        EXPECT_FALSE(done);
        held.value().status = AgentStatus::Error;
    }
    reader.join();
    EXPECT_TRUE(done);
}

TEST(SnapshotConcurrency, RunsBesideWritersAndSeesEachMailboxAndTheLogOnlyGrow) {
    CoordinationState state;
    constexpr int kAgents = 200, kRounds = 1000;
    for (int a = 0; a <= kAgents; ++a) {  // every mailbox holds a message from the start
        send_message(state, "setup", a == kAgents ? "caster" : "agent-" + std::to_string(a), "");
    }
    std::atomic<int> writing{3};
    auto writer = [&](int me) {
        for (int round = 0; round < kRounds; ++round) {
            if (me == 0) broadcast(state, "caster", std::to_string(round));
            const std::string agent = "w" + std::to_string(me), task = std::to_string(round % 5);
            static_cast<void>(claim_task(state, agent, task));  // held by another writer: refused
            static_cast<void>(release(state, agent, "task:" + task));
        }
        --writing;
    };
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) writers.emplace_back(writer, w);
    std::map<std::string, std::size_t> lengths;  // what the last snapshot saw
    std::uint64_t log_length = 0;
    int taken = 0, shrunk = 0;
    while (writing > 0 || taken < 10) {
        const StateSnapshot shot = take_snapshot(state, 5);
        shrunk += shot.log_length < log_length || shot.mailboxes.size() < lengths.size();
        log_length = shot.log_length;
        for (const MailboxRow& m : shot.mailboxes) {
            shrunk += m.length < lengths[m.agent];
            lengths[m.agent] = m.length;
        }
        ++taken;
    }
    for (auto& w : writers) w.join();
    EXPECT_EQ(shrunk, 0);
    const StateSnapshot after = take_snapshot(state, 0);
    for (const MailboxRow& m : after.mailboxes) {
        if (m.agent[0] != 'w') {  // the writers' own mailboxes start later
            EXPECT_EQ(m.length, kRounds + 1u) << m.agent;
        }
    }
}

}  // namespace
}  // namespace durnel
