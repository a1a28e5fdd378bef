// The activity log: events bucketed by the second of their append, in append order.
#include "state.h"

namespace durnel {

void append_activity(const CoordinationState& state, const ActivityEvent& event) {
    const UnixSeconds bucket = now_seconds();  // its own reading, separate from the event's `at`
    state.activity->entry_or_default(bucket).value().append(event);
}

void append_message_activity(const CoordinationState& state, Message message) {
    const UnixSeconds at = now_seconds();
    const UnixSeconds bucket = now_seconds();
    state.activity->entry_or_default(bucket).value().append_message(std::move(message), at);
}

}  // namespace durnel
