// The activity log: events bucketed by the second of their append, in append order.
#include "state.h"

namespace durnel {

void append_activity(const CoordinationState& state, const ActivityEvent& event) {
    const UnixSeconds bucket = now_seconds();  // its own reading, separate from the event's `at`
    state.activity->entry_or_default(bucket).value().append(event);
}

}  // namespace durnel
