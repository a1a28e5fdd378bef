"""The SQLite engine's waits, written once as steps (durnel.waiting): SQLiteCoordinationState
runs them in the calling thread, AsyncSQLiteCoordinationState in an asyncio task whose
calls run in the object's own thread. Every call is a Work, one transaction at most; the
steps sleep on the wait's socket (wakes.py) between calls.

No wait relies on its wake-ups alone: one may never come (a socket that another process
cannot reach), so every waiter also looks by itself. A waiter whose socket the others cannot
reach wakes within LOOK_EVERY seconds of what it waits for (a message, or the claim's end
for the first in line), LAPSE_LOOK seconds further back in a line.

``wait_for_messages``: drains; when that finds nothing, the waiter joins the mailbox's
waiters (a row of ``waiters``, its socket bound first) and drains again, so that a message
committed before the join is found by that drain and one committed after it wakes the
socket. It sleeps until woken, the timeout or LOOK_EVERY seconds, drains (a look that finds
the mailbox empty is one read, and no write), and so on; a drain that finds messages removes
the row in its own transaction, and a waiter that finds its row gone (taken for gone by a
process that could not tell) joins again. A timed-out wait drains once more and returns what
that finds ([] mostly).

``wait_claim_file`` / ``wait_claim_task``: first come, first served. Each turn is one
transaction: the first in line (or anyone, while nobody is in line) claims; anyone else,
and the first when the claim holds, joins the line (once) and learns the claim's holder and
stamp and who is just ahead. The first in line sleeps until a release wakes it, until the
moment the holder's lease lapses (read from the stamp, whatever the clock says by then) or
for LOOK_EVERY seconds, and takes its turn again. The second in line looks every LIVENESS
seconds whether the first is gone (its process ended, or its socket closed: see wakes.py),
and takes its turn again every LOOK_EVERY seconds: a first waiter whose process died is
taken out of the line by the second within about LIVENESS seconds (and one found dead by a
wake-up, at once). The rest of the line sleeps without looking (but every LAPSE_LOOK
seconds): whatever moves a waiter into the first two places or from the second to the first
(a waiter ahead leaving, claiming, being taken out) wakes it, so that idle waiters cost
nothing however long the line. At the timeout the wait makes the plain claim, whose refusal
it raises. A plain claim by an agent that does not wait takes a free resource even while
others wait for it (nobody is in its way between a release and the first waiter's turn
otherwise).

A step decides by the clock, never by a sleep's end alone: a sleep may end early.
"""

import time

from ..arguments import plain
from ..contract import FILE_PREFIX, LEASE_SECONDS
from ..waiting import WAITER, Work, deadline_after, seconds_left

__all__ = ["LAPSE_LOOK", "LIVENESS", "LOOK_EVERY", "claim_waits", "message_waits"]

LIVENESS = 1.0
LOOK_EVERY = 5.0
LAPSE_LOOK = 60.0
_SHORTEST = 0.001  # a sleep until a lapse that the clock says has come: start again soon


def message_waits(state, agent_id, timeout):
    agent = plain("agent_id", agent_id)
    deadline = deadline_after(timeout)
    waiter = yield WAITER

    def restored(result, later):
        if result[0]:  # drained for a caller that never got them: back in the file
            later(state._restore, agent, result[0])

    rows = (yield Work(state._drain_waiting, agent, None, orphaned=restored))[0]
    if rows or seconds_left(deadline) == 0.0:
        return [row[:4] for row in rows]

    def left(ticket, later):
        later(state._leave, ticket, "mail", agent)

    waiter.will_open()
    ticket = None
    try:
        while True:
            if ticket is None:
                ticket = yield Work(state._join, waiter, "mail", agent, orphaned=left)
            rows, listed = yield Work(state._drain_waiting, agent, ticket, orphaned=restored)
            if rows:
                ticket = None  # left in the drain's transaction
                return [row[:4] for row in rows]
            if not listed:
                ticket = None
                continue
            if seconds_left(deadline) == 0.0:
                return []
            yield seconds_left(deadline, LOOK_EVERY)
    finally:
        if ticket is not None:
            waiter.later(state._leave, ticket, "mail", agent)


def claim_waits(state, prefix, agent_id, name, timeout):
    agent = plain("agent_id", agent_id)
    name = plain("path" if prefix == FILE_PREFIX else "task_id", name)
    resource = prefix + name
    deadline = deadline_after(timeout)
    plain_claim = state.claim_file if prefix == FILE_PREFIX else state.claim_task
    waiter = yield WAITER

    def released(result, later):
        later(state._release_quietly, agent, resource)

    if seconds_left(deadline) == 0.0:
        return (yield Work(plain_claim, agent, name, orphaned=released))
    ticket = gone = None
    turn = state._claim_turn
    try:
        while True:
            before = ticket

            def undone(result, later, before=before):
                if result[0]:
                    later(state._release_quietly, agent, resource)
                elif result[3] is not None and result[3] != before:
                    later(state._leave, result[3], "claim", resource)

            result = yield Work(turn, resource, agent, ticket, gone, waiter, orphaned=undone)
            gone = None
            if result[0]:
                ticket = None
                return agent
            _, holder, stamp, ticket, ahead = result
            if ticket is None:  # in the way, and not in line yet: bind the socket and join
                waiter.will_open()
                turn = state._claim_turn_opening
                continue
            turn = state._claim_turn
            turned = time.monotonic()
            while True:
                if seconds_left(deadline) == 0.0:
                    return (yield Work(plain_claim, agent, name, orphaned=released))
                if ahead is not None:
                    cap = LIVENESS if ahead[4] else LAPSE_LOOK
                elif holder is None:
                    cap = _SHORTEST
                else:
                    lapse = stamp + LEASE_SECONDS - time.time() + 0.0005
                    cap = min(max(lapse, _SHORTEST), LOOK_EVERY)
                if (yield seconds_left(deadline, cap)) or ahead is None:
                    break
                if state._gone(ahead):
                    gone = ahead
                    break
                if time.monotonic() - turned >= LOOK_EVERY:
                    break
    finally:
        if ticket is not None:
            waiter.later(state._leave, ticket, "claim", resource)
