"""The Redis engine's three waits as steps without I/O, shared by the sync engine and its
asyncio twin, each of which drives them with its own I/O (``RedisCoordinationState._wait``,
``AsyncRedisCoordinationState._wait``).

A wait is a generator that yields what it needs next and is sent the answer:
  - a ``calls.Call``: send it with the session's retries (engine ``_run``); the reply;
  - ``Watch(channels, claims)``: subscribe to the wake channels (confirmed by the server) and
    join the waiter to their queues in the hub (hub.py); a ticket of the hub, alive while
    the hub is, which names the wait in a claim's queue or among the mail waiters. The
    driver leaves them when the wait ends, however it ends;
  - ``Sleep(seconds)``: sleep on the waiter until a wake-up (True) or for ``seconds``
    (False; None: no limit).
``Pending`` holds the call to make if the wait ends before its own end (an exception, a
cancellation): the claim step's hand-back (lua/abandon_claim.lua), which releases a claim the
step took but nobody will read, and leaves the queue, so the next waiter does not wait for
this one; a message wait's leaving of the mail waiters (lua/unwait.lua).

Message waits drain first, then watch, then drain again before each sleep: a message
committed after the watch wakes the waiter, one committed before it is in the drain. Every
drain is the engine's exactly-once drain with its session's request ids. A drain that finds
only another session's batch in flight (a drain whose reply was lost) learns when that batch
becomes takeable, and the waiter sleeps no longer than that (plus ``RETURN_MARGIN``): nothing
is published when a batch's visibility timeout passes.

Claim waits: a first step that claims if it can without queueing (lua/wait_claim.lua 'try');
otherwise watch the claim's channel, queue a ticket and step again whenever woken: by a
release or a waiter leaving (the claim's channel), by the moment the holder's lease lapses
(while the claim holds, every waiter sleeps exactly until then, by the server's clock, and so
writes nothing meanwhile), or, for a waiter behind another while the resource is free, every
``CHECK_SECONDS``, when a dead head of the queue (its process died) is dropped, and a head
that does not step when the resource is free (its process is paused) loses its turn after
``calls.TURN_GRACE``. At the timeout the waiter leaves the queue and the
claim is tried once more as the plain claim makes it, whose refusal it raises.
"""

from typing import NamedTuple, Optional

from ..arguments import utf8
from ..contract import FILE_PREFIX, TASK_PREFIX, claim_refusal
from ..waiting import deadline_after, seconds_left
from . import calls, liveness, methods

__all__ = ["CHECK_SECONDS", "Pending", "Sleep", "Watch", "claim_waits", "message_waits"]

CHECK_SECONDS = 2.0  # how often a waiter behind another checks that the head still lives
LAPSE_MARGIN = 0.002  # seconds after the lapse moment that the head of the queue tries
RETURN_MARGIN = 0.002  # seconds after a lost batch becomes takeable that a waiter drains


class Watch(NamedTuple):
    channels: tuple
    claims: bool  # claim channels (the waiter needs a ticket) rather than mail channels


class Sleep(NamedTuple):
    seconds: Optional[float]


class Pending:
    """The call that a wait ended early must still make (set and cleared by the steps)."""

    __slots__ = ("call",)

    def __init__(self):
        self.call = None


def message_waits(keys, options, session, pending, agent_id, timeout):
    deadline = deadline_after(timeout)
    call = methods.drain(keys, options, session, agent_id)
    messages = methods.drained((yield call), call, session, agent_id)
    if messages or seconds_left(deadline) == 0.0:
        return messages
    agent = utf8("agent_id", agent_id)
    # the ticket names the wait among the mail waiters that snapshots list, from its next look
    ticket = yield Watch((keys.inbox_channel(agent), keys.broadcast_channel), False)
    pending.call = calls.unwait(keys, ticket)  # until a look takes it out
    while True:  # a drain after every wake-up, and one last look after the timeout
        last = seconds_left(deadline) == 0.0
        call = methods.drain(keys, options, session, agent_id, (b"-" if last else b"+") + ticket)
        reply = yield call
        messages = methods.drained(reply, call, session, agent_id)
        if messages or last:
            pending.call = None
        left = seconds_left(deadline)
        if messages or left == 0.0:
            return messages
        returning = calls.takeable_in(reply)
        if returning is not None:
            returning += RETURN_MARGIN
            left = returning if left is None else min(left, returning)
        yield Sleep(left)


def passing(reply, resource):
    """``reply``, a claim wait's step, after logging the paused waiters it passed over."""
    if len(reply) > 2:
        liveness.log.info(
            "passed over %s paused waiter(s) for %s: they left it free for %g s untaken",
            calls.text(reply[2]),
            calls.text(resource),
            calls.TURN_GRACE,
        )
    return reply


def claim_waits(keys, options, session, pending, kind, agent_id, name, timeout):
    prefix = FILE_PREFIX if kind == calls.FILE else TASK_PREFIX
    agent = utf8("agent_id", agent_id)
    resource = kind + utf8("path" if kind == calls.FILE else "task_id", name)
    deadline = deadline_after(timeout)

    def step(queue, ticket=b"", arrival=b""):
        request = session.next_request()
        call = calls.wait_claim(
            keys, options, session, request, agent, resource, queue, ticket, arrival
        )
        pending.call = calls.abandon_claim(keys, options, session, call)  # until it is read
        return call

    result = calls.claim_step(passing((yield step(False)), resource), keys.claims)
    pending.call = None  # the first step queues nothing; claimed, it is the wait's result
    if result.claimed:
        if result.holder is not None:
            methods.freed(result.holder, prefix + str.__str__(name), agent_id)
        return str.__str__(agent_id)
    if seconds_left(deadline) != 0.0:
        ticket = yield Watch((keys.claim_channel(resource),), True)
        arrival = b""
        while True:
            reply = yield step(True, ticket, arrival)
            result = calls.claim_step(passing(reply, resource), keys.claims)
            if result.claimed:
                pending.call = None
                if result.holder is not None:
                    methods.freed(result.holder, prefix + str.__str__(name), agent_id)
                return str.__str__(agent_id)
            arrival = result.arrival
            left = seconds_left(deadline)
            if left == 0.0:
                break
            if result.holder is None:  # behind another waiter while the resource is free
                yield Sleep(min(left, CHECK_SECONDS) if left is not None else CHECK_SECONDS)
            else:  # the claim holds: until a release, or the lapse
                lapse = max(result.lapses_in, 0.0) + LAPSE_MARGIN
                yield Sleep(lapse if left is None else min(left, lapse))
        yield pending.call  # leaves the queue: the last step took nothing
        pending.call = None
    if result.holder is not None:
        raise RuntimeError(claim_refusal(prefix, result.holder, str.__str__(name)))
    # Others were queued ahead: the plain claim, as it would go now, handed back like the
    # steps' if the wait ends before its reply is read
    call = methods.claim(keys, options, session, kind, agent_id, name)
    pending.call = calls.abandon_claim(keys, options, session, call)
    reply = yield call
    pending.call = None
    return methods.claim_result(reply, keys, prefix, agent_id, name)
