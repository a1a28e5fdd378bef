// The records stored in the state's tables: claims, agent statuses, messages and activity
// events. Claims own their strings and tables hand out copies of them; a message is a shared
// handle on one immutable body (message.h) that every holder of it references.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "clock.h"
#include "message.h"

namespace durnel {

// ---- claims ----
enum class ClaimKind : std::uint8_t { File, Task };

struct ClaimTarget {
    ClaimKind kind;
    std::string name;  // the path or task id as passed, without the key's prefix
};

struct Claim {
    ClaimTarget target;
    std::string holder;
    UnixSeconds claimed_at;
    UnixSeconds renewed_at;
};

// What a successful claim or renewal reports: the agent that holds the claim now. That is
// always the caller's own agent id, so this views the caller's argument (valid as long as it
// is) and nothing is copied: the table keeps the claim itself.
struct Holder {
    std::string_view agent;
};

// ---- statuses ----
enum class AgentStatus : std::uint8_t { Idle = 0, Busy = 1, Completed = 2, Error = 3 };

inline constexpr std::array<std::string_view, 4> kStatusNames = {"idle", "busy", "completed",
                                                                 "error"};
inline std::string_view status_name(AgentStatus status) {
    return kStatusNames[static_cast<std::uint8_t>(status)];
}

// An agent's entry in the statuses table: its status, and the hash of its id in the inboxes
// table, taken once when the agent is first seen, so that a broadcast reaches every mailbox
// without hashing any id again.
struct AgentEntry {
    std::uint64_t inbox_hash;
    AgentStatus status;
};

// ---- messages ----
// Message (message.h): a shared handle on one immutable message body.

// ---- activity ----
// An event as written to and read from the log. Its strings are views: the appending caller
// keeps them alive for the append, which copies their bytes into the log (a message event
// appended with its Message keeps a handle on the body instead); events read back view the
// log's own storage or the bodies it holds (see EventList).
enum class EventKind : std::uint8_t { Claimed, Released, MessageSent, BroadcastSent };

struct Claimed {
    std::string_view agent;     // the agent that now holds the claim
    std::string_view resource;  // the full resource key
    UnixSeconds at;
};
struct Released {
    std::string_view agent;  // the agent whose claim ended
    std::string_view resource;
    UnixSeconds at;
};
struct MessageSent {
    std::string_view from_agent;
    std::string_view to_agent;
    std::string_view content;
    UnixSeconds at;
};
struct BroadcastSent {
    std::string_view from_agent;
    std::string_view content;
    UnixSeconds at;
};
using ActivityEvent = std::variant<Claimed, Released, MessageSent, BroadcastSent>;

}  // namespace durnel
