// Agent mailboxes: direct messages, broadcasts, reading and draining.
//
// A send or broadcast builds one message body; each mailbox it reaches and its log event hold
// handles on that body. Each step holds one guard and releases it before the next: a delivery
// holds the recipient's inboxes shard, registration the statuses shard (then the inboxes
// shard again, to mark the mailbox: only on a first send), the log append its own. A
// broadcast snapshots the roster (the statuses table, shard by shard under shared
// guards, at most two neighbours at once) into one buffer and lets every statuses guard go;
// then it delivers shard by shard, one exclusive inboxes guard per shard for all of that
// shard's recipients, using the mailbox hash each roster entry carries.
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "state.h"

namespace durnel {
namespace {

// The broadcast roster: every registered agent's id in one buffer, with its mailbox hash.
// Its buffers are sized from the last roster any broadcast built (a hint, nothing more), so
// that a steady population costs one allocation per buffer and no regrowth.
class Roster {
public:
    struct Recipient {
        std::uint64_t inbox_hash;
        std::size_t offset;
        std::size_t size;
    };

    Roster() {
        recipients_.reserve(last_count.load(std::memory_order_relaxed) + 8);
        names_.reserve(last_bytes.load(std::memory_order_relaxed) + 64);
    }
    Roster(const Roster&) = delete;
    Roster& operator=(const Roster&) = delete;
    ~Roster() {
        last_count.store(recipients_.size(), std::memory_order_relaxed);
        last_bytes.store(names_.size(), std::memory_order_relaxed);
    }

    void add(std::string_view agent, std::uint64_t inbox_hash) {
        recipients_.push_back(Recipient{inbox_hash, names_.size(), agent.size()});
        names_.append(agent);
    }
    std::size_t size() const noexcept { return recipients_.size(); }
    const Recipient& operator[](std::size_t i) const noexcept { return recipients_[i]; }
    std::string_view name(const Recipient& r) const noexcept {
        return {names_.data() + r.offset, r.size};
    }

private:
    static inline std::atomic<std::size_t> last_count{0};
    static inline std::atomic<std::size_t> last_bytes{0};

    std::string names_;
    std::vector<Recipient> recipients_;
};

}  // namespace

Message send_message(const CoordinationState& state, std::string_view from_agent,
                     std::string_view to_agent, std::string_view content) {
    // Three handles: the caller's, the mailbox's and the log's, all counted at creation.
    Message message = Message::make_with_copies(from_agent, to_agent, content, now_seconds(), 2);
    RefBudget copies = RefBudget::counted(message, 2);
    const std::uint64_t inbox_hash = state.inboxes->hash(to_agent);
    bool known = false;
    {
        auto mailbox = state.inboxes->entry_or_default_with_hash(inbox_hash, to_agent);
        mailbox.value().push_back(copies.take());
        known = mailbox.value().owner_registered();
    }
    // The recipient is registered (the sender is not, and gets no mailbox). Its mailbox
    // remembers once that is done, so later sends skip the statuses table.
    if (!known) {
        register_agent(state, to_agent, inbox_hash);
        state.inboxes->entry_or_default_with_hash(inbox_hash, to_agent)
            .value()
            .mark_owner_registered();
    }
    append_message_activity(state, copies.take());
    return message;
}

Message broadcast(const CoordinationState& state, std::string_view from_agent,
                  std::string_view content) {
    Message message = Message::make(from_agent, std::nullopt, content, now_seconds());
    register_agent(state, from_agent);  // so the sender always receives its own broadcast

    Roster roster;
    state.statuses->for_each([&roster](const std::string& agent, const AgentEntry& entry) {
        roster.add(agent, entry.inbox_hash);
    });  // every statuses guard is released here, before the first delivery

    // Recipients grouped by inboxes shard (a counting sort, roster order kept within a shard).
    const InboxMap& inboxes = *state.inboxes;
    const std::size_t shard_amount = inboxes.shard_amount();
    std::vector<std::size_t> starts(shard_amount + 1, 0);
    for (std::size_t i = 0; i < roster.size(); ++i) {
        ++starts[inboxes.shard_index(roster[i].inbox_hash) + 1];
    }
    for (std::size_t s = 0; s < shard_amount; ++s) starts[s + 1] += starts[s];
    const auto by_shard = std::make_unique_for_overwrite<std::size_t[]>(roster.size());
    {
        std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
        for (std::size_t i = 0; i < roster.size(); ++i) {
            by_shard[next[inboxes.shard_index(roster[i].inbox_hash)]++] = i;
        }
    }

    RefBudget copies(message, roster.size() + 1);  // one for each recipient, one for the log
    for (std::size_t s = 0; s < shard_amount; ++s) {
        if (starts[s] == starts[s + 1]) continue;
        auto shard = state.inboxes->lock_shard(s);
        for (std::size_t k = starts[s]; k < starts[s + 1]; ++k) {
            const Roster::Recipient& r = roster[by_shard[k]];
            MessageQueue& mailbox = shard.entry_or_default(r.inbox_hash, roster.name(r));
            mailbox.push_back(copies.take());
            mailbox.mark_owner_registered();  // on the roster: it has a statuses entry
        }
    }

    append_message_activity(state, copies.take());
    return message;
}

std::vector<Message> inbox(const CoordinationState& state, std::string_view agent_id) {
    // Exclusive even though nothing is removed: an absent mailbox is created here.
    return state.inboxes->entry_or_default(agent_id).value().copy_all();
}

std::vector<Message> drain_inbox(const CoordinationState& state, std::string_view agent_id) {
    return state.inboxes->entry_or_default(agent_id).value().drain();
}

void restore_drained(const CoordinationState& state, std::string_view agent_id,
                     std::vector<Message>&& messages) {
    if (messages.empty()) return;
    state.inboxes->entry_or_default(agent_id).value().push_front_all(std::move(messages));
}

}  // namespace durnel
