"""AsyncSQLiteCoordinationState: the SQLite engine for asyncio programs, as coroutines that
never block the event loop.

Every call runs in one thread of the object's own (a single-worker executor, made again in
a forked child, where its parent's thread does not run), never on the loop: a call takes the
file's write lock and may wait for it up to ``busy_timeout``, and the sqlite3 module blocks
while it does. One thread, not a pool: writes are serialised by the
file anyway, one thread keeps one connection (a pool would open one per thread, each
contending for the same lock), and the calls of the object run in the order they were made.
asyncio's default executor is left to the program. The waits sleep on the loop itself,
through its selector watching the wait's socket (wakes.py), so a thousand waiting tasks take
no thread; their steps are those of the synchronous object (waits.py).

Cancellation loses nothing. A call still queued for the thread never runs. A call that was
running when its task was cancelled, or had just completed, completes in the thread, and
then: a drain's messages are put back in the file in front of the inbox, in their order, as
they were (sql.restore), for the next drain by any object or process; a claim, plain or
waited for, is released again (the log shows both); a wait's place in a line is given up.
That hand-back comes before any call of the object made after the cancellation: a call in
the thread learns, before it returns, whether its task was cancelled, and then hands back
in the same turn of the thread; one cancelled after it returned hands back as the next call
that the cancellation queues (calls queued meanwhile found it delivered). Sends, broadcasts,
renewals, releases, revokes and namespace deletions that ran take effect, as with a reply
that was lost.

``aclose()`` (``durnel.lifecycle``) waits for the calls already asked of the thread, closes
the thread's connection and ends the thread; it closes the SQLiteCoordinationState too when
the object made it (``durnel.aio.connect(url)``), not one given to it (``durnel.aio.view``).
A wait running meanwhile raises ClosedError at its next look.
"""

import asyncio
import os
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Optional

from ..arguments import plain
from ..contract import FILE_PREFIX, METHODS, TASK_PREFIX, WAITS
from ..lifecycle import AsyncClosing
from ..protocol import Message, Status
from ..waiting import Work, run_waits_async
from . import waits
from .engine import SQLiteCoordinationState, messages_of, open_url
from .wakes import AsyncSocketWaiter

__all__ = ["AsyncSQLiteCoordinationState", "open_async_url", "view"]


