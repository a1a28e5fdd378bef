// The activity log: events bucketed by the second of their append, in append order.
#include "state.h"

namespace durnel {

void append_activity(const CoordinationState& state, ActivityEvent event) {
    const UnixSeconds bucket = now_seconds();  // its own reading, separate from the event's `at`
    auto ref = state.activity->entry_or_default(bucket);
    std::vector<ActivityEvent>& events = ref.value();
    // Doubling growth with a floor of 4 events, whatever the library's own policy is.
    if (events.size() == events.capacity()) {
        events.reserve(events.capacity() < 4 ? 4 : events.capacity() * 2);
    }
    events.push_back(std::move(event));
}

}  // namespace durnel
