// Agent status: read with a shared guard, written by the claim and messaging operations.
#include <variant>

#include "state.h"

namespace durnel {

AgentStatus status(const CoordinationState& state, std::string_view agent_id) {
    if (auto ref = state.statuses->get(agent_id)) return ref->value();
    return AgentStatus::Idle;  // unknown agents read as idle; no entry is made
}

void set_status(const CoordinationState& state, std::string_view agent_id, AgentStatus value) {
    state.statuses->insert(agent_id, value);
}

void register_agent(const CoordinationState& state, std::string_view agent_id) {
    auto entry = state.statuses->entry(agent_id);
    if (auto* vacant = std::get_if<StatusMap::Vacant>(&entry)) {
        std::move(*vacant).insert(AgentStatus::Idle);
    }
}

}  // namespace durnel
