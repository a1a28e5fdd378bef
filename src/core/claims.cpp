// The claim registry: claim, renew and release leases on files and tasks.
//
// Every path looks its key up through `entry`, so test and change happen under the key's
// claims shard held exclusively, and failure messages are built before that guard goes.
// A fresh claim or a release drops the claims guard before it writes the status and the log;
// a takeover keeps it across both (claims -> statuses -> activity, the one nesting allowed).
#include <utility>
#include <variant>

#include "inline_text.h"
#include "state.h"

namespace durnel {
namespace {

struct ClaimFlavour {
    ClaimKind kind;
    std::string_view prefix;
    std::string_view refusal;  // the text between the holder and the name
};
constexpr ClaimFlavour kFile{ClaimKind::File, "file:", " already holds claim on "};
constexpr ClaimFlavour kTask{ClaimKind::Task, "task:", " already holds claim on task "};

// A resource key (prefix + name) built for a lookup: in place at ordinary lengths, so that a
// call that stores no key allocates none; the claims table copies it only into a new entry.
using ResourceKey = InlineText<240>;

// Lapsed once the age since the later stamp reaches ttl + grace; a clock that went back
// makes the claim young (age 0), never negative.
bool has_lapsed(const CoordinationState& state, const Claim& claim, UnixSeconds now) {
    const UnixSeconds last =
        claim.claimed_at > claim.renewed_at ? claim.claimed_at : claim.renewed_at;
    const std::uint64_t age = now > last ? now - last : 0;
    return age >= state.claim_ttl + state.claim_grace;
}

Outcome<Holder> claim_resource(const CoordinationState& state, const ClaimFlavour& flavour,
                               std::string_view agent_id, std::string_view name) {
    // Both stamps are read before the table is consulted; the claim's strings are only built
    // once it is known that the claim will be stored (a refusal copies nothing).
    const UnixSeconds claimed_at = now_seconds();
    const UnixSeconds renewed_at = now_seconds();
    const ResourceKey resource{flavour.prefix, name};
    const std::string_view key = resource.view();
    auto new_claim = [&] {
        return Claim{ClaimTarget{flavour.kind, std::string(name)}, std::string(agent_id),
                     claimed_at, renewed_at};
    };

    auto entry = state.claims->entry(key);
    if (auto* vacant = std::get_if<ClaimMap::Vacant>(&entry)) {
        // The WriteRef is a temporary: the claims guard is released at the end of this line,
        // before statuses and the log are touched.
        std::move(*vacant).insert(new_claim());
        set_status(state, agent_id, AgentStatus::Busy);
        append_activity(state, Claimed{agent_id, key, now_seconds()});
        return Holder{agent_id};
    }

    auto& occupied = std::get<ClaimMap::Occupied>(entry);
    if (!has_lapsed(state, occupied.value(), now_seconds())) {
        return Failure{{occupied.value().holder, flavour.refusal, name}};
    }
    // Takeover of a lapsed claim: the claims guard stays held until the return, so nobody
    // sees the new holder without its status and log events being on their way.
    std::string previous_holder = std::exchange(occupied.value(), new_claim()).holder;
    set_status(state, agent_id, AgentStatus::Busy);
    append_activity(state, Claimed{agent_id, key, now_seconds()});
    append_activity(state, Released{previous_holder, key, now_seconds()});
    return Holder{agent_id};
}

}  // namespace

Outcome<Holder> claim_file(const CoordinationState& state, std::string_view agent_id,
                           std::string_view path) {
    return claim_resource(state, kFile, agent_id, path);
}

Outcome<Holder> claim_task(const CoordinationState& state, std::string_view agent_id,
                           std::string_view task_id) {
    return claim_resource(state, kTask, agent_id, task_id);
}

Outcome<Holder> renew_claim(const CoordinationState& state, std::string_view agent_id,
                            std::string_view resource_key) {
    auto entry = state.claims->entry(resource_key);
    if (std::holds_alternative<ClaimMap::Vacant>(entry)) {
        return Failure{{"no claim on ", resource_key, " to renew"}};
    }
    Claim& stored = std::get<ClaimMap::Occupied>(entry).value();
    if (stored.holder != agent_id) {
        return Failure{{agent_id, " cannot renew a claim held by ", stored.holder}};
    }
    // No lapse test: a lapsed claim that nobody took over holds again for a full lease.
    // Both readings are taken before the stored claim changes, so a clock failure between
    // them leaves the claim as it was.
    const UnixSeconds claimed_at = now_seconds();
    const UnixSeconds renewed_at = now_seconds();
    stored.claimed_at = claimed_at;
    stored.renewed_at = renewed_at;
    return Holder{agent_id};  // equal to stored.holder
}

Outcome<Done> release(const CoordinationState& state, std::string_view agent_id,
                      std::string_view resource_key) {
    auto entry = state.claims->entry(resource_key);
    if (std::holds_alternative<ClaimMap::Vacant>(entry)) {
        return Failure{{"no claim found for ", agent_id}};
    }
    auto& occupied = std::get<ClaimMap::Occupied>(entry);
    if (occupied.value().holder != agent_id) {
        return Failure{{agent_id, " cannot release a claim held by ", occupied.value().holder}};
    }
    std::move(occupied).remove();  // releases the claims guard
    // Idle whatever else the agent holds: a status is the trace of its latest operation.
    set_status(state, agent_id, AgentStatus::Idle);
    append_activity(state, Released{agent_id, resource_key, now_seconds()});
    return Done{};
}

}  // namespace durnel
