"""The SQLite engine's waits, written once as steps (durnel.waiting): SQLiteCoordinationState
runs them in the calling thread, AsyncSQLiteCoordinationState in an asyncio task whose
calls run in the object's own thread. Every call is a Work, one transaction at most; the
steps sleep on the wait's socket (wakes.py) between calls.

``wait_for_messages``: drains; when that finds nothing, the waiter joins the mailbox's
waiters (a row of ``waiters``, its socket bound first) and drains again, so that a message
committed before the join is found by that drain and one committed after it wakes the
socket. It sleeps until woken or the timeout, drains, and so on; a drain that finds
messages removes the row in its own transaction. A timed-out wait drains once more and
returns what that finds ([] mostly).

``wait_claim_file`` / ``wait_claim_task``: first come, first served. Each turn is one
transaction: the first in line (or anyone, while nobody is in line) claims; anyone else,
and the first when the claim holds, joins the line (once) and learns the claim's holder and
stamp and who is just ahead. The first in line sleeps until a release wakes it or until the
moment the holder's lease lapses (read from the stamp, whatever the clock says by then:
at least every LAPSE_LOOK seconds, in case the wall clock was stepped). The second in line
looks every LIVENESS seconds whether the first one's socket is still open: a first waiter
whose process died is taken out of the line by the second within about LIVENESS seconds
(and one found dead by a wake-up, at once). The rest of the line sleeps without looking
(but every LAPSE_LOOK seconds): whatever moves a waiter into the first two places (a
waiter ahead leaving, claiming, being taken out) wakes it, so that idle waiters cost
nothing however long the line. At the timeout the wait makes the plain
claim, whose refusal it raises. A plain claim by an agent that does not wait takes a free
resource even while others wait for it (nobody is in its way between a release and the
first waiter's turn otherwise).
"""

import time

from ..arguments import plain
from ..contract import FILE_PREFIX, LEASE_SECONDS
from ..waiting import WAITER, Work, deadline_after, seconds_left
from . import wakes

__all__ = ["LAPSE_LOOK", "LIVENESS", "claim_waits", "message_waits"]

LIVENESS = 1.0
LAPSE_LOOK = 60.0
_SHORTEST = 0.001  # a sleep until a lapse that the clock says has come: start again soon


def message_waits(state, agent_id, timeout):
    agent = plain("agent_id", agent_id)
    deadline = deadline_after(timeout)
    waiter = yield WAITER

    def handed_back(result, later):
        messages = result[0]
        if messages:
            state.hand_back(agent, messages)

    messages = (yield Work(state.drain_waiting, agent, None, orphaned=handed_back))[0]
    if messages or seconds_left(deadline) == 0.0:
        return messages

    def left(ticket, later):
        later(state.leave, ticket, "mail", agent)

    waiter.will_open()
    ticket = yield Work(state.join, waiter, "mail", agent, orphaned=left)
    try:
        woken = True
        while True:
            messages, waiting = yield Work(state.drain_waiting, agent, ticket, orphaned=handed_back)
            if not waiting:
                ticket = None
            if messages or not woken:
                return messages
            woken = yield seconds_left(deadline)
    finally:
        if ticket is not None:
            waiter.later(state.leave, ticket, "mail", agent)


def claim_waits(state, prefix, agent_id, name, timeout):
    agent = plain("agent_id", agent_id)
    name = plain("path" if prefix == FILE_PREFIX else "task_id", name)
    resource = prefix + name
    deadline = deadline_after(timeout)
    plain_claim = state.claim_file if prefix == FILE_PREFIX else state.claim_task
    waiter = yield WAITER

    def released(result, later):
        later(state.release_quietly, agent, resource)

    if seconds_left(deadline) == 0.0:
        return (yield Work(plain_claim, agent, name, orphaned=released))
    ticket = gone = None
    turn = state.claim_turn
    try:
        while True:
            before = ticket

            def undone(result, later, before=before):
                if result[0]:
                    later(state.release_quietly, agent, resource)
                elif result[3] is not None and result[3] != before:
                    later(state.leave, result[3], "claim", resource)

            result = yield Work(turn, resource, agent, ticket, gone, waiter, orphaned=undone)
            gone = None
            if result[0]:
                ticket = None
                return agent
            _, holder, stamp, ticket, ahead = result
            if ticket is None:  # in the way, and not in line yet: bind the socket and join
                waiter.will_open()
                turn = state.claim_turn_opening
                continue
            turn = state.claim_turn
            while True:
                if seconds_left(deadline) == 0.0:
                    return (yield Work(plain_claim, agent, name, orphaned=released))
                if ahead is not None:
                    cap = LIVENESS if ahead[2] else LAPSE_LOOK
                elif holder is None:
                    cap = _SHORTEST
                else:
                    lapse = stamp + LEASE_SECONDS - time.time() + 0.0005
                    cap = min(max(lapse, _SHORTEST), LAPSE_LOOK)
                if (yield seconds_left(deadline, cap)) or ahead is None:
                    break
                if not wakes.alive(waiter.directory, ahead[1]):
                    gone = ahead[0]
                    break
    finally:
        if ticket is not None:
            waiter.later(state.leave, ticket, "claim", resource)
