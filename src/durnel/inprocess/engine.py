"""InProcessCoordinationState: the native CoordinationState of this process, with waits.

The nine methods are the native object's own: six are its bound methods, stored on the
instance; ``send_message``, ``broadcast`` and ``release`` (``.waking``) call the native
method and then, only when somebody waits, wake the waiters that the call may concern; while
nobody waits they cost the native call alone (CPython 3.12 on). Results, refusals and
conversion errors are the native ones, byte for byte; so are arity and keyword errors, but
those of the three waking methods before 3.12, which are Python's (see ``.waking``).

The waits:
- ``wait_for_messages(agent_id, timeout=None)`` drains the agent's mailbox like
  ``drain_inbox``; when it is empty, sleeps until a send or broadcast made through this object
  wakes it (then drains again) or ``timeout`` passes (then ``[]``). The drain is the native
  one, one step, so a message is returned once: a wait that times out or is interrupted
  before its drain has taken nothing.
- ``wait_claim_file`` / ``wait_claim_task(agent_id, name, timeout=None)`` claim like
  ``claim_file`` / ``claim_task``; while the resource is held, sleep until a release of it
  through this object or the holder's lease may have lapsed, then try again. Waiters of one
  resource are served first come, first served: only the first tries, and one that leaves
  hands its turn on at once. The native object shows no claim's stamp, so the first waiter
  tries again at each whole second of the wall clock (a lease lapses at a whole second) as
  long as nobody releases: one native call a second. On timeout the last refusal is raised,
  the RuntimeError the plain claim gives.

Waits are woken only by calls made through this object (or an asyncio view of it, see
``durnel.aio``): a call on the native object itself changes the state but wakes nobody.

Closing (``durnel.lifecycle``) frees nothing that other objects of the same native state share:
the native state lives as long as anything refers to it. The object itself is closed: its
methods raise ClosedError, and the waits sleeping on it are woken and raise it. ``native``
stays readable.
"""

from typing import TYPE_CHECKING, Optional

import durnel_core

from ..arguments import plain
from ..contract import FILE_PREFIX, METHODS, TASK_PREFIX, WAITS
from ..lifecycle import Closing
from ..protocol import Message, Status
from ..waiting import WAITER, ThreadWaiter, deadline_after, next_second, run_waits, seconds_left
from .waking import waking_methods

__all__ = ["InProcessCoordinationState", "open_url"]


