"""AsyncInProcessCoordinationState: an asyncio view of an InProcessCoordinationState.

The nine methods run inline (a native call takes about a microsecond; handing it to a thread
would cost far more); the waits sleep on asyncio futures. The view shares the object's waiter
queues, so a send through the object wakes a task waiting through the view and a send through
the view wakes a thread waiting on the object. A cancelled wait takes nothing: its drain or
claim happens only between two of its sleeps, never across an await.

Closing the view (``aclose()``, ``durnel.lifecycle``) closes the object it shares only if the
view made it (``durnel.aio.connect()``); a view of an object that ``durnel.connect()`` gave
leaves it open, for its threads. A wait already running through a view goes on until it
ends, unless the object it shares is closed.
"""

from typing import TYPE_CHECKING, Optional

from ..contract import FILE_PREFIX, METHODS, TASK_PREFIX, WAITS
from ..lifecycle import AsyncClosing
from ..protocol import Message, Status
from ..waiting import run_waits_async
from .engine import InProcessCoordinationState

__all__ = ["AsyncInProcessCoordinationState", "open_async_url", "view"]


class AsyncInProcessCoordinationState(AsyncClosing):
    """The coroutines of ``durnel.AsyncCoordination`` over ``state`` (a new in-process state if
    None, which ``aclose()`` then closes too); ``.sync`` is the InProcessCoordinationState it
    shares everything with."""

    _CLOSED_METHODS = METHODS + WAITS

    def __init__(self, state: Optional[InProcessCoordinationState] = None) -> None:
        self._owns_state = state is None
        if state is None:
            state = InProcessCoordinationState()
        elif not isinstance(state, InProcessCoordinationState):
            raise TypeError(
                "state must be an InProcessCoordinationState, not %s" % type(state).__qualname__
            )
        elif state.closed:
            raise state._closed_error()
        self.sync = state

    if TYPE_CHECKING:

        async def claim_file(self, agent_id: str, path: str) -> str: ...
        async def claim_task(self, agent_id: str, task_id: str) -> str: ...
        async def renew_claim(self, agent_id: str, resource_key: str) -> str: ...
        async def release(self, agent_id: str, resource_key: str) -> None: ...
        async def send_message(self, from_agent: str, to_agent: str, content: str) -> Message: ...
        async def broadcast(self, from_agent: str, content: str) -> Message: ...
        async def inbox(self, agent_id: str) -> list[Message]: ...
        async def drain_inbox(self, agent_id: str) -> list[Message]: ...
        async def status(self, agent_id: str) -> Status: ...

    else:
        # Arguments pass through untouched, so arity and type errors are the native ones.

        async def claim_file(self, *args, **kwargs):
            return self.sync.claim_file(*args, **kwargs)

        async def claim_task(self, *args, **kwargs):
            return self.sync.claim_task(*args, **kwargs)

        async def renew_claim(self, *args, **kwargs):
            return self.sync.renew_claim(*args, **kwargs)

        async def release(self, *args, **kwargs):
            return self.sync.release(*args, **kwargs)

        async def send_message(self, *args, **kwargs):
            return self.sync.send_message(*args, **kwargs)

        async def broadcast(self, *args, **kwargs):
            return self.sync.broadcast(*args, **kwargs)

        async def inbox(self, *args, **kwargs):
            return self.sync.inbox(*args, **kwargs)

        async def drain_inbox(self, *args, **kwargs):
            return self.sync.drain_inbox(*args, **kwargs)

        async def status(self, *args, **kwargs):
            return self.sync.status(*args, **kwargs)

    async def wait_for_messages(
        self, agent_id: str, timeout: Optional[float] = None
    ) -> list[Message]:
        return await run_waits_async(self.sync._message_waits(agent_id, timeout))

    async def wait_claim_file(
        self, agent_id: str, path: str, timeout: Optional[float] = None
    ) -> str:
        return await run_waits_async(self.sync._claim_waits(FILE_PREFIX, agent_id, path, timeout))

    async def wait_claim_task(
        self, agent_id: str, task_id: str, timeout: Optional[float] = None
    ) -> str:
        return await run_waits_async(
            self.sync._claim_waits(TASK_PREFIX, agent_id, task_id, timeout)
        )

    async def _let_go(self):
        if self._owns_state:
            self.sync.close()

    def __repr__(self):
        return "<AsyncInProcessCoordinationState %r>" % (self.sync.native,)


def view(state: InProcessCoordinationState) -> AsyncInProcessCoordinationState:
    """The asyncio view of an object that ``durnel.connect()`` made (``durnel.aio.view``)."""
    return AsyncInProcessCoordinationState(state)


def open_async_url(url: Optional[str], namespace: str) -> AsyncInProcessCoordinationState:
    """A view of a new in-process object (``durnel.aio.connect()`` without a URL)."""
    return AsyncInProcessCoordinationState()
