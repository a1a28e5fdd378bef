// Agent status: read with a shared guard, written by the claim and messaging operations. An
// agent's first entry also records the hash of its id in the inboxes table (see AgentEntry).
#include <variant>

#include "state.h"

namespace durnel {

AgentStatus status(const CoordinationState& state, std::string_view agent_id) {
    if (auto ref = state.statuses->get(agent_id)) return ref->value().status;
    return AgentStatus::Idle;  // unknown agents read as idle; no entry is made
}

void set_status(const CoordinationState& state, std::string_view agent_id, AgentStatus value) {
    auto entry = state.statuses->entry(agent_id);
    if (auto* occupied = std::get_if<StatusMap::Occupied>(&entry)) {
        occupied->value().status = value;
        return;
    }
    std::move(std::get<StatusMap::Vacant>(entry))
        .insert(AgentEntry{state.inboxes->hash(agent_id), value});
}

void register_agent(const CoordinationState& state, std::string_view agent_id,
                    std::uint64_t inbox_hash) {
    auto entry = state.statuses->entry(agent_id);
    if (auto* vacant = std::get_if<StatusMap::Vacant>(&entry)) {
        std::move(*vacant).insert(AgentEntry{inbox_hash, AgentStatus::Idle});
    }
}

void register_agent(const CoordinationState& state, std::string_view agent_id) {
    auto entry = state.statuses->entry(agent_id);
    if (auto* vacant = std::get_if<StatusMap::Vacant>(&entry)) {
        std::move(*vacant).insert(AgentEntry{state.inboxes->hash(agent_id), AgentStatus::Idle});
    }
}

}  // namespace durnel
