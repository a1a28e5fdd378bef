"""RedisCoordinationState: the coordination contract on a Redis server, for agents in many
processes or on many machines.

Guarantees, beyond what the in-process engine gives:

- every method is one server-side function, run with FCALL in one round trip and atomic: a
  takeover changes the claim, the new holder's status and both log events together or not
  at all, and a broadcast reaches exactly the agents registered when it runs;
- every stamp is the server's own clock (TIME) in whole seconds, so agents whose machines
  disagree on the time still see the same leases;
- nothing is lost or runs twice when a reply is lost or a request arrives late. Each thread
  of each object is a session (``session.py``) whose calls carry growing request ids. A call
  whose reply is lost (the connection dropped or timed out after the server ran it) is sent
  again with the same id, and the script returns its first result; a request older than the
  session's latest (a delayed packet overtaken by a retry) runs nothing. After ``retries``
  failed attempts the call raises redis-py's ``ConnectionError`` or ``TimeoutError``, never a
  ``RuntimeError``. Requests are recognised for ``request_ttl`` seconds (600) after the
  session's last call;
- a drain's batch stays in flight (``durnel:{N}:inflight:<agent>``) until the session's next
  call, which settles it (its reply arrived) or, if it is a drain of the same inbox, returns
  it first (its reply never arrived). A batch whose session does not come back (a process
  killed, an object dropped after a ``ConnectionError``) is taken by the next drain of any
  session once ``visibility_timeout`` seconds (60) have passed since it was drained, in front
  of the newer messages, and ``inbox()`` lists it there from then on; the lost drain's late
  retry then returns no message. A batch whose reply arrived is settled by the session's
  next call, or a second later by a background thread if there is none. The one case that
  delivers a batch twice: its process was killed or hung after the reply arrived and before
  it was settled, for longer than the timeout, while another session drained the same inbox;
- during a Redis Cluster resharding, calls wait (retried with the same request id within the
  same budget) and complete once the namespace's slot has moved;
- all keys of a namespace share the hash tag ``{namespace}`` and so one cluster slot; the key
  layout is in ``calls.py``. Sessions expire ``request_ttl`` seconds after their last use;
  claims, statuses, inboxes, in-flight batches and the log never expire (``log_maxlen`` caps
  the log, approximately); ``delete_namespace()`` removes one namespace and nothing else.
"""

import atexit
import os
import threading
import time
import weakref
from typing import Any, Optional, Union

import redis
from redis.exceptions import ResponseError

from ..contract import FILE_PREFIX, TASK_PREFIX
from ..namespaces import check_namespace
from ..protocol import Message, Status
from ..urls import redacted
from ..waiting import ThreadWaiter
from . import calls, methods, retry, waits
from .calls import ForeignDataError, ServerClockError, StaleRequestError, key_pattern
from .hub import Hub
from .retry import DEFAULT_RETRIES, NotReplicatedError
from .scripts import LIBRARY, SCRIPTS
from .session import Session

__all__ = [
    "ForeignDataError",
    "NotReplicatedError",
    "RedisCoordinationState",
    "ServerClockError",
    "StaleRequestError",
    "open_url",
]

DEFAULT_REQUEST_TTL = 600
DEFAULT_VISIBILITY_TIMEOUT = 60

# Calls that never write but to settle earlier drains: no WAIT after them.
_READS = ("inbox", "status", "leave_queue")


class _Sessions(threading.local):
    """The calling thread's session of one engine object; a forked child starts its own."""

    session = None


_OPEN = weakref.WeakSet()  # engines with drains to settle at interpreter exit
SETTLE_AFTER = 1.0  # seconds a delivered drain waits for its session's next call


class _Settler:
    """Settles from a daemon thread the delivered drains of sessions that made no call of their
    own within SETTLE_AFTER seconds (an object no longer used, a thread that ended), so that
    only a process killed or hung for longer than the visibility timeout can have a batch it
    received taken again. One thread per process, started by the first such drain."""

    def __init__(self):
        self.condition = threading.Condition()
        self.due = {}  # id(session) -> (due time, engine weakref, session)
        self.pid = None

    def schedule(self, engine, session):
        with self.condition:
            if self.pid != os.getpid():  # none yet, or the parent's before a fork
                self.pid, self.due = os.getpid(), {}
                threading.Thread(target=self._loop, name="durnel-settler", daemon=True).start()
            self.due[id(session)] = (time.monotonic() + SETTLE_AFTER, weakref.ref(engine), session)
            self.condition.notify()

    def _loop(self):
        while True:
            with self.condition:
                while not self.due:
                    self.condition.wait()
                now = time.monotonic()
                ready = [k for k, (when, _, _) in self.due.items() if when <= now]
                if not ready:
                    self.condition.wait(min(w for w, _, _ in self.due.values()) - now)
                    continue
                entries = [self.due.pop(k) for k in ready]
            for _, engine_ref, session in entries:
                engine = engine_ref()
                if engine is not None and session.unsettled:
                    try:
                        engine._settle(session)
                    except Exception:  # the server is gone: the timeout brings the batch back
                        pass


