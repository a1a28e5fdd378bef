// take_snapshot: a copy of everything a CoordinationState holds, for whoever watches the
// group from outside its agents; it changes nothing.
//
// What moment it shows: each shard at the moment the snapshot held it. The tables are read
// one after another (statuses, claims, inboxes, then the activity log), each walked as
// broadcast walks its roster: shard by shard in index order under shared guards, the next
// shard's guard taken before the previous one goes. The clock is read last. So what one shard
// holds is seen whole, but a call that touches several shards or tables while the snapshot
// runs can be seen half done: a broadcast that reached some mailboxes only, a new claim whose
// holder is not busy yet, a log that already counts an event whose claim is not listed. Every
// stamp copied was read no later than `now`, unless the clock went back.
//
// Locking: at most two neighbouring shards of one table are held at a time, shared, and only
// while their entries are copied; no guard of one table is held while another table's is
// taken, and none is held once take_snapshot returns. Writers wait for the snapshot only while
// it copies the shard they want, and it waits for them only while they hold one it reads.
//
// Cost: one pass over every statuses, claims and inboxes entry; one over the log's buckets
// (one per second that had events), decoding events only in the newest buckets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "records.h"
#include "state.h"

namespace durnel {

struct AgentRow {
    std::string agent;
    AgentStatus status;
};

struct ClaimRow {
    std::string resource;  // the full key, "file:..." or "task:..."
    std::string holder;
    UnixSeconds stamp;  // the later of the claim's two stamps: what its lease runs from
};

struct MailboxRow {
    std::string agent;
    std::size_t length;
    UnixSeconds oldest_sent_at;  // of the message at the front, the one inbox() lists first
};

// One event of the log. Claimed and Released fill `agent` and `resource`; MessageSent fills
// `from_agent`, `to_agent` and `content`; BroadcastSent `from_agent` and `content`. The other
// strings stay empty.
struct EventRow {
    EventKind kind = EventKind::Claimed;
    UnixSeconds at = 0;
    std::string agent;
    std::string resource;
    std::string from_agent;
    std::string to_agent;
    std::string content;
};

struct StateSnapshot {
    std::vector<AgentRow> agents;       // every statuses entry, by agent id
    std::vector<ClaimRow> claims;       // every stored claim, lapsed or not, by resource key
    std::vector<MailboxRow> mailboxes;  // every mailbox holding a message, by agent id
    // The newest events of the log, oldest first. The log is ordered by the second each event
    // was appended in, then by append order; numbered from 1 in that order, the first event
    // here is number log_length - log.size() + 1.
    std::vector<EventRow> log;
    std::uint64_t log_length = 0;  // every event the log holds
    UnixSeconds now = 0;           // the clock, read after everything else
};

// Ids and keys are sorted by their bytes, which for UTF-8 is the order of their code points.
// `log_tail` is how many of the newest events to copy (fewer when the log holds fewer).
// Panics as now_seconds does; a Panic or allocation failure leaves no guard held.
StateSnapshot take_snapshot(const CoordinationState& state, std::size_t log_tail);

}  // namespace durnel
