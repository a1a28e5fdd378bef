// Construction and teardown of the coordination state.
#include "state.h"

namespace durnel {

CoordinationState::CoordinationState()
    : claims(std::make_unique<ClaimMap>()),
      statuses(std::make_unique<StatusMap>()),
      inboxes(std::make_unique<InboxMap>()),
      activity(std::make_unique<ActivityLog>()),
      claim_ttl(300),
      claim_grace(0) {}

CoordinationState::~CoordinationState() {
    // Members would go in reverse order; the tables are released in field order instead.
    claims.reset();
    statuses.reset();
    inboxes.reset();
    activity.reset();
}

}  // namespace durnel
