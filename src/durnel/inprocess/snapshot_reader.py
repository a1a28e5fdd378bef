"""The in-process engine's snapshot reader (see ``durnel.snapshots``): a
``durnel_core.CoordinationState`` read whole by the native module ``durnel_core_snapshot``,
whether given as itself, as the object ``durnel.connect()`` returns, or as its asyncio view.

The moment it shows is each shard's own, not one instant: the native object's four tables are
read one after another, each shard by shard under its shared guard (as ``broadcast`` walks the
roster), with the interpreter lock let go meanwhile, so other threads go on working while a
snapshot is taken and it blocks none of them for longer than it copies one shard. What one
shard holds is seen whole, but a call made while the snapshot runs can be seen half done: a
broadcast that reached some mailboxes only, a new claim whose holder is not busy yet, a log
event whose claim is not listed yet. The clock is read last, so no stamp is later than ``now``
(unless the clock went back).

The log's events are numbered from 1 in the log's order (by the second each was logged in,
then in logging order); the number is the event's ``id``. ``read_log`` asks again every
POLL_SECONDS: nothing in the process wakes a reader when an event is logged.
"""

import time
from typing import Any, Optional

import durnel_core
import durnel_core_snapshot

from ..snapshots import AgentView, LogEvent, Snapshot, claim_views, mailbox_views
from .aio import AsyncInProcessCoordinationState
from .engine import InProcessCoordinationState

__all__ = ["POLL_SECONDS", "UNREACHABLE", "read_log", "read_snapshot"]

UNREACHABLE = ()  # nothing to reach: the object is in this process
POLL_SECONDS = 0.1
NAMESPACE = "default"  # the in-process engine has none: every object is a group of its own


def native(state: Any) -> durnel_core.CoordinationState:
    """The native object behind ``state``."""
    if isinstance(state, InProcessCoordinationState):
        return state.native
    if isinstance(state, AsyncInProcessCoordinationState):
        return state.sync.native
    return state  # durnel_core_snapshot.read checks that it is one


def read_snapshot(state: Any, log_tail: int) -> Snapshot:
    now, agents, claims, mailboxes, log, length = durnel_core_snapshot.read(native(state), log_tail)
    new = tuple.__new__
    return Snapshot(
        "inprocess",
        NAMESPACE,
        now,
        tuple([new(AgentView, row) for row in agents]),
        claim_views(claims, now),
        mailbox_views(mailboxes, now),
        tuple([new(LogEvent, row) for row in log]),
        length,
    )


def read_log(state: Any, after: Optional[int], block: float) -> tuple[LogEvent, ...]:
    """The events after the event number ``after`` (checked by ``follow_log``), asking every
    POLL_SECONDS for up to ``block`` seconds."""
    seen = 0 if after is None else after
    state = native(state)
    deadline = time.monotonic() + block
    wanted = 0  # the first read only learns the log's length
    while True:
        log, length = durnel_core_snapshot.read(state, wanted)[4:]
        if length > seen and len(log) >= length - seen:
            new = log[len(log) - (length - seen) :]
            return tuple([tuple.__new__(LogEvent, row) for row in new])
        if length > seen:
            wanted = length - seen  # more than were asked for: read them at once
            continue
        left = deadline - time.monotonic()
        if left <= 0:
            return ()
        time.sleep(min(POLL_SECONDS, left))
