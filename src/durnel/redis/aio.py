"""AsyncRedisCoordinationState: the Redis engine for asyncio programs, on redis.asyncio.

The twin of ``RedisCoordinationState`` (engine.py), sharing everything but the I/O: the same
function library, the same Calls built and read back by ``methods.py`` and ``calls.py``, the
same sessions, retry policy (``retry.py``) and waits (``waits.py``, woken by ``aio_hub.py``).
Every guarantee of the sync engine holds, with these differences:

- a session belongs to one asyncio task, never to two at once: two tasks of one thread never
  replay or refuse each other's requests. When a task ends, its session (with the drains it
  has not settled yet) goes to the next new task of the object, whose first call settles
  them; a drain whose session makes no call within a second is settled by a task of the
  loop, and ``aclose()`` settles the rest;
- a cancelled call loses nothing. A call that changes state either ran or did not, and its
  session's next call cannot replay it by mistake (request ids only grow). A drain cancelled
  while its reply was on the way (or before it was sent) gives its batch back to the front
  of the inbox before the cancellation goes on (lua/abandon.lua): the next drain or wait of
  any task gets it at once, and the drain itself, should it reach the server later, runs
  nothing. A claim wait cancelled while queued leaves the queue (lua/leave_queue.lua), and the
  next waiter in line goes at once;
- the object and its client belong to the event loop that first uses them (redis.asyncio's
  connections do); make one per loop.
"""

import asyncio
import os
import weakref
from typing import Any, Optional, Union

import redis.asyncio
from redis.exceptions import ResponseError

from ..contract import FILE_PREFIX, TASK_PREFIX
from ..protocol import Message, Status
from ..urls import redacted
from ..waiting import AsyncWaiter
from . import calls, methods, retry, waits
from .aio_hub import AsyncHub
from .engine import (
    _READS,
    DEFAULT_REQUEST_TTL,
    DEFAULT_VISIBILITY_TIMEOUT,
    SETTLE_AFTER,
    NotReplicatedError,
    configure,
)
from .retry import DEFAULT_RETRIES
from .scripts import LIBRARY, SCRIPTS
from .session import Session

__all__ = ["AsyncRedisCoordinationState", "open_async_url"]


