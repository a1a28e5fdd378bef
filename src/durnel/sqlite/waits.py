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
transaction: the first in line (or anyone, while nobody is in line) claims; anyone else, and
the first when the claim holds, joins the line (once) and learns the claim's holder and stamp
and who is just ahead. The first in line sleeps until a release wakes it, until the moment the
holder's lease lapses (read from the stamp, whatever the clock says by then) or for LOOK_EVERY
seconds, and takes its turn again; while the claim dies with its holder's process
(``ephemeral_claims``), it also looks every LIVENESS seconds whether that process has ended (a
look at /proc, no call), and takes its turn at once when it has. The second in line looks every
LIVENESS seconds whether the first is gone (its process ended, or its socket closed: see
wakes.py), and takes its turn again every LOOK_EVERY seconds: a first waiter whose process died
is taken out of the line by the second within about LIVENESS seconds (and one found dead by a
wake-up, at once). The rest of the line sleeps without looking (but every LAPSE_LOOK seconds):
whatever moves a waiter into the first two places or from the second to the first (a waiter
ahead leaving, claiming, being taken out) wakes it, so that idle waiters cost nothing however
long the line. A first waiter whose process is paused (SIGSTOP, a debugger) lives, but never
takes its turn: a waiter whose turn finds the resource free with another first in line takes
its turn every LIVENESS seconds from then, and once the same waiter has stayed first of a free
resource for TURN_GRACE seconds, takes it out of the line (the first is woken by a release and
looks every LOOK_EVERY seconds anyway, so a live one claims well before). A waiter taken out
that runs again takes its old place back (its ticket) and waits behind whoever holds the claim
by then. At the timeout the wait makes the plain claim, whose refusal it raises. A plain claim
by an agent that does not wait takes a free resource even while others wait for it (nobody is
in its way between a release and the first waiter's turn otherwise).

A step decides by the clock, never by a sleep's end alone: a sleep may end early.
"""

import time

from ..arguments import plain
from ..contract import FILE_PREFIX, LEASE_SECONDS
from ..waiting import WAITER, Work, deadline_after, seconds_left

__all__ = [
    "LAPSE_LOOK",
    "LIVENESS",
    "LOOK_EVERY",
    "TURN_GRACE",
    "claim_waits",
    "message_waits",
]

LIVENESS = 1.0
LOOK_EVERY = 5.0
LAPSE_LOOK = 60.0
TURN_GRACE = 5.0
_SHORTEST = 0.001  # a sleep until a lapse that the clock says has come: start again soon


def message_waits(state, agent_id, timeout):
    deadline = deadline_after(timeout)  # (the timeout first, as the in-process engine)
    agent = plain("agent_id", agent_id)
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
    ticket = gone = passed = None
    first_seen = None  # (the first in line, when a turn first found the resource free since)
    turn = state._claim_turn
    try:
        while True:
            before = ticket

            def undone(result, later, before=before):
                if result[0]:
                    later(state._release_quietly, agent, resource)
                elif result[3] is not None and result[3] != before:
                    later(state._leave, result[3], "claim", resource)

            result = yield Work(
                turn, resource, agent, ticket, gone, passed, waiter, orphaned=undone
            )
            gone = passed = None
            if result[0]:
                ticket = None
                return agent
            _, holder, stamp, ticket, ahead, first, held = result
            if ticket is None:  # in the way, and not in line yet: bind the socket and join
                waiter.will_open()
                turn = state._claim_turn_opening
                continue
            turn = state._claim_turn
            holds = holder is not None and time.time() - stamp < LEASE_SECONDS
            if holds and held is not None and state._holder_gone(held):
                holds = False
            if first == ticket or holds:
                first_seen = None
            elif first_seen is None or first_seen[0] != first:
                first_seen = (first, time.monotonic())
            elif time.monotonic() - first_seen[1] >= TURN_GRACE:
                passed = first  # it leaves the line at the next turn, if still free
                continue
            turned = time.monotonic()
            while True:
                if seconds_left(deadline) == 0.0:
                    return (yield Work(plain_claim, agent, name, orphaned=released))
                if ahead is not None:
                    cap = LIVENESS if ahead[4] or first_seen else LAPSE_LOOK
                elif holder is None:
                    cap = _SHORTEST
                else:
                    lapse = stamp + LEASE_SECONDS - time.time() + 0.0005
                    cap = min(max(lapse, _SHORTEST), LOOK_EVERY)
                    if held is not None:
                        cap = min(cap, LIVENESS)
                if (yield seconds_left(deadline, cap)):
                    break
                if ahead is None:
                    if held is None or holder is None or state._holder_gone(held):
                        break
                    if time.time() >= stamp + LEASE_SECONDS:
                        break
                    if time.monotonic() - turned >= LOOK_EVERY:
                        break
                    continue
                if state._gone(ahead):
                    gone = ahead
                    break
                if first_seen or time.monotonic() - turned >= LOOK_EVERY:
                    break
    finally:
        if ticket is not None:
            waiter.later(state._leave, ticket, "claim", resource)