class AsyncSQLiteCoordinationState(AsyncClosing):
    """The coroutines of ``durnel.AsyncCoordination`` over ``state``, a
    SQLiteCoordinationState (``.sync``), with which it shares the file and the connection
    settings. ``aclose()`` ends its thread, and leaves ``state`` open."""

    _CLOSED_METHODS = METHODS + WAITS + ("revoke", "delete_namespace")
    _CLOSED_HELPERS = ("_offload", "_wait")

    def __init__(self, state: SQLiteCoordinationState) -> None:
        if not isinstance(state, SQLiteCoordinationState):
            raise TypeError(
                "state must be a SQLiteCoordinationState, not %s" % type(state).__qualname__
            )
        if state.closed:
            raise state._closed_error()
        self.sync = state
        self._owns_state = False  # (open_async_url's object closes the state it made)
        self._threads = (os.getpid(), _new_thread())

    @property
    def _executor(self):
        """The object's thread (an executor of one), this process's."""
        pid, executor = self._threads
        if pid != os.getpid():  # a forked child: the parent's thread is not here
            self._threads = pid, executor = os.getpid(), _new_thread()
        return executor

    @property
    def path(self) -> str:
        return self.sync.path

    @property
    def namespace(self) -> str:
        return self.sync.namespace

    @property
    def object_id(self) -> str:
        """The id that presence records for this object's calls: its SQLiteCoordinationState's."""
        return self.sync.object_id

    @property
    def ephemeral_claims(self) -> bool:
        return self.sync.ephemeral_claims

    # ---- the nine methods ----

    async def claim_file(self, agent_id: str, path: str) -> str:
        return await self._claim(self.sync.claim_file, FILE_PREFIX, agent_id, path)

    async def claim_task(self, agent_id: str, task_id: str) -> str:
        return await self._claim(self.sync.claim_task, TASK_PREFIX, agent_id, task_id)

    async def renew_claim(self, agent_id: str, resource_key: str) -> str:
        return await self._offload(Work(self.sync.renew_claim, agent_id, resource_key))

    async def release(self, agent_id: str, resource_key: str) -> None:
        return await self._offload(Work(self.sync.release, agent_id, resource_key))

    async def send_message(self, from_agent: str, to_agent: str, content: str) -> Message:
        return await self._offload(Work(self.sync.send_message, from_agent, to_agent, content))

    async def broadcast(self, from_agent: str, content: str) -> Message:
        return await self._offload(Work(self.sync.broadcast, from_agent, content))

    async def inbox(self, agent_id: str) -> list[Message]:
        return await self._offload(Work(self.sync.inbox, agent_id))

    async def drain_inbox(self, agent_id: str) -> list[Message]:
        agent = plain("agent_id", agent_id)

        def restored(result, later):
            if result[0]:  # drained for a caller that never got them: back in the file
                later(self.sync._restore, agent, result[0])

        taken = await self._offload(Work(self.sync._drain_waiting, agent, None, orphaned=restored))
        return messages_of(taken[0])

    async def status(self, agent_id: str) -> Status:
        return await self._offload(Work(self.sync.status, agent_id))

    # ---- for an operator, beyond the contract ----

    async def revoke(self, resource_key: str, by: str) -> str:
        """``SQLiteCoordinationState.revoke``: frees the claim whoever holds it; the holder."""
        return await self._offload(Work(self.sync.revoke, resource_key, by))

    async def delete_namespace(self) -> int:
        """``SQLiteCoordinationState.delete_namespace``: how many rows were deleted."""
        return await self._offload(Work(self.sync.delete_namespace))

    # ---- waits ----

    async def wait_for_messages(
        self, agent_id: str, timeout: Optional[float] = None
    ) -> list[Message]:
        return await self._wait(waits.message_waits(self.sync, agent_id, timeout))

    async def wait_claim_file(
        self, agent_id: str, path: str, timeout: Optional[float] = None
    ) -> str:
        return await self._wait(waits.claim_waits(self.sync, FILE_PREFIX, agent_id, path, timeout))

    async def wait_claim_task(
        self, agent_id: str, task_id: str, timeout: Optional[float] = None
    ) -> str:
        return await self._wait(
            waits.claim_waits(self.sync, TASK_PREFIX, agent_id, task_id, timeout)
        )

    # ---- the thread ----

    async def _let_go(self) -> None:
        pid, executor = self._threads
        try:
            if pid == os.getpid():
                connections = self.sync._connections
                try:
                    done = executor.submit(connections.close)  # after the calls before it
                finally:
                    executor.shutdown(wait=False)
                await asyncio.wrap_future(done)
        finally:
            if self._owns_state:
                self.sync.close()

    def __repr__(self):
        return "<AsyncSQLiteCoordinationState namespace=%r in %r>" % (self.namespace, self.path)

    async def _claim(self, call, prefix, agent_id, name):
        def released(agent, later):
            later(self.sync._release_quietly, agent, prefix + str.__str__(name))

        return await self._offload(Work(call, agent_id, name, orphaned=released))

    async def _wait(self, steps):
        waiter = AsyncSocketWaiter(self.sync._wakes, self._executor)
        try:
            return await run_waits_async(steps, waiter, self._offload)
        finally:
            waiter.close()

    async def _offload(self, work):
        """Runs ``work`` in the object's thread; if the awaiting task is cancelled while it
        runs, or before it resumes, its result goes to ``work.orphaned``."""
        orphaned = work.orphaned
        call, arguments = (work.function, work.arguments) if orphaned is None else (_Call(work), ())
        try:
            future = self._executor.submit(call, *arguments)
        except RuntimeError:
            if self._closed:  # a wait that went on while the object was closed
                raise self._closed_error() from None
            raise
        try:
            return await asyncio.wrap_future(future)
        except asyncio.CancelledError:
            if orphaned is not None and call.cancel():  # it had returned: hand back now
                self._later(_hand_back, orphaned, future)
            raise

    def _later(self, function, *arguments):
        try:
            self._executor.submit(function, *arguments)
        except RuntimeError:  # shut down meanwhile: the work is done here
            function(*arguments)


class _Call:
    """A call whose result may never reach its task: it learns, in the object's thread and
    before it returns, whether that task was cancelled, and then hands the result back there
    and then (``work.orphaned``), before the thread takes its next call."""

    __slots__ = ("cancelled", "lock", "returned", "work")

    def __init__(self, work):
        self.work = work
        self.lock = threading.Lock()
        self.cancelled = self.returned = False

    def __call__(self):
        result = self.work.function(*self.work.arguments)
        with self.lock:
            self.returned = not self.cancelled
        if not self.returned:
            self.work.orphaned(result, _at_once)
        return result

    def cancel(self):
        """Its task was cancelled: whether the call had returned its result (which the caller
        then hands back), rather than handing it back itself (or never running)."""
        with self.lock:
            self.cancelled = True
            return self.returned


def _at_once(function, *arguments):
    function(*arguments)


def _hand_back(orphaned, future):
    """In the object's thread, after the call of ``future``: its result to ``orphaned``."""
    orphaned(future.result(), _at_once)


def _new_thread():
    return ThreadPoolExecutor(1, thread_name_prefix="durnel-sqlite")


def open_async_url(url: str, namespace: str) -> AsyncSQLiteCoordinationState:
    """The asyncio object for a ``sqlite:///`` URL (see ``open_url``); ``aclose()`` closes the
    SQLiteCoordinationState it makes for itself."""
    state = AsyncSQLiteCoordinationState(open_url(url, namespace))
    state._owns_state = True
    return state


def view(state: SQLiteCoordinationState) -> AsyncSQLiteCoordinationState:
    """The asyncio view of an object that ``durnel.connect()`` made (``durnel.aio.view``)."""
    return AsyncSQLiteCoordinationState(state)
