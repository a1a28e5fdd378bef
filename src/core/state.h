// CoordinationState: everything one coordination object knows, and the operations on it.
//
// Four tables and two constants. The record's own fields never change after construction;
// only table contents do, and only through the maps' guarded operations, so every operation
// takes the record by const reference and there is no lock around the record itself.
//
// Cross-table lock order: claims, then statuses, then activity. Only a claim takeover nests
// guards (it keeps the claims shard while it writes the status and the two log events);
// everything else holds one guard at a time, except the hand-over between neighbouring
// statuses shards in broadcast's snapshot. No path takes a claims guard while holding another
// table's guard, and no path holds an inboxes guard while taking another (a broadcast holds
// one inboxes shard at a time, and nothing else while it does), so there is no cycle of waits.
//
// Failures: operations return Failure (a fixed message, nothing changed) or Panic (clock
// before 1970): the panic unwinds through the RAII guards and keeps what was already done.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "clock.h"
#include "event_list.h"
#include "message_queue.h"
#include "outcome.h"
#include "records.h"
#include "sharded_map.h"

namespace durnel {

using ClaimMap = ShardedMap<std::string, Claim>;
using StatusMap = ShardedMap<std::string, AgentEntry>;
using InboxMap = ShardedMap<std::string, MessageQueue>;
using ActivityLog = ShardedMap<UnixSeconds, EventList>;

struct CoordinationState {
    std::unique_ptr<ClaimMap> claims;
    std::unique_ptr<StatusMap> statuses;
    std::unique_ptr<InboxMap> inboxes;
    std::unique_ptr<ActivityLog> activity;
    std::uint64_t claim_ttl;
    std::uint64_t claim_grace;

    // Builds the four tables in field order, each with hash keys of its own.
    CoordinationState();
    CoordinationState(CoordinationState&&) noexcept = default;
    CoordinationState& operator=(CoordinationState&&) = delete;
    // Tears the tables down in field order (claims first).
    ~CoordinationState();
};

// ---- claims ----
Outcome<Holder> claim_file(const CoordinationState& state, std::string_view agent_id,
                           std::string_view path);
Outcome<Holder> claim_task(const CoordinationState& state, std::string_view agent_id,
                           std::string_view task_id);
Outcome<Holder> renew_claim(const CoordinationState& state, std::string_view agent_id,
                            std::string_view resource_key);
Outcome<Done> release(const CoordinationState& state, std::string_view agent_id,
                      std::string_view resource_key);

// ---- mailboxes ----
Message send_message(const CoordinationState& state, std::string_view from_agent,
                     std::string_view to_agent, std::string_view content);
Message broadcast(const CoordinationState& state, std::string_view from_agent,
                  std::string_view content);
std::vector<Message> inbox(const CoordinationState& state, std::string_view agent_id);
std::vector<Message> drain_inbox(const CoordinationState& state, std::string_view agent_id);
// Puts drained messages back at the front of the mailbox, in order: the undo of a drain whose
// result could not be handed to the caller.
void restore_drained(const CoordinationState& state, std::string_view agent_id,
                     std::vector<Message>&& messages);

// ---- statuses ----
AgentStatus status(const CoordinationState& state, std::string_view agent_id);
// Stores `value` for the agent, replacing any previous status.
void set_status(const CoordinationState& state, std::string_view agent_id, AgentStatus value);
// Gives the agent the Idle status unless it already has one.
void register_agent(const CoordinationState& state, std::string_view agent_id);
// The same, for a caller that already hashed the id for the inboxes table.
void register_agent(const CoordinationState& state, std::string_view agent_id,
                    std::uint64_t inbox_hash);

// ---- activity log ----
// Appends `event` to the bucket of the current second (its own clock reading); the log copies
// the event's strings.
void append_activity(const CoordinationState& state, const ActivityEvent& event);
// Appends the MessageSent or BroadcastSent event of `message` (stamped with its own clock
// reading, then bucketed by another); the log keeps this handle on the message's body.
void append_message_activity(const CoordinationState& state, Message message);

}  // namespace durnel