class AsyncRedisCoordinationState:
    """The coroutines of ``durnel.AsyncCoordination`` on a Redis server.

    ``client_or_url`` is a redis.asyncio client (``redis.asyncio.Redis`` or
    ``redis.asyncio.cluster.RedisCluster``) or a ``redis://``, ``rediss://`` or ``unix://``
    URL, from which a client of its own is made (closed by ``aclose()``). The options are
    those of ``RedisCoordinationState``.
    """

    def __init__(
        self,
        client_or_url: Union[str, Any],
        namespace: str = "default",
        *,
        log_maxlen: Optional[int] = None,
        request_ttl: int = DEFAULT_REQUEST_TTL,
        visibility_timeout: int = DEFAULT_VISIBILITY_TIMEOUT,
        retries: int = DEFAULT_RETRIES,
        replicas: int = 0,
        replica_timeout: float = 1.0,
    ) -> None:
        configure(
            self,
            namespace,
            log_maxlen,
            request_ttl,
            visibility_timeout,
            retries,
            replicas,
            replica_timeout,
        )
        self._owns_client = isinstance(client_or_url, str)
        self._client: Any = _client_for(client_or_url) if self._owns_client else client_or_url
        self._cluster = isinstance(self._client, redis.asyncio.cluster.RedisCluster)
        self._by_task = weakref.WeakKeyDictionary()  # task -> its session
        self._free = []  # sessions of ended tasks, for the next new task
        self._sessions = []  # every session, for aclose()
        self._settle_due = {}  # session -> when its last delivered drain is to be settled
        self._wake_hub = None
        self._hub_starting = None

    # ---- claims ----

    async def claim_file(self, agent_id: str, path: str) -> str:
        session = self._session()
        call = methods.claim(self._keys, self._options, session, calls.FILE, agent_id, path)
        return methods.claim_result(
            await self._run(session, call), self._keys, FILE_PREFIX, agent_id, path
        )

    async def claim_task(self, agent_id: str, task_id: str) -> str:
        session = self._session()
        call = methods.claim(self._keys, self._options, session, calls.TASK, agent_id, task_id)
        return methods.claim_result(
            await self._run(session, call), self._keys, TASK_PREFIX, agent_id, task_id
        )

    async def renew_claim(self, agent_id: str, resource_key: str) -> str:
        session = self._session()
        call = methods.renew(self._keys, self._options, session, agent_id, resource_key)
        reply = await self._run(session, call)
        return methods.renew_result(reply, self._keys, agent_id, resource_key)

    async def release(self, agent_id: str, resource_key: str) -> None:
        session = self._session()
        call = methods.release(self._keys, self._options, session, agent_id, resource_key)
        methods.release_result(await self._run(session, call), self._keys, agent_id)

    # ---- mailboxes ----

    async def send_message(self, from_agent: str, to_agent: str, content: str) -> Message:
        session = self._session()
        call = methods.send(self._keys, self._options, session, from_agent, to_agent, content)
        return methods.sent(await self._run(session, call), from_agent, to_agent, content)

    async def broadcast(self, from_agent: str, content: str) -> Message:
        session = self._session()
        call = methods.broadcast(self._keys, self._options, session, from_agent, content)
        return methods.broadcast_result(await self._run(session, call), from_agent, content)

    async def inbox(self, agent_id: str) -> list[Message]:
        session = self._session()
        call = methods.inbox(self._keys, self._options, session, agent_id)
        return methods.listed(await self._run(session, call), call, agent_id)

    async def drain_inbox(self, agent_id: str) -> list[Message]:
        session = self._session()
        call = methods.drain(self._keys, self._options, session, agent_id)
        drained = methods.drained(await self._drain(session, call), call, session, agent_id)
        if drained:
            self._settle_later(session)
        return drained

    # ---- statuses ----

    async def status(self, agent_id: str) -> Status:
        session = self._session()
        call = methods.status(self._keys, self._options, session, agent_id)
        return methods.status_result(await self._run(session, call), self._keys, agent_id)

    # ---- waits ----

    async def wait_for_messages(
        self, agent_id: str, timeout: Optional[float] = None
    ) -> list[Message]:
        session = self._session()
        steps = waits.message_waits(self._keys, self._options, session, agent_id, timeout)
        messages = await self._wait(session, steps)
        if messages:
            self._settle_later(session)
        return messages

    async def wait_claim_file(
        self, agent_id: str, path: str, timeout: Optional[float] = None
    ) -> str:
        return await self._wait_claim(calls.FILE, agent_id, path, timeout)

    async def wait_claim_task(
        self, agent_id: str, task_id: str, timeout: Optional[float] = None
    ) -> str:
        return await self._wait_claim(calls.TASK, agent_id, task_id, timeout)

    async def _wait_claim(self, kind, agent_id, name, timeout):
        session = self._session()
        pending = waits.Pending()
        steps = waits.claim_waits(
            self._keys, self._options, session, pending, kind, agent_id, name, timeout
        )
        return await self._wait(session, steps, pending)

    async def _wait(self, session, steps, pending=None):
        """Drives a wait's steps (waits.py) in this task; see RedisCoordinationState._wait."""
        waiter = AsyncWaiter()
        hub = None
        watched = []
        try:
            request = next(steps)
            while True:
                kind = type(request)
                if kind is calls.Call:
                    if request.script == "drain":
                        answer = await self._drain(session, request)
                    else:
                        answer = await self._run(session, request)
                elif kind is waits.Sleep:
                    answer = await waiter.sleep(request.seconds)
                    hub.check()
                else:
                    hub = await self._hub()
                    queues = hub.state.claims if request.claims else hub.state.mail
                    watched.append((request.channels, queues))
                    try:
                        await hub.watch(request.channels, queues, waiter)
                    except BaseException:
                        watched.pop()
                        raise
                    answer = hub.ticket() if request.claims else None
                request = steps.send(answer)
        except StopIteration as done:
            return done.value
        finally:
            steps.close()
            for channels, queues in watched:
                hub.unwatch(channels, queues, waiter)
            if pending is not None and pending.call is not None:
                try:
                    await asyncio.shield(self._run(session, pending.call))
                except Exception:  # the server is gone: the ticket dies with the hub
                    pass

    async def _hub(self):
        hub = self._wake_hub
        if hub is not None and hub.state.error is None:
            return hub
        if self._hub_starting is None:  # one task starts it; the others await the same start
            self._hub_starting = asyncio.ensure_future(self._start_hub(hub))
        try:
            return await asyncio.shield(self._hub_starting)
        finally:
            if self._hub_starting is not None and self._hub_starting.done():
                self._hub_starting = None

    async def _start_hub(self, old):
        if old is not None:
            await old.close()
        hub = AsyncHub(self._client, self._keys, self._retries, self._cluster)
        await hub.start()
        self._wake_hub = hub
        return hub

    # ---- beyond the contract ----

    async def settle(self) -> None:
        """Tells the server now that the drains whose replies arrived were delivered, for
        every session of this object (see RedisCoordinationState.settle)."""
        for session in [s for s in self._sessions if s.unsettled and s.pid == os.getpid()]:
            await self._settle(session)

    async def _settle(self, session):
        await self._run(session, calls.status(self._keys, self._options, session, b""))

    def _settle_later(self, session):
        """Settles the session's delivered drains in a second unless a call of its own does it
        first: one timer per session at a time, like the sync engine's settler thread."""
        loop = asyncio.get_running_loop()
        due = self._settle_due
        if session not in due:
            loop.call_later(SETTLE_AFTER, self._settle_soon, session)
        due[session] = loop.time() + SETTLE_AFTER

    def _settle_soon(self, session):
        left = self._settle_due.get(session, 0.0) - asyncio.get_running_loop().time()
        if left > 0.001:  # drained again since: wait for that drain's second
            asyncio.get_running_loop().call_later(left, self._settle_soon, session)
            return
        self._settle_due.pop(session, None)
        if session.unsettled:
            asyncio.ensure_future(self._settle_quietly(session))

    async def _settle_quietly(self, session):
        try:
            await self._settle(session)
        except Exception:  # the server is gone: the timeout brings the batch back
            pass

    async def delete_namespace(self) -> int:
        """Deletes every key of this object's namespace and nothing else; returns how many."""
        deleted = 0
        batch = []
        async for key in self._client.scan_iter(match=calls.key_pattern(self.namespace)):
            batch.append(key)
            if len(batch) == 500:
                deleted += await self._client.delete(*batch)
                batch = []
        if batch:
            deleted += await self._client.delete(*batch)
        return deleted

    async def aclose(self) -> None:
        """Settles delivered drains, stops the hub, then closes the client made from a URL; a
        client passed in is left to its owner."""
        try:
            await self.settle()
        except retry.LOST:
            pass  # the server is gone: those batches come back after the visibility timeout
        finally:
            if self._wake_hub is not None:
                await self._wake_hub.close()
                self._wake_hub = None
            if self._owns_client:
                await self._client.aclose()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        await self.aclose()

    def __repr__(self):
        return "<AsyncRedisCoordinationState namespace=%r on %r>" % (self.namespace, self._client)

    # ---- sessions and I/O ----

    def _session(self):
        task = asyncio.current_task()
        session = self._by_task.get(task)
        if session is None or session.pid != os.getpid():
            free = self._free
            while free and free[-1].pid != os.getpid():
                free.pop()
            if free:
                session = free.pop()
            else:
                session = Session(self._keys.prefix)
                self._sessions = [s for s in self._sessions if s.pid == session.pid]
                self._sessions.append(session)
            self._by_task[task] = session
            task.add_done_callback(self._task_done)
        return session

    def _task_done(self, task):
        session = self._by_task.pop(task, None)
        if session is not None:
            self._free.append(session)

    async def _drain(self, session, call):
        """A drain; cancelled or interrupted before its reply was read, it gives its batch
        back before the cancellation goes on (lua/abandon.lua)."""
        try:
            return await self._run(session, call)
        except BaseException as error:
            if not isinstance(error, Exception):
                give_back = calls.abandon(self._keys, self._options, session, call)
                try:
                    await asyncio.shield(self._run(session, give_back))
                except Exception:  # the server is gone: the batch waits for the timeout
                    pass
            raise

    async def _send(self, function, call):
        client = self._client
        args = (function, len(call.keys), *call.keys, *call.args)
        if not self._replicas or call.script in _READS:
            return await client.fcall(*args)
        wait = ("WAIT", self._replicas, self._replica_timeout_ms)
        if self._cluster:
            reply = await client.fcall(*args)
            node = client.get_node_from_key(call.keys[0])
            acknowledged = await client.execute_command(*wait, target_nodes=node)
        else:
            pipe = client.pipeline(transaction=False)
            pipe.fcall(*args)
            pipe.execute_command(*wait)
            reply, acknowledged = await pipe.execute()
        if acknowledged < self._replicas:
            raise NotReplicatedError(
                "the call took effect on the primary, but %d of the %d replicas asked for "
                "acknowledged it within %d ms" % (acknowledged, self._replicas, wait[2])
            )
        return reply

    async def _run(self, session, call):
        """RedisCoordinationState._run, awaited."""
        function = SCRIPTS[call.script].function
        attempt = 0
        while True:
            try:
                try:
                    reply = await self._send(function, call)
                except ResponseError as error:
                    if not retry.missing_library(error):
                        raise
                    await self._client.function_load(LIBRARY.source, replace=True)
                    reply = await self._send(function, call)
            except retry.RETRIED as error:
                wait = retry.delay(error, attempt, self._retries)
                if wait is None:
                    raise
                await asyncio.sleep(wait)
                attempt += 1
                continue
            if call.settles:
                session.settled(call.settles)
            return reply


def _client_for(url):
    """A redis.asyncio client for `url`, whose failed calls are retried by the engine alone."""
    from redis.asyncio.retry import Retry
    from redis.backoff import NoBackoff

    try:
        return redis.asyncio.Redis.from_url(
            url, socket_connect_timeout=5, socket_timeout=30, retry=Retry(NoBackoff(), 0)
        )
    except ValueError as error:
        raise ValueError("bad coordination URL %r: %s" % (redacted(url), error)) from None


def open_async_url(url: str, namespace: str) -> AsyncRedisCoordinationState:
    """The asyncio engine for a ``redis://``, ``rediss://`` or ``unix://`` URL."""
    return AsyncRedisCoordinationState(url, namespace)
