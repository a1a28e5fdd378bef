// Agent mailboxes: direct messages, broadcasts, reading and draining.
//
// Each step holds one guard and releases it before the next: a delivery holds the
// recipient's inboxes shard, registration the statuses shard, the log append its own. The
// broadcast snapshot walks statuses shard by shard (at most two neighbouring shared guards)
// and lets every guard go before the first delivery.
#include "state.h"

namespace durnel {
namespace {

void deliver(const CoordinationState& state, std::string_view recipient, Message message) {
    state.inboxes->entry_or_default(recipient).value().push_back(std::move(message));
}

}  // namespace

Message send_message(const CoordinationState& state, std::string_view from_agent,
                     std::string_view to_agent, std::string_view content) {
    Message message{std::string(from_agent), std::string(content), std::string(to_agent),
                    now_seconds()};
    deliver(state, to_agent, message);
    register_agent(state, to_agent);  // the sender is not registered and gets no mailbox
    append_activity(state, MessageSent{from_agent, to_agent, content, now_seconds()});
    return message;
}

Message broadcast(const CoordinationState& state, std::string_view from_agent,
                  std::string_view content) {
    Message message{std::string(from_agent), std::string(content), std::nullopt, now_seconds()};
    register_agent(state, from_agent);  // so the sender always receives its own broadcast

    std::vector<std::string> recipients;
    recipients.reserve(4);
    {
        auto it = state.statuses->iter();
        while (auto ref = it.next()) recipients.push_back(ref->key());
    }  // every statuses guard is released here, before the first delivery
    for (const std::string& recipient : recipients) deliver(state, recipient, message);

    append_activity(state, BroadcastSent{from_agent, content, now_seconds()});
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
