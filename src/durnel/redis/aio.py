"""AsyncRedisCoordinationState: the Redis engine for asyncio programs, on redis.asyncio.

The twin of ``RedisCoordinationState`` (engine.py), sharing everything but the I/O: the same
function library, the same Calls built and read back by ``methods.py`` and ``calls.py``, the
same sessions, retry policy (``retry.py``) and waits (``waits.py``, woken by ``aio_hub.py``).
Every guarantee of the sync engine holds, with these differences:

- a session belongs to one asyncio task, never to two at once: two tasks of one thread never
  replay or refuse each other's requests. When a task ends, its session (with the drains it
  has not settled yet) goes to the next new task of the object, whose first call settles
  them (at most ``FREE_SESSIONS`` wait so; the others are dropped once settled);
- a drain whose session makes no call within a second is settled by a task of the loop that
  holds what it needs but not the object, so a dropped object's drains are settled too. When
  ``asyncio.run`` ends the loop, it cancels that task, which settles at once. If the loop is
  closed or stops running without that (``loop.close()`` after ``run_until_complete``), the
  process's settler (settling.py) settles the session a few seconds later, or at interpreter
  exit, on a connection of its own made with the client's settings;
- a cancelled call raises CancelledError, however the cancellation lands (cancellation.py),
  and hands back what it took before the cancellation goes on: a drain or a message wait its
  batch, to the front of the inbox (lua/abandon.lua), where the next drain of any task gets
  it at once; a claim or a claim wait its claim, released to the next waiter, and its ticket
  (lua/abandon_claim.lua). The call itself, should it reach the server later, runs nothing.
  Any other call that changes state either ran or did not, and its session's next call
  cannot replay it by mistake (request ids only grow);
- the object and its client belong to the event loop that first uses them (redis.asyncio's
  connections do); make one per loop. Dropped without ``aclose()`` while its loop runs, the
  object's listener and the connections of a client it made are closed by a task of the loop.

``aclose()`` (``durnel.lifecycle``) settles the delivered drains, ends the waits that sleep on
the object (they raise ClosedError at once) and its listener, and closes a client made from a
URL (or any client, with ``close_client=True``).
"""

import asyncio
import functools
import os
import time
import weakref
from typing import Optional, Union

import redis.asyncio
import redis.asyncio.cluster
from redis.exceptions import ResponseError

from ..contract import FILE_PREFIX, TASK_PREFIX
from ..lifecycle import AsyncClosing
from ..protocol import Message, Status
from ..urls import redacted
from ..waiting import AsyncWaiter, WaitQueues
from . import calls, liveness, methods, retry, settling, waits
from .aio_hub import AsyncHub, own_client
from .background import in_background
from .cancellation import unswallowed
from .engine import _READS, CLOSED_HELPERS, CLOSED_METHODS
from .errors import NotReplicatedError, OtherLoopError
from .liveness import ALIVE_TTL, KEEP_EVERY, alive_key
from .retry import DEFAULT_RETRIES
from .scripts import LIBRARY, SCRIPTS
from .session import Session
from .settings import DEFAULT_REQUEST_TTL, DEFAULT_VISIBILITY_TIMEOUT, Settings
from .settling import SETTLE_AFTER, SETTLER

__all__ = ["AsyncRedisCoordinationState", "open_async_url"]

FREE_SESSIONS = 16  # sessions of ended tasks kept for new tasks, per object
BACKSTOP_AFTER = 2.0  # seconds the loop has to settle a session before the settler looks