class InProcessCoordinationState(Closing):
    """A ``durnel_core.CoordinationState`` (a new one, or ``state``: ``native``) with the
    waits of ``durnel.WaitingCoordination``; see the module's docstring."""

    # (the steps of the waits too: an asyncio view of a closed object raises ClosedError)
    _CLOSED_METHODS = METHODS + WAITS + ("_message_waits", "_claim_waits")

    def __init__(self, state: Optional[durnel_core.CoordinationState] = None) -> None:
        if state is None:
            state = durnel_core.CoordinationState()
        elif type(state) is not durnel_core.CoordinationState:
            raise TypeError(
                "state must be a durnel_core.CoordinationState, not %s" % type(state).__qualname__
            )
        self.native = state
        waking = waking_methods(state)
        self.mail_waiters = waking.mail_waiters  # agent id -> waiters of its mailbox
        self.claim_waiters = waking.claim_waiters  # resource key -> its waiters, in order
        # The nine methods live on the instance, the cheapest calls Python has for them: six
        # are the native bound methods themselves, three (.waking) wake the waiters.
        # (Assigned one by one, not through vars(): the instance keeps its compact layout,
        # which makes each lookup of them cheaper.)
        self.claim_file = state.claim_file  # type: ignore[method-assign]
        self.claim_task = state.claim_task  # type: ignore[method-assign]
        self.renew_claim = state.renew_claim  # type: ignore[method-assign]
        self.inbox = state.inbox  # type: ignore[method-assign]
        self.drain_inbox = state.drain_inbox  # type: ignore[method-assign]
        self.status = state.status  # type: ignore[method-assign]
        self.send_message = waking.send_message  # type: ignore[method-assign]
        self.broadcast = waking.broadcast  # type: ignore[method-assign]
        self.release = waking.release  # type: ignore[method-assign]

    if TYPE_CHECKING:

        def claim_file(self, agent_id: str, path: str) -> str: ...
        def claim_task(self, agent_id: str, task_id: str) -> str: ...
        def renew_claim(self, agent_id: str, resource_key: str) -> str: ...
        def inbox(self, agent_id: str) -> list[Message]: ...
        def drain_inbox(self, agent_id: str) -> list[Message]: ...
        def status(self, agent_id: str) -> Status: ...
        def send_message(self, from_agent: str, to_agent: str, content: str) -> Message: ...
        def broadcast(self, from_agent: str, content: str) -> Message: ...
        def release(self, agent_id: str, resource_key: str) -> None: ...

    # ---- waits ----

    def wait_for_messages(self, agent_id: str, timeout: Optional[float] = None) -> list[Message]:
        return run_waits(self._message_waits(agent_id, timeout), ThreadWaiter())

    def wait_claim_file(self, agent_id: str, path: str, timeout: Optional[float] = None) -> str:
        return run_waits(self._claim_waits(FILE_PREFIX, agent_id, path, timeout), ThreadWaiter())

    def wait_claim_task(self, agent_id: str, task_id: str, timeout: Optional[float] = None) -> str:
        return run_waits(self._claim_waits(TASK_PREFIX, agent_id, task_id, timeout), ThreadWaiter())

    # The waits as steps shared by threads and asyncio tasks: each step is a call on the
    # native object; between steps the generator yields how long to sleep (None: until
    # woken), and whoever drives it sleeps on its own kind of waiter (run_waits, or
    # durnel.aio's driver) and sends back whether it was woken. Closing the generator at a
    # yield (a cancelled task) leaves the queues as they were before the wait. The steps look
    # the native calls up on the object each time: once it is closed, they raise ClosedError.

    def _message_waits(self, agent_id, timeout):
        deadline = deadline_after(timeout)
        waiter = yield WAITER
        messages = self.drain_inbox(agent_id)
        if messages:
            return messages
        key = str.__str__(agent_id)
        self.mail_waiters.join(key, waiter)
        try:
            while True:
                messages = self.drain_inbox(agent_id)  # after joining: no send slips past
                # By the clock, not by how the sleep ended: a long one may end early.
                if messages or seconds_left(deadline) == 0.0:
                    return messages
                yield seconds_left(deadline)
        finally:
            self.mail_waiters.leave(key, waiter)

    def _claim_waits(self, prefix, agent_id, name, timeout):
        method = "claim_file" if prefix == FILE_PREFIX else "claim_task"
        plain("agent_id", agent_id)
        key = prefix + plain("path" if prefix == FILE_PREFIX else "task_id", name)
        deadline = deadline_after(timeout)
        waiter = yield WAITER
        refusal = None
        if key not in self.claim_waiters.queues:  # nobody waits for it: no turn to take
            try:
                return getattr(self, method)(agent_id, name)
            except RuntimeError as held:
                refusal = held
        first = self.claim_waiters.join(key, waiter)
        try:
            while True:
                if self._closed:  # woken by close(), in the queue or first
                    raise self._closed_error()
                if first:
                    try:
                        return getattr(self, method)(agent_id, name)
                    except RuntimeError as held:
                        refusal = held
                if deadline is not None and seconds_left(deadline) == 0.0:
                    if refusal is None:  # timed out in the queue before its first try
                        return getattr(self, method)(agent_id, name)
                    raise refusal
                # The first waiter also tries again when the holder's lease may have lapsed.
                yield seconds_left(deadline, next_second() if first else None)
                first = first or self.claim_waiters.first(key, waiter)
        finally:
            self.claim_waiters.leave(key, waiter)

    def _let_go(self):
        # the waits sleeping on the object look again, and find it closed
        self.mail_waiters.wake_all()
        self.claim_waiters.wake_all()

    def __repr__(self):
        return "<InProcessCoordinationState %r>" % (self.native,)


def open_url(url: Optional[str], namespace: str) -> InProcessCoordinationState:
    """A new in-process object (``durnel.connect()`` without a URL): ``url`` is None, and
    ``namespace`` was checked and names nothing (every object is a group of its own)."""
    return InProcessCoordinationState()
