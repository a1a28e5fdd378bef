// The records stored in the state's tables: claims, agent statuses, messages and activity
// events. Each owns its strings; tables own their records and hand out copies.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "clock.h"

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

// ---- statuses ----
enum class AgentStatus : std::uint8_t { Idle = 0, Busy = 1, Completed = 2, Error = 3 };

inline constexpr std::array<std::string_view, 4> kStatusNames = {"idle", "busy", "completed",
                                                                 "error"};
inline std::string_view status_name(AgentStatus status) {
    return kStatusNames[static_cast<std::uint8_t>(status)];
}

// ---- messages ----
struct Message {
    std::string from_agent;
    std::string content;
    std::optional<std::string> to_agent;  // absent in every copy of a broadcast
    UnixSeconds sent_at;
};

// ---- activity ----
struct Claimed {
    std::string agent;
    std::string resource;
    UnixSeconds at;
};
struct Released {
    std::string agent;
    std::string resource;
    UnixSeconds at;
};
struct MessageSent {
    std::string from_agent;
    std::string to_agent;
    std::string content;
    UnixSeconds at;
};
struct BroadcastSent {
    std::string from_agent;
    std::string content;
    UnixSeconds at;
};
using ActivityEvent = std::variant<Claimed, Released, MessageSent, BroadcastSent>;

}  // namespace durnel
