// Mailboxes: the MessageQueue ring buffer (order, capacity, wrap-around against a model
// deque) and the state's send, broadcast, inbox, drain and restore operations.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

#include "message_queue.h"
#include "state.h"
#include "test_support.h"

namespace durnel {
namespace {

using test_support::log_lines;
using test_support::statuses_dump;

Message msg(const std::string& content) { return Message::make("s", "r", content, 7); }

std::vector<std::string> contents(const std::vector<Message>& messages) {
    std::vector<std::string> out;
    for (const Message& m : messages) out.push_back(std::string(m.content()));
    return out;
}

using Texts = std::vector<std::string>;

TEST(MessageQueue, FifoOrderAndCapacityStartingAtFourAndDoubling) {
    MessageQueue q;
    EXPECT_EQ(q.capacity(), 0u);
    q.push_back(msg("a"));
    EXPECT_EQ(q.capacity(), 4u);
    for (const char* c : {"b", "c", "d", "e"}) q.push_back(msg(c));
    EXPECT_EQ(q.capacity(), 8u);
    EXPECT_EQ(contents(q.copy_all()), (Texts{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(q.size(), 5u);  // copy_all leaves the messages
    EXPECT_EQ(contents(q.drain()), (Texts{"a", "b", "c", "d", "e"}));
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.capacity(), 8u);  // drain keeps the buffer
    EXPECT_TRUE(q.drain().empty());
}

TEST(MessageQueue, RestoredMessagesWrapAroundTheBufferAndSurviveGrowth) {
    MessageQueue q;
    q.push_back(msg("a"));
    q.push_back(msg("b"));
    std::vector<Message> drained = q.drain();
    q.push_back(msg("c"));                 // at slot 0
    q.push_front_all(std::move(drained));  // a and b wrap to slots 2 and 3
    EXPECT_EQ(q.capacity(), 4u);
    q.push_back(msg("d"));  // full now, with the oldest message in the middle of the buffer
    EXPECT_EQ(contents(q.copy_all()), (Texts{"a", "b", "c", "d"}));
    q.push_back(msg("e"));  // grows while wrapped
    EXPECT_EQ(contents(q.drain()), (Texts{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(q.capacity(), 8u);
}

// Random pushes, drains, restores of a drained prefix and moves, checked step by step against
// a deque; small sizes so the head goes round the buffer many times.
TEST(MessageQueue, InterleavedOperationsMatchAModelDeque) {
    std::mt19937 rng(12345);
    MessageQueue q;
    std::deque<std::string> model;
    int next = 0;
    for (int step = 0; step < 5000; ++step) {
        const unsigned op = rng() % 10;
        if (op < 6) {
            q.push_back(msg(std::to_string(next)));
            model.push_back(std::to_string(next++));
        } else if (op < 8) {
            std::vector<Message> all = q.drain();
            ASSERT_EQ(contents(all), Texts(model.begin(), model.end())) << step;
            model.clear();
            // Put a prefix back in front, as a failed hand-over would.
            const std::size_t keep = all.empty() ? 0 : rng() % (all.size() + 1);
            all.erase(all.begin() + static_cast<std::ptrdiff_t>(keep), all.end());
            for (auto it = all.rbegin(); it != all.rend(); ++it)
                model.push_front(std::string(it->content()));
            q.push_front_all(std::move(all));
        } else if (op == 8) {
            MessageQueue moved(std::move(q));
            q = std::move(moved);
        } else {
            ASSERT_EQ(contents(q.copy_all()), Texts(model.begin(), model.end())) << step;
        }
        ASSERT_EQ(q.size(), model.size());
        ASSERT_LE(q.size(), q.capacity());
    }
}

class Mailboxes : public test_support::ClockedTest {
protected:
    CoordinationState state;
    Texts inbox_of(std::string_view agent) { return contents(inbox(state, agent)); }
};

TEST_F(Mailboxes, SendQueuesInOrderRegistersOnlyTheRecipientAndLogsOnce) {
    const Message sent = send_message(state, "A", "B", "one");
    EXPECT_EQ(sent.from_agent(), "A");
    EXPECT_EQ(sent.to_agent(), std::optional<std::string_view>("B"));
    EXPECT_EQ(sent.sent_at(), 1000u);
    at(1001);
    send_message(state, "A", "B", "two");
    send_message(state, "C", "B", "");
    EXPECT_EQ(inbox_of("B"), (Texts{"one", "two", ""}));
    EXPECT_EQ(inbox_of("B"), (Texts{"one", "two", ""}));  // reading keeps them
    EXPECT_EQ(statuses_dump(state), (std::map<std::string, AgentStatus>{{"B", AgentStatus::Idle}}));
    EXPECT_EQ(log_lines(state),
              (Texts{"1000: MessageSent A->B 'one' @1000", "1001: MessageSent A->B 'two' @1001",
                     "1001: MessageSent C->B '' @1001"}));
    set_status(state, "B", AgentStatus::Busy);
    send_message(state, "A", "B", "three");
    EXPECT_EQ(status(state, "B"), AgentStatus::Busy);
    send_message(state, "A", "A", "self");
    EXPECT_EQ(inbox_of("A"), (Texts{"self"}));
}

TEST_F(Mailboxes, DrainEmptiesOnceAndRestorePutsMessagesBackInFrontInOrder) {
    for (const char* c : {"1", "2", "3"}) send_message(state, "A", "B", c);
    std::vector<Message> drained = drain_inbox(state, "B");
    EXPECT_EQ(contents(drained), (Texts{"1", "2", "3"}));
    EXPECT_TRUE(drain_inbox(state, "B").empty());
    send_message(state, "A", "B", "4");
    restore_drained(state, "B", std::move(drained));
    EXPECT_EQ(inbox_of("B"), (Texts{"1", "2", "3", "4"}));
    restore_drained(state, "B", {});
    EXPECT_EQ(contents(drain_inbox(state, "B")), (Texts{"1", "2", "3", "4"}));
    const std::size_t cap = state.inboxes->get(std::string_view("B"))->value().capacity();
    EXPECT_GE(cap, 4u);  // the drained mailbox keeps its entry and its buffer
}

TEST_F(Mailboxes, BroadcastReachesExactlyTheRegisteredAgentsAndTheSender) {
    send_message(state, "X", "B", "hello");     // B registered; X (sender only) is not
    claim_file(state, "D", "f");                // D registered through its status
    inbox(state, "E");                          // E has a mailbox but no status
    set_status(state, "S", AgentStatus::Busy);  // the sender, already known and busy
    at(1005);
    const Message b = broadcast(state, "S", "all");
    EXPECT_FALSE(b.to_agent().has_value());
    EXPECT_EQ(b.sent_at(), 1005u);
    EXPECT_EQ(inbox_of("B"), (Texts{"hello", "all"}));
    for (const char* agent : {"D", "S"}) {
        const std::vector<Message> got = inbox(state, agent);
        ASSERT_EQ(got.size(), 1u) << agent;
        EXPECT_EQ(got[0].from_agent(), "S");
        EXPECT_FALSE(got[0].to_agent().has_value());
    }
    EXPECT_TRUE(inbox(state, "E").empty());
    EXPECT_TRUE(inbox(state, "X").empty());
    EXPECT_EQ(status(state, "S"), AgentStatus::Busy);
    EXPECT_EQ(log_lines(state).back(), "1005: BroadcastSent S 'all' @1005");
    EXPECT_EQ(log_lines(state).size(), 3u);  // MessageSent, Claimed, one BroadcastSent

    broadcast(state, "new", "hi");  // an unknown sender is registered idle and gets its copy
    EXPECT_EQ(inbox_of("new"), (Texts{"hi"}));
    EXPECT_EQ(status(state, "new"), AgentStatus::Idle);

    send_message(state, "X", "E", "late");  // E's mailbox came first: this send registers E
    broadcast(state, "S", "again");
    EXPECT_EQ(inbox_of("E"), (Texts{"late", "again"}));
}

// Hundreds of agents spread over every inboxes shard: each registered one gets each broadcast
// exactly once and in order; every copy and the log's event share one body, which outlives
// the drains.
TEST_F(Mailboxes, BroadcastToManyAgentsDeliversOnceEachInOrderSharingOneBody) {
    std::vector<std::string> agents;
    for (int i = 0; i < 300; ++i) {
        agents.push_back("agent-" + std::to_string(i));
        register_agent(state, agents.back());
        inbox(state, "reader-" + std::to_string(i));  // a mailbox, but not on the roster
    }
    broadcast(state, "agent-0", "one");
    const Message two = broadcast(state, "agent-0", "two");
    for (const std::string& agent : agents) {
        const std::vector<Message> got = drain_inbox(state, agent);
        ASSERT_EQ(contents(got), (Texts{"one", "two"})) << agent;
        EXPECT_EQ(got[1].content().data(), two.content().data()) << agent;
    }
    for (int i = 0; i < 300; ++i) EXPECT_TRUE(inbox(state, "reader-" + std::to_string(i)).empty());
    auto bucket = state.activity->get(UnixSeconds{1000});
    ASSERT_TRUE(bucket.has_value());
    std::vector<const char*> logged;
    for (const ActivityEvent& e : bucket->value())
        logged.push_back(std::get<BroadcastSent>(e).content.data());
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[1], two.content().data());
}

TEST_F(Mailboxes, ClockFailureAfterDeliveryKeepsTheMessageAndLogsNothing) {
    test_support::fail_clock_on_read(2);  // sent_at reads fine, the event's reading fails
    EXPECT_NE(test_support::panic_message([&] { send_message(state, "A", "B", "m"); }),
              "<no panic>");
    test_support::heal_clock();
    EXPECT_EQ(inbox_of("B"), (Texts{"m"}));
    EXPECT_EQ(status(state, "B"), AgentStatus::Idle);
    EXPECT_EQ(statuses_dump(state).size(), 1u);
    EXPECT_TRUE(log_lines(state).empty());
    EXPECT_EQ(test_support::lock_word_of(*state.inboxes, std::string_view("B")), 0u);
}

}  // namespace
}  // namespace durnel