_SETTLER = _Settler()
_ENGINES = weakref.WeakSet()  # every engine, for the locks a forked child must not inherit


def _after_fork_in_child():
    # Another thread of the parent may have held these locks at the fork; the child has only
    # the forking thread, so it starts with fresh ones (and a settler of its own).
    _SETTLER.__init__()
    for engine in list(_ENGINES):
        engine._sessions_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


@atexit.register
def _settle_at_exit():
    for engine in list(_OPEN):
        try:
            engine.settle()
        except Exception:  # the server may be gone; the batches come back after the timeout
            pass


def configure(
    engine,
    namespace,
    log_maxlen,
    request_ttl,
    visibility_timeout,
    retries,
    replicas,
    replica_timeout,
):
    """Checks the options that the sync engine and its asyncio twin share and sets them on
    ``engine``; raises TypeError or ValueError for a bad one."""
    check_namespace(namespace)
    if log_maxlen is not None and (type(log_maxlen) is not int or log_maxlen < 1):
        raise ValueError("log_maxlen must be a positive int or None, not %r" % (log_maxlen,))
    for name, value in (
        ("request_ttl", request_ttl),
        ("visibility_timeout", visibility_timeout),
    ):
        if type(value) is not int or value < 1:
            raise ValueError("%s must be a positive int (seconds), not %r" % (name, value))
    if type(retries) is not int or retries < 0:
        raise ValueError("retries must be an int >= 0, not %r" % (retries,))
    if type(replicas) is not int or replicas < 0:
        raise ValueError("replicas must be an int >= 0, not %r" % (replicas,))
    if not isinstance(replica_timeout, (int, float)) or not replica_timeout > 0:
        raise ValueError("replica_timeout must be a positive number, not %r" % (replica_timeout,))
    engine.namespace = namespace
    engine._keys = calls.Keys(namespace)
    engine._options = calls.Options(
        str(request_ttl).encode(),
        b"" if log_maxlen is None else str(log_maxlen).encode(),
        str(visibility_timeout).encode(),
    )
    engine._retries = retries
    engine._replicas = replicas
    engine._replica_timeout_ms = max(1, int(replica_timeout * 1000))


