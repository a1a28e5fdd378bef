// Mixed load on one CoordinationState: agents on their own threads claim and release a small
// pool of files, send direct messages and broadcasts, drain (and sometimes restore) their
// mailboxes. Afterwards: no live claim ever had two holders, every message arrived exactly
// once and in its sender's order, and the log counts every successful operation.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "state.h"
#include "test_support.h"

namespace durnel {
namespace {

constexpr int kAgents = 4;
constexpr int kFiles = 6;
constexpr int kOpsPerAgent = 20000;

std::string agent_name(int i) { return "agent-" + std::to_string(i); }

class CoreStress : public test_support::ClockedTest {};

TEST_F(CoreStress, MixedClaimsMessagesAndDrainsKeepTheirGuarantees) {
    CoordinationState state;
    for (int a = 0; a < kAgents; ++a) register_agent(state, agent_name(a));  // broadcast roster
    at(50'000);  // time stands still: no claim lapses, so no takeover may change a holder

    std::array<std::atomic<int>, kFiles> owner;  // who the registry says holds each file
    for (auto& o : owner) o = -1;
    std::atomic<int> double_holders{0}, refused_release{0};
    std::atomic<int> claims_won{0}, releases{0}, directs{0}, broadcasts{0};
    // sent[s][r]: sequence numbers sender s addressed to r; received[r][s]: what r got from s.
    std::vector<std::vector<std::vector<int>>> sent(kAgents,
                                                    std::vector<std::vector<int>>(kAgents));
    std::vector<std::vector<std::vector<int>>> received = sent;

    auto take_in = [&](int me, std::vector<Message>&& messages) {
        for (const Message& m : messages) {
            const int from = std::stoi(std::string(m.from_agent().substr(6)));
            received[me][from].push_back(std::stoi(std::string(m.content())));
        }
    };

    std::atomic<bool> go{false};
    auto agent = [&](int me) {
        const std::string name = agent_name(me);
        std::mt19937 rng(static_cast<unsigned>(me) * 7919u + 1);
        std::vector<int> held;
        int seq = 0;
        while (!go) std::this_thread::yield();
        for (int op = 0; op < kOpsPerAgent; ++op) {
            const unsigned pick = rng() % 100;
            if (pick < 30) {
                const int f = static_cast<int>(rng() % kFiles);
                if (std::holds_alternative<Holder>(
                        claim_file(state, name, "f" + std::to_string(f)))) {
                    ++claims_won;
                    if (owner[f].exchange(me) != -1) ++double_holders;
                    held.push_back(f);
                }
            } else if (pick < 50) {
                if (held.empty()) continue;
                const int f = held.back();
                held.pop_back();
                owner[f] = -1;  // before the release: after it another agent may win the file
                if (std::holds_alternative<Done>(
                        release(state, name, "file:f" + std::to_string(f)))) {
                    ++releases;
                } else {
                    ++refused_release;
                }
            } else if (pick < 75) {
                const int to = static_cast<int>(rng() % kAgents);
                sent[me][to].push_back(seq);
                send_message(state, name, agent_name(to), std::to_string(seq++));
                ++directs;
            } else if (pick < 80) {
                for (int to = 0; to < kAgents; ++to) sent[me][to].push_back(seq);
                broadcast(state, name, std::to_string(seq++));
                ++broadcasts;
            } else if (pick < 95) {
                take_in(me, drain_inbox(state, name));
            } else {
                // A hand-over that failed: everything drained goes back in front.
                restore_drained(state, name, drain_inbox(state, name));
            }
        }
        for (int f : held) {
            owner[f] = -1;
            if (std::holds_alternative<Done>(release(state, name, "file:f" + std::to_string(f))))
                ++releases;
        }
    };

    std::vector<std::thread> threads;
    for (int a = 0; a < kAgents; ++a) threads.emplace_back(agent, a);
    go = true;
    for (auto& t : threads) t.join();
    for (int a = 0; a < kAgents; ++a) take_in(a, drain_inbox(state, agent_name(a)));

    EXPECT_EQ(double_holders.load(), 0);
    EXPECT_EQ(refused_release.load(), 0);
    EXPECT_GT(claims_won.load(), 0);
    EXPECT_EQ(releases.load(), claims_won.load());
    EXPECT_TRUE(test_support::claims_dump(state).empty());
    for (int r = 0; r < kAgents; ++r) {
        for (int s = 0; s < kAgents; ++s) {
            ASSERT_EQ(received[r][s], sent[s][r]) << agent_name(s) << " -> " << agent_name(r);
        }
    }
    EXPECT_EQ(test_support::statuses_dump(state).size(), std::size_t{kAgents});

    int logged[4] = {0, 0, 0, 0};
    auto it = state.activity->iter();
    while (auto ref = it.next()) {
        for (const ActivityEvent& e : ref->value()) ++logged[e.index()];
    }
    EXPECT_EQ(logged[0], claims_won.load());
    EXPECT_EQ(logged[1], releases.load());
    EXPECT_EQ(logged[2], directs.load());
    EXPECT_EQ(logged[3], broadcasts.load());
}

}  // namespace
}  // namespace durnel