class AsyncSender:
    """The asyncio engine's I/O (engine.Sender, awaited), and the settling of its sessions'
    drains on the loop. Holds the client and the options, never the engine object."""

    def __init__(self, engine):
        self.client = engine._client
        self.cluster = engine._cluster
        self.retries = engine._retries
        self.replicas = engine._replicas
        self.replica_timeout_ms = engine._replica_timeout_ms
        self.keys = engine._keys
        self.options = engine._options
        self.settle_due = {}  # session -> loop time its settling task waits for
        self._backstop = None

    def on(self, client):
        """This sender on another client, of one node."""
        other = object.__new__(AsyncSender)
        other.__dict__.update(self.__dict__, client=client, cluster=False, settle_due={})
        other._backstop = None
        return other

    async def send(self, function, call):
        client = self.client
        args = (function, len(call.keys), *call.keys, *call.args)
        if not self.replicas or (call.script in _READS and not call.settles):
            return await client.fcall(*args)
        wait = ("WAIT", self.replicas, self.replica_timeout_ms)
        if self.cluster:
            reply = await client.fcall(*args)
            node = client.get_node_from_key(call.keys[0])
            acknowledged = await client.execute_command(*wait, target_nodes=node)
        else:
            pipe = client.pipeline(transaction=False)
            pipe.fcall(*args)
            pipe.execute_command(*wait)
            reply, acknowledged = await pipe.execute()
        if acknowledged < self.replicas:
            raise NotReplicatedError(
                "the call took effect on the primary, but %d of the %d replicas asked for "
                "acknowledged it within %d ms" % (acknowledged, self.replicas, wait[2])
            )
        return reply

    async def run(self, session, call, deadline=None):
        """engine.Sender.run, awaited."""
        function = SCRIPTS[call.script].function
        attempt = 0
        sent = call
        while True:
            try:
                try:
                    reply = await self.send(function, sent)
                except ResponseError as error:
                    if not retry.missing_library(error):
                        raise
                    await self.client.function_load(LIBRARY.source, replace=True)
                    reply = await self.send(function, sent)
            except retry.RETRIED as error:
                wait = retry.delay(error, attempt, self.retries)
                if wait is None or (deadline is not None and time.monotonic() + wait > deadline):
                    raise
                await asyncio.sleep(wait)
                attempt += 1
                sent = calls.retried(call)
                continue
            if call.settles:
                session.settled(call.settles)
            return reply

    async def settle(self, session):
        if session.unsettled:
            until = settling.deadline(session, int(self.options.visibility))
            await self.run(session, calls.status(self.keys, self.options, session, b""), until)

    def settle_later(self, session):
        """Settles the session's delivered drains in a second unless a call of its own does it
        first: one task per session at a time, and the settler's backstop behind it."""
        loop = asyncio.get_running_loop()
        if session not in self.settle_due:
            in_background(self._settle_when_due(session))
        visibility = int(self.options.visibility)
        self.settle_due[session] = loop.time() + settling.settle_after(visibility)
        backstop = self._backstop
        if backstop is None or backstop.loop is not loop:
            backstop = self._backstop = _Backstop(self, loop)
        SETTLER.schedule(session, backstop, min(SETTLE_AFTER + BACKSTOP_AFTER, visibility / 2))

    async def _settle_when_due(self, session):
        loop = asyncio.get_running_loop()
        try:
            while True:
                left = self.settle_due.get(session, 0.0) - loop.time()
                if left <= 0.001:
                    break
                await asyncio.sleep(left)
        except asyncio.CancelledError:  # the loop is ending (asyncio.run): settle now
            self.settle_due.pop(session, None)
            await self._settle_quietly(session)
            raise
        self.settle_due.pop(session, None)
        await self._settle_quietly(session)

    async def _settle_quietly(self, session):
        try:
            await self.settle(session)
        except Exception:  # the server is gone: the timeout brings the batch back
            pass

    async def settle_pending(self):
        """Settles now every session that waits for its settling task."""
        sessions = list(self.settle_due)
        self.settle_due.clear()
        for session in sessions:
            await self._settle_quietly(session)


class _Backstop:
    """The settler's runner (settling.py) for an asyncio object's sessions: while their loop
    runs, the loop's own task settles them; once it is closed or stopped (or the interpreter
    ends), a connection of its own, made with the client's settings, in a loop of its own."""

    def __init__(self, sender, loop):
        self.sender = sender
        self.loop = loop

    @property
    def server(self):
        """What settles go through, one at a time (settling.py): the client."""
        return self.sender.client

    def settle(self, session, final):
        if not final and self.loop.is_running():
            return False
        asyncio.run(self._settle(session))
        return True

    async def _settle(self, session):
        sender = self.sender
        client = own_client(sender.client, sender.keys.claims if sender.cluster else None)
        try:
            await sender.on(client).settle(session)
        finally:
            await client.aclose()


class _Belongings:
    """What an object holds that must be let go when it is dropped without aclose()."""

    __slots__ = ("hub", "owns_client")

    def __init__(self, owns_client):
        self.hub = None
        self.owns_client = owns_client


def _dropped(loop, sender, belongings):
    # a finalizer, in whatever thread dropped the object: the rest is done on its loop
    try:
        loop.call_soon_threadsafe(_let_go_soon, sender, belongings)
    except RuntimeError:  # the loop is closed: its sockets go with the garbage
        pass


def _let_go_soon(sender, belongings):
    in_background(_let_go(sender, belongings))


async def _let_go(sender, belongings):
    if belongings.hub is not None:
        await belongings.hub.close()
    await sender.settle_pending()
    if belongings.owns_client:
        await sender.client.aclose()