class RedisCoordinationState:
    """The nine methods of ``durnel_core.CoordinationState`` on a Redis server.

    ``client_or_url`` is a redis-py client (``redis.Redis`` or ``redis.cluster.RedisCluster``;
    replies may be bytes or decoded str) or a ``redis://``, ``rediss://`` or ``unix://`` URL,
    from which a client of its own is made (closed by ``close()``). ``namespace`` names the
    coordination group. ``log_maxlen`` caps the activity log at about that many events
    (``XADD MAXLEN ~``); by default it is never trimmed. ``request_ttl`` is how long, in
    seconds, a session's latest request can still be recognised. ``visibility_timeout`` is how
    long, in seconds, a drained batch whose delivery was not settled stays in flight before
    any drain may take it again (see the module's docstring). ``retries`` is how many times a
    call is sent again after a connection error, a time-out or a cluster slot on the move
    before that error is raised. ``replicas`` > 0 makes every call that writes wait until that
    many replicas have acknowledged it (Redis ``WAIT``, at most ``replica_timeout`` seconds,
    retried like a lost reply), else raise ``NotReplicatedError``: replication is asynchronous,
    and without it a failover can lose an acknowledged change.
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
        self._cluster = isinstance(self._client, redis.cluster.RedisCluster)
        self._local = _Sessions()
        self._sessions = []  # every thread's session, for settle() from any thread
        self._sessions_lock = threading.Lock()
        self._wake_hub = None  # hub.py, made by the first wait
        _ENGINES.add(self)

    # ---- claims ----

    def claim_file(self, agent_id: str, path: str) -> str:
        session = self._session()
        call = methods.claim(self._keys, self._options, session, calls.FILE, agent_id, path)
        return methods.claim_result(
            self._run(session, call), self._keys, FILE_PREFIX, agent_id, path
        )

    def claim_task(self, agent_id: str, task_id: str) -> str:
        session = self._session()
        call = methods.claim(self._keys, self._options, session, calls.TASK, agent_id, task_id)
        return methods.claim_result(
            self._run(session, call), self._keys, TASK_PREFIX, agent_id, task_id
        )

    def renew_claim(self, agent_id: str, resource_key: str) -> str:
        session = self._session()
        call = methods.renew(self._keys, self._options, session, agent_id, resource_key)
        return methods.renew_result(self._run(session, call), self._keys, agent_id, resource_key)

    def release(self, agent_id: str, resource_key: str) -> None:
        session = self._session()
        call = methods.release(self._keys, self._options, session, agent_id, resource_key)
        methods.release_result(self._run(session, call), self._keys, agent_id)

    # ---- mailboxes ----

    def send_message(self, from_agent: str, to_agent: str, content: str) -> Message:
        session = self._session()
        call = methods.send(self._keys, self._options, session, from_agent, to_agent, content)
        return methods.sent(self._run(session, call), from_agent, to_agent, content)

    def broadcast(self, from_agent: str, content: str) -> Message:
        session = self._session()
        call = methods.broadcast(self._keys, self._options, session, from_agent, content)
        return methods.broadcast_result(self._run(session, call), from_agent, content)

    def inbox(self, agent_id: str) -> list[Message]:
        session = self._session()
        call = methods.inbox(self._keys, self._options, session, agent_id)
        return methods.listed(self._run(session, call), call, agent_id)

    def drain_inbox(self, agent_id: str) -> list[Message]:
        session = self._session()
        call = methods.drain(self._keys, self._options, session, agent_id)
        drained = methods.drained(self._drain(session, call), call, session, agent_id)
        if drained:
            _SETTLER.schedule(self, session)
        return drained

    # ---- statuses ----

    def status(self, agent_id: str) -> Status:
        session = self._session()
        call = methods.status(self._keys, self._options, session, agent_id)
        return methods.status_result(self._run(session, call), self._keys, agent_id)

    # ---- waits (waits.py; woken through hub.py) ----

    def wait_for_messages(self, agent_id: str, timeout: Optional[float] = None) -> list[Message]:
        session = self._session()
        messages = self._wait(
            session, waits.message_waits(self._keys, self._options, session, agent_id, timeout)
        )
        if messages:
            _SETTLER.schedule(self, session)
        return messages

    def wait_claim_file(self, agent_id: str, path: str, timeout: Optional[float] = None) -> str:
        return self._wait_claim(calls.FILE, agent_id, path, timeout)

    def wait_claim_task(self, agent_id: str, task_id: str, timeout: Optional[float] = None) -> str:
        return self._wait_claim(calls.TASK, agent_id, task_id, timeout)

    def _wait_claim(self, kind, agent_id, name, timeout):
        session = self._session()
        pending = waits.Pending()
        steps = waits.claim_waits(
            self._keys, self._options, session, pending, kind, agent_id, name, timeout
        )
        return self._wait(session, steps, pending)

    def _wait(self, session, steps, pending=None):
        """Drives a wait's steps (waits.py) in this thread: its calls through ``_run``, its
        sleeps on a lock that the hub's thread releases."""
        waiter = ThreadWaiter()
        hub = None
        watched = []
        try:
            request = next(steps)
            while True:
                kind = type(request)
                if kind is calls.Call:
                    if request.script == "drain":
                        answer = self._drain(session, request)
                    else:
                        answer = self._run(session, request)
                elif kind is waits.Sleep:
                    answer = waiter.sleep(request.seconds)
                    hub.check()
                else:
                    hub = self._hub()
                    queues = hub.state.claims if request.claims else hub.state.mail
                    hub.watch(request.channels, queues, waiter)
                    watched.append((request.channels, queues))
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
                    self._run(session, pending.call)
                except Exception:  # the server is gone: the ticket dies with the hub
                    pass

    def _hub(self):
        hub = self._wake_hub
        if hub is None or hub.pid != os.getpid() or hub.state.error is not None:
            with self._sessions_lock:
                hub = self._wake_hub
                if hub is None or hub.pid != os.getpid() or hub.state.error is not None:
                    if hub is not None and hub.pid == os.getpid():
                        hub.close()
                    hub = self._wake_hub = Hub(
                        self._client, self._keys, self._retries, self._cluster
                    )
        return hub

    # ---- beyond the contract ----

    def settle(self) -> None:
        """Tells the server now that the drains whose replies arrived were delivered, for
        every thread's session of this object. Each call does it for its own session anyway, a
        background thread does it a second after a drain whose session made no call since,
        and ``close()`` and interpreter exit call this; until then, such a batch would be taken
        again by another session's drain once its visibility timeout has passed."""
        with self._sessions_lock:
            sessions = [s for s in self._sessions if s.unsettled and s.pid == os.getpid()]
        for session in sessions:
            self._settle(session)

    def _settle(self, session):
        self._run(session, calls.status(self._keys, self._options, session, b""))

    def delete_namespace(self) -> int:
        """Deletes every key of this object's namespace and nothing else (another namespace
        whose name matches this one as a glob pattern is left alone); returns how many keys
        were deleted. Agents still calling meanwhile may leave new keys behind."""
        deleted = 0
        batch = []
        for key in self._client.scan_iter(match=key_pattern(self.namespace), count=1000):
            batch.append(key)
            if len(batch) == 500:
                deleted += self._client.delete(*batch)
                batch = []
        if batch:
            deleted += self._client.delete(*batch)
        return deleted

    # ---- the client ----

    def close(self) -> None:
        """Settles delivered drains (see ``settle``), then closes the client made from a URL;
        a client passed in is left to its owner."""
        try:
            self.settle()
        except retry.LOST:
            pass  # the server is gone: those batches come back after the visibility timeout
        finally:
            _OPEN.discard(self)
            hub = self._wake_hub
            if hub is not None and hub.pid == os.getpid():
                hub.close()
            if self._owns_client:
                self._client.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        return "<RedisCoordinationState namespace=%r on %r>" % (self.namespace, self._client)

    def _session(self):
        session = self._local.session
        if session is None or session.pid != os.getpid():
            session = self._local.session = Session(self._keys.prefix)
            with self._sessions_lock:
                self._sessions = [s for s in self._sessions if s.pid == session.pid]
                self._sessions.append(session)
            _OPEN.add(self)
        return session

    def _drain(self, session, call):
        """A drain; interrupted before its reply was read (KeyboardInterrupt), it gives its
        batch back to the front of the inbox (lua/abandon.lua)."""
        try:
            return self._run(session, call)
        except BaseException as error:
            if not isinstance(error, Exception):
                try:
                    self._run(session, calls.abandon(self._keys, self._options, session, call))
                except Exception:  # the server is gone: the batch waits for the timeout
                    pass
            raise

    def _send(self, function, call):
        """One FCALL; with ``replicas``, for a call that may write, a WAIT after it (in the
        same round trip on a single server, on the slot's node in a cluster)."""
        client = self._client
        args = (function, len(call.keys), *call.keys, *call.args)
        if not self._replicas or call.script in _READS:
            return client.fcall(*args)
        wait = ("WAIT", self._replicas, self._replica_timeout_ms)
        if self._cluster:
            reply = client.fcall(*args)
            node = client.get_node_from_key(call.keys[0])
            acknowledged = client.execute_command(*wait, target_nodes=node)
        else:
            pipe = client.pipeline(transaction=False)
            pipe.fcall(*args)
            pipe.execute_command(*wait)
            reply, acknowledged = pipe.execute()
        if acknowledged < self._replicas:
            raise NotReplicatedError(
                "the call took effect on the primary, but %d of the %d replicas asked for "
                "acknowledged it within %d ms" % (acknowledged, self._replicas, wait[2])
            )
        return reply

    def _run(self, session, call):
        """Sends `call` once, then again after a connection error, a time-out or a cluster
        slot on the move, with the very same request id: the script replays a request it has
        already run (retry.py). The only I/O of the engine, but for the hub's."""
        function = SCRIPTS[call.script].function
        attempt = 0
        while True:
            try:
                try:
                    reply = self._send(function, call)
                except ResponseError as error:
                    if not retry.missing_library(error):
                        raise
                    self._client.function_load(LIBRARY.source, replace=True)
                    reply = self._send(function, call)
            except retry.RETRIED as error:
                wait = retry.delay(error, attempt, self._retries)
                if wait is None:
                    raise
                time.sleep(wait)
                attempt += 1
                continue
            if call.settles:
                session.settled(call.settles)
            return reply


def _client_for(url):
    """A redis-py client for `url`, whose failed calls are retried by the engine alone."""
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    try:
        return redis.Redis.from_url(
            url, socket_connect_timeout=5, socket_timeout=30, retry=Retry(NoBackoff(), 0)
        )
    except ValueError as error:
        raise ValueError("bad coordination URL %r: %s" % (redacted(url), error)) from None


def open_url(url: str, namespace: str) -> RedisCoordinationState:
    """The engine for a ``redis://``, ``rediss://`` or ``unix://`` URL (see ``durnel.urls``)."""
    return RedisCoordinationState(url, namespace)
