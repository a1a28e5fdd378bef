// The snapshot of a CoordinationState: each table copied under shared guards, shard by shard.
#include "snapshot.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>
#include <numeric>
#include <type_traits>
#include <utility>
#include <variant>

namespace durnel {
namespace {

// The newest events of the log, gathered from its buckets in whatever order the shards give
// them: the last `wanted` events of each bucket are copied, and a bucket is dropped as soon
// as the buckets of later seconds hold `wanted` events between them. A bucket older than
// that is never decoded at all.
class LogTail {
public:
    explicit LogTail(std::size_t wanted) : wanted_(wanted) {}

    void add(UnixSeconds second, const EventList& events) {
        if (wanted_ == 0 || events.empty()) return;
        if (kept_ >= wanted_ && second < buckets_.begin()->first) return;
        const std::size_t take = std::min(events.size(), wanted_);
        std::vector<EventRow> rows;
        rows.reserve(take);
        auto event = events.begin();
        for (std::size_t skip = events.size() - take; skip > 0; --skip) ++event;
        for (; event != events.end(); ++event) rows.push_back(row_of(*event));
        buckets_.emplace(second, std::move(rows));
        kept_ += take;
        while (kept_ - buckets_.begin()->second.size() >= wanted_) {
            kept_ -= buckets_.begin()->second.size();
            buckets_.erase(buckets_.begin());
        }
    }

    // The last `wanted` events of the buckets kept, oldest first.
    std::vector<EventRow> newest() && {
        std::vector<EventRow> out;
        out.reserve(std::min(kept_, wanted_));
        std::size_t surplus = kept_ > wanted_ ? kept_ - wanted_ : 0;
        for (auto& [second, rows] : buckets_) {
            auto first = rows.begin() + static_cast<std::ptrdiff_t>(std::min(surplus, rows.size()));
            surplus -= static_cast<std::size_t>(first - rows.begin());
            out.insert(out.end(), std::make_move_iterator(first),
                       std::make_move_iterator(rows.end()));
        }
        return out;
    }

private:
    // The event's strings view the bucket, which its shard guard keeps alive: copy them now.
    static EventRow row_of(const ActivityEvent& event) {
        EventRow row;
        std::visit(
            [&row](const auto& e) {
                using E = std::decay_t<decltype(e)>;
                row.at = e.at;
                if constexpr (std::is_same_v<E, Claimed> || std::is_same_v<E, Released>) {
                    row.kind =
                        std::is_same_v<E, Claimed> ? EventKind::Claimed : EventKind::Released;
                    row.agent = e.agent;
                    row.resource = e.resource;
                } else {
                    row.kind = std::is_same_v<E, MessageSent> ? EventKind::MessageSent
                                                              : EventKind::BroadcastSent;
                    row.from_agent = e.from_agent;
                    if constexpr (std::is_same_v<E, MessageSent>) row.to_agent = e.to_agent;
                    row.content = e.content;
                }
            },
            event);
        return row;
    }

    std::size_t wanted_;
    std::size_t kept_ = 0;  // events in buckets_
    std::map<UnixSeconds, std::vector<EventRow>> buckets_;
};

// Sizes of the last snapshot taken (a hint, nothing more): a steady group costs one
// allocation per list.
std::atomic<std::size_t> last_agents{0}, last_claims{0}, last_mailboxes{0};

// Sorts row numbers, then moves each row once: rows are several strings wide.
template <typename Row>
void sort_by(std::vector<Row>& rows, std::string Row::* key) {
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return rows[a].*key < rows[b].*key; });
    std::vector<Row> sorted;
    sorted.reserve(rows.size());
    for (const std::size_t i : order) sorted.push_back(std::move(rows[i]));
    rows = std::move(sorted);
}

}  // namespace

StateSnapshot take_snapshot(const CoordinationState& state, std::size_t log_tail) {
    StateSnapshot shot;
    shot.agents.reserve(last_agents.load(std::memory_order_relaxed));
    shot.claims.reserve(last_claims.load(std::memory_order_relaxed));
    shot.mailboxes.reserve(last_mailboxes.load(std::memory_order_relaxed));

    state.statuses->for_each([&shot](const std::string& agent, const AgentEntry& entry) {
        shot.agents.push_back(AgentRow{agent, entry.status});
    });
    state.claims->for_each([&shot](const std::string& key, const Claim& claim) {
        shot.claims.push_back(
            ClaimRow{key, claim.holder, std::max(claim.claimed_at, claim.renewed_at)});
    });
    state.inboxes->for_each([&shot](const std::string& agent, const MessageQueue& mailbox) {
        if (!mailbox.empty()) {
            shot.mailboxes.push_back(MailboxRow{agent, mailbox.size(), mailbox.front().sent_at()});
        }
    });
    LogTail tail(log_tail);
    state.activity->for_each([&](UnixSeconds second, const EventList& events) {
        shot.log_length += events.size();
        tail.add(second, events);
    });
    shot.log = std::move(tail).newest();
    shot.now = now_seconds();

    // Sorted with every guard released.
    sort_by(shot.agents, &AgentRow::agent);
    sort_by(shot.claims, &ClaimRow::resource);
    sort_by(shot.mailboxes, &MailboxRow::agent);
    last_agents.store(shot.agents.size(), std::memory_order_relaxed);
    last_claims.store(shot.claims.size(), std::memory_order_relaxed);
    last_mailboxes.store(shot.mailboxes.size(), std::memory_order_relaxed);
    return shot;
}

}  // namespace durnel