class AsyncRedisCoordinationState(Settings, AsyncClosing):
    """The coroutines of ``durnel.AsyncCoordination`` on a Redis server.

    ``client_or_url`` is a redis.asyncio client (``redis.asyncio.Redis`` or
    ``redis.asyncio.cluster.RedisCluster``) or a ``redis://``, ``rediss://`` or ``unix://``
    URL, from which a client of its own is made. The options are those of
    ``RedisCoordinationState``; ``aclose()`` closes the client as ``close_client`` says.
    """

    _CLOSED_METHODS = CLOSED_METHODS
    _CLOSED_HELPERS = CLOSED_HELPERS

    def __init__(
        self,
        client_or_url: Union[str, redis.asyncio.Redis, redis.asyncio.cluster.RedisCluster],
        namespace: str = "default",
        *,
        log_maxlen: Optional[int] = None,
        request_ttl: int = DEFAULT_REQUEST_TTL,
        visibility_timeout: int = DEFAULT_VISIBILITY_TIMEOUT,
        retries: int = DEFAULT_RETRIES,
        replicas: int = 0,
        replica_timeout: float = 1.0,
        close_client: Optional[bool] = None,
        ephemeral_claims: bool = False,
    ) -> None:
        self._set_up(
            client_or_url,
            _client_for,
            redis.asyncio.cluster.RedisCluster,
            close_client,
            namespace,
            log_maxlen,
            request_ttl,
            visibility_timeout,
            retries,
            replicas,
            replica_timeout,
            ephemeral_claims,
        )
        self._sender = AsyncSender(self)
        # task -> its session
        self._by_task: weakref.WeakKeyDictionary[asyncio.Task, Session]
        self._by_task = weakref.WeakKeyDictionary()
        self._free: list[Session] = []  # sessions of ended tasks, for the next new task
        # every session in use or waiting, for settle()
        self._sessions: weakref.WeakSet[Session] = weakref.WeakSet()
        self._belongings = _Belongings(self._owns_client)
        # lets go of the belongings if the object is dropped
        self._dropper: Optional[weakref.finalize] = None
        self._loop: Optional[asyncio.AbstractEventLoop] = None  # the loop of the first use
        self._wake_hub: Optional[AsyncHub] = None
        self._hub_starting: Optional[asyncio.Future[AsyncHub]] = None
        self._keeper: Optional[asyncio.Task] = None  # sets the alive key again (liveness.py)

    # ---- claims ----

    async def claim_file(self, agent_id: str, path: str) -> str:
        session = self._session()
        call = methods.claim(self._keys, self._options, session, calls.FILE, agent_id, path)
        reply = await self._take(session, call, calls.abandon_claim)
        return methods.claim_result(reply, self._keys, FILE_PREFIX, agent_id, path)

    async def claim_task(self, agent_id: str, task_id: str) -> str:
        session = self._session()
        call = methods.claim(self._keys, self._options, session, calls.TASK, agent_id, task_id)
        reply = await self._take(session, call, calls.abandon_claim)
        return methods.claim_result(reply, self._keys, TASK_PREFIX, agent_id, task_id)

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
        reply = await self._take(session, call, calls.abandon)
        drained = methods.drained(reply, call, session, agent_id)
        if drained:
            self._sender.settle_later(session)
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
        pending = waits.Pending()
        steps = waits.message_waits(self._keys, self._options, session, pending, agent_id, timeout)
        messages = await self._wait(session, steps, pending)
        if messages:
            self._sender.settle_later(session)
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
        hub: Optional[AsyncHub] = None
        watched: list[tuple[tuple, WaitQueues]] = []
        try:
            request = next(steps)
            while True:
                kind = type(request)
                if kind is calls.Call:
                    if request.script == "drain":
                        answer = await self._take(session, request, calls.abandon)
                    else:
                        answer = await self._run(session, request)
                elif kind is waits.Sleep:
                    answer = await waiter.sleep(request.seconds)
                    if hub is not None:  # (a wait sleeps once it watches)
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
                    answer = hub.ticket()
                request = steps.send(answer)
        except StopIteration as done:
            return done.value
        finally:
            steps.close()
            if hub is not None:  # (watched holds something only once there is one)
                for channels, queues in watched:
                    hub.unwatch(channels, queues, waiter)
            if pending is not None and pending.call is not None:
                try:  # shielded: a second cancellation does not stop the hand-back
                    await asyncio.shield(self._sender.run(session, pending.call))
                except Exception:  # the server is gone: the ticket dies with the hub or expires
                    pass

    async def _hub(self):
        if self._closed:  # a wait that went on while the object was closed
            raise self._closed_error()
        hub = self._wake_hub
        if hub is not None and hub.state.error is None:
            return hub
        if self._hub_starting is None:  # one task starts it; the others await the same start
            self._hub_starting = in_background(self._start_hub(hub))
        starting = self._hub_starting
        try:
            return await asyncio.shield(starting)
        finally:
            if self._hub_starting is not None and self._hub_starting.done():
                self._hub_starting = None

    async def _start_hub(self, old):
        if old is not None:
            await old.close()
        hub = AsyncHub(self._client, self._keys, self._retries, self._cluster)
        await hub.start()
        self._wake_hub = self._belongings.hub = hub
        return hub

    # ---- beyond the contract ----

    async def settle(self) -> None:
        """Tells the server now that the drains whose replies arrived were delivered, for
        every session of this object (see RedisCoordinationState.settle)."""
        await self._settle_all()

    async def _settle_all(self):
        for session in [s for s in self._sessions if s.unsettled and s.pid == os.getpid()]:
            await self._sender.settle(session)

    async def revoke(self, resource_key: str, by: str) -> str:
        """Frees the claim on ``resource_key`` whoever holds it (RedisCoordinationState's
        ``revoke``); returns the holder."""
        session = self._session()
        call = methods.revoke(self._keys, self._options, session, resource_key, by)
        return methods.revoke_result(await self._run(session, call), self._keys, resource_key)

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

    async def _let_go(self) -> None:
        """Settles delivered drains, ends the waits and the hub, then closes the client if the
        object owns it."""
        if self._dropper is not None:
            self._dropper.detach()
        if self._keeper is not None:
            self._keeper.cancel()
        try:
            await self._settle_all()
            if self.ephemeral_claims:  # its claims lapse now, not ALIVE_TTL from now
                key = alive_key(self._keys, self._options.presence.current_id())
                await self._client.delete(key)
        except retry.LOST:
            pass  # the server is gone: those batches come back after the visibility timeout
        finally:
            if self._wake_hub is not None:
                await self._wake_hub.close(self._closed_error())
                self._wake_hub = self._belongings.hub = None
            if self._owns_client:
                await self._client.aclose()

    # ---- sessions and I/O ----

    def _session(self):
        task = asyncio.current_task()
        assert task is not None  # (a coroutine of the object runs in a task)
        session = self._by_task.get(task)
        if session is None or session.pid != os.getpid():
            loop = asyncio.get_running_loop()
            if self._dropper is None:  # the first use: the object belongs to this loop
                self._dropper = weakref.finalize(
                    self, _dropped, loop, self._sender, self._belongings
                )
                self._dropper.atexit = False  # at exit, the loop runs no more
                self._loop = loop
                if self.ephemeral_claims:
                    self._keeper = loop.create_task(_keep(weakref.ref(self)))
            elif loop is not self._loop and self._loop is not None:
                raise OtherLoopError(
                    "%r belongs to the event loop that first used it, not this one: make one "
                    "object per event loop" % (self,)
                )
            free = self._free
            while free and free[-1].pid != os.getpid():
                free.pop()
            if free:
                session = free.pop()
            else:
                session = Session(self._keys.prefix)
                self._sessions.add(session)
            self._by_task[task] = session
            task.add_done_callback(functools.partial(_task_done, weakref.ref(self)))
        return session

    async def _run(self, session, call):
        """One call with its retries (AsyncSender.run), raising CancelledError if this task
        was cancelled meanwhile, even where redis.asyncio swallowed it (cancellation.py)."""
        return await unswallowed(self._sender.run(session, call))

    async def _take(self, session, call, give_back):
        """A drain or a claim; cancelled before its reply was read (or while the reply was on
        the way), it hands back what it may have taken before the cancellation goes on
        (``give_back``: calls.abandon or calls.abandon_claim)."""
        try:
            return await self._run(session, call)
        except BaseException as error:
            if not isinstance(error, Exception):
                hand_back = give_back(self._keys, self._options, session, call)
                try:  # shielded: a second cancellation does not stop the hand-back
                    await asyncio.shield(self._sender.run(session, hand_back))
                except Exception:  # the server is gone: a batch waits for the timeout
                    pass
            raise


def _task_done(engine_ref, task):
    # a weak reference: a task that used an object does not keep it (and its hub) alive
    engine = engine_ref()
    if engine is None:
        return
    session = engine._by_task.pop(task, None)
    if session is not None and len(engine._free) < FREE_SESSIONS:
        engine._free.append(session)


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


async def _keep(ref):
    """The keeper of an asyncio object with ephemeral_claims: its alive key set again every
    KEEP_EVERY seconds while the object lives and is open (liveness.py)."""
    while True:
        await asyncio.sleep(KEEP_EVERY)
        engine = ref()
        if engine is None or engine._closed:
            return
        try:
            key = alive_key(engine._keys, engine._options.presence.current_id())
            await engine._client.set(key, b"1", ex=ALIVE_TTL)
        except Exception as error:
            liveness.log.warning("could not keep %r's claims alive: %s", engine, error)
        del engine


def open_async_url(url: str, namespace: str) -> AsyncRedisCoordinationState:
    """The asyncio engine for a ``redis://``, ``rediss://`` or ``unix://`` URL."""
    return AsyncRedisCoordinationState(url, namespace)
