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
  retry then returns no message, and so does a retry (or a late copy) that arrives after the
  timeout: it leaves the batch to the next drain, so no retry holds a lost batch back longer
  than the timeout of the drain that took it. A batch whose reply arrived is settled by the
  session's next call, or a second later by the process's settler (settling.py), whatever
  became of the object or the thread meanwhile, and at the latest when the interpreter ends.
  The one case that delivers a batch twice: its process was killed or hung after the reply
  arrived and before it was settled, for longer than the timeout, while another session
  drained the same inbox;
- a call interrupted (KeyboardInterrupt) before its caller had the result hands back what it
  took: a drain or a message wait, interrupted before it returned, its batch, to the front of
  the inbox (lua/abandon.lua); a claim interrupted before its reply was read its claim
  (lua/abandon_claim.lua); and neither runs should it reach the server later;
- during a Redis Cluster resharding, calls wait (retried with the same request id within the
  same budget) and complete once the namespace's slot has moved;
- all keys of a namespace share the hash tag ``{namespace}`` and so one cluster slot; the key
  layout is in ``calls.py``. Sessions expire ``request_ttl`` seconds after their last use;
  claims, statuses, inboxes, in-flight batches and the log never expire (``log_maxlen`` caps
  the log, approximately); ``delete_namespace()`` removes one namespace and nothing else.

Each call records its agent's presence (presence.py), snapshots list who waits, an object
with ``ephemeral_claims`` ties its claims to its life (liveness.py), and ``revoke()`` frees a
claim for an operator.

``close()`` (``durnel.lifecycle``) settles the delivered drains, ends the waits that sleep on
the object (they raise ClosedError at once) and its listener, and closes a client made from a
URL (or any client, with ``close_client=True``).
"""

import os
import threading
import time
import weakref
from typing import Optional, Union

import redis
import redis.cluster
from redis.exceptions import ResponseError

from ..contract import FILE_PREFIX, METHODS, TASK_PREFIX, WAITS
from ..lifecycle import Closing
from ..protocol import Message, Status
from ..urls import redacted
from ..waiting import ThreadWaiter, WaitQueues
from . import calls, liveness, methods, retry, settling, waits
from .calls import key_pattern
from .errors import NotReplicatedError
from .hub import Hub
from .liveness import ALIVE_TTL, KEEPER, alive_key
from .retry import DEFAULT_RETRIES
from .scripts import LIBRARY, SCRIPTS
from .session import Session
from .settings import DEFAULT_REQUEST_TTL, DEFAULT_VISIBILITY_TIMEOUT, Settings
from .settling import SETTLER

__all__ = ["RedisCoordinationState", "open_url"]

# What a closed object of either twin refuses besides, and where every call starts (its
# session).
CLOSED_METHODS = METHODS + WAITS + ("settle", "revoke", "delete_namespace")
CLOSED_HELPERS = ("_session",)

# Calls that never write but to settle earlier drains: no WAIT after them unless they settle
# (a settle lost in a failover would deliver its batch again).
_READS = ("inbox", "status")


class _Sessions(threading.local):
    """The calling thread's session of one engine object; a forked child starts its own. A
    thread's session goes with the thread (its unsettled drains are the settler's)."""

    session: Optional[Session] = None


# every engine, for the locks a forked child must not inherit
_ENGINES: "weakref.WeakSet[RedisCoordinationState]" = weakref.WeakSet()


def _after_fork_in_child():
    # Another thread of the parent may have held these locks at the fork; the child has only
    # the forking thread, so it starts with fresh ones.
    for engine in list(_ENGINES):
        engine._sessions_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


class Sender:
    """The sync engine's I/O: a Call sent with FCALL, then again with the very same request id
    after a connection error, a time-out or a cluster slot on the move (the script replays a
    request it has already run: retry.py). It holds the client and the options, never the
    engine object, so that what settles a session's drains (settling.py) outlives the object."""

    __slots__ = (
        "client",
        "cluster",
        "retries",
        "replicas",
        "replica_timeout_ms",
        "keys",
        "options",
    )

    def __init__(self, engine):
        self.client = engine._client
        self.cluster = engine._cluster
        self.retries = engine._retries
        self.replicas = engine._replicas
        self.replica_timeout_ms = engine._replica_timeout_ms
        self.keys = engine._keys
        self.options = engine._options

    def send(self, function, call):
        """One FCALL; with ``replicas``, for a call that may write, a WAIT after it (in the
        same round trip on a single server, on the slot's node in a cluster)."""
        client = self.client
        args = (function, len(call.keys), *call.keys, *call.args)
        if not self.replicas or (call.script in _READS and not call.settles):
            return client.fcall(*args)
        wait = ("WAIT", self.replicas, self.replica_timeout_ms)
        if self.cluster:
            reply = client.fcall(*args)
            node = client.get_node_from_key(call.keys[0])
            acknowledged = client.execute_command(*wait, target_nodes=node)
        else:
            pipe = client.pipeline(transaction=False)
            pipe.fcall(*args)
            pipe.execute_command(*wait)
            reply, acknowledged = pipe.execute()
        if acknowledged < self.replicas:
            raise NotReplicatedError(
                "the call took effect on the primary, but %d of the %d replicas asked for "
                "acknowledged it within %d ms" % (acknowledged, self.replicas, wait[2])
            )
        return reply

    def run(self, session, call, deadline=None):
        """Sends ``call`` until it gets through, the retries are spent or the next one would
        start after ``deadline`` (time.monotonic()); its reply."""
        function = SCRIPTS[call.script].function
        attempt = 0
        sent = call
        while True:
            try:
                try:
                    reply = self.send(function, sent)
                except ResponseError as error:
                    if not retry.missing_library(error):
                        raise
                    self.client.function_load(LIBRARY.source, replace=True)
                    reply = self.send(function, sent)
            except retry.RETRIED as error:
                wait = retry.delay(error, attempt, self.retries)
                if wait is None or (deadline is not None and time.monotonic() + wait > deadline):
                    raise
                time.sleep(wait)
                attempt += 1
                sent = calls.retried(call)
                continue
            if call.settles:
                session.settled(call.settles)
            return reply

    @property
    def server(self):
        """What settles go through, one at a time (settling.py): the client."""
        return self.client

    def settle(self, session, final=False):
        """Tells the server that the session's delivered drains arrived (settling.py)."""
        until = settling.deadline(session, int(self.options.visibility))
        self.run(session, calls.status(self.keys, self.options, session, b""), until)
        return True


class RedisCoordinationState(Settings, Closing):
    """The nine methods of ``durnel_core.CoordinationState`` on a Redis server.

    ``client_or_url`` is a redis-py client (``redis.Redis`` or ``redis.cluster.RedisCluster``;
    replies may be bytes or decoded str) or a ``redis://``, ``rediss://`` or ``unix://`` URL,
    from which a client of its own is made. ``close()`` closes the client if
    ``close_client`` says so, by default only the one made from a URL. ``namespace`` names the
    coordination group. ``log_maxlen`` caps the activity log at about that many events
    (``XADD MAXLEN ~``); by default it is never trimmed. ``request_ttl`` is how long, in
    seconds, a session's latest request can still be recognised. ``visibility_timeout`` is how
    long, in seconds, a drained batch whose delivery was not settled stays in flight before
    any drain may take it again (see the module's docstring). ``retries`` is how many times a
    call is sent again after a connection error, a time-out or a cluster slot on the move
    before that error is raised. ``replicas`` > 0 makes every call that writes wait until that
    many replicas have acknowledged it (Redis ``WAIT``, at most ``replica_timeout`` seconds,
    retried like a lost reply), else raise ``NotReplicatedError``: replication is asynchronous,
    and without it a failover can lose an acknowledged change. ``ephemeral_claims`` (or
    ``?ephemeral_claims=1`` in the URL) ties the claims taken or renewed through the object to
    it: they count as lapsed at most ``liveness.ALIVE_TTL`` seconds (15) after it stopped
    keeping them (its process died or paused that long; at once on ``close()``).
    """

    _CLOSED_METHODS = CLOSED_METHODS
    _CLOSED_HELPERS = CLOSED_HELPERS

    def __init__(
        self,
        client_or_url: Union[str, redis.Redis, redis.cluster.RedisCluster],
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
            redis.cluster.RedisCluster,
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
        self._sender = Sender(self)
        self._run = self._sender.run
        self._local = _Sessions()
        # every live thread's session, for settle()
        self._sessions: weakref.WeakSet[Session] = weakref.WeakSet()
        self._sessions_lock = threading.Lock()
        self._wake_hub: Optional[Hub] = None  # hub.py, made by the first wait
        self._hub_closer: Optional[weakref.finalize] = None  # closes the hub if this is dropped
        _ENGINES.add(self)
        if self.ephemeral_claims:
            KEEPER.add(self)

    # ---- claims ----

    def claim_file(self, agent_id: str, path: str) -> str:
        session = self._session()
        call = methods.claim(self._keys, self._options, session, calls.FILE, agent_id, path)
        return methods.claim_result(
            self._take(session, call, calls.abandon_claim), self._keys, FILE_PREFIX, agent_id, path
        )

    def claim_task(self, agent_id: str, task_id: str) -> str:
        session = self._session()
        call = methods.claim(self._keys, self._options, session, calls.TASK, agent_id, task_id)
        return methods.claim_result(
            self._take(session, call, calls.abandon_claim),
            self._keys,
            TASK_PREFIX,
            agent_id,
            task_id,
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
        try:
            drained = methods.drained(self._run(session, call), call, session, agent_id)
            if drained:
                SETTLER.schedule(
                    session, self._sender, settling.settle_after(self.visibility_timeout)
                )
        except BaseException as error:  # until the caller has the messages (see _take)
            self._give_back(error, session, calls.abandon, call)
            raise
        return drained

    # ---- statuses ----

    def status(self, agent_id: str) -> Status:
        session = self._session()
        call = methods.status(self._keys, self._options, session, agent_id)
        return methods.status_result(self._run(session, call), self._keys, agent_id)

    # ---- waits (waits.py; woken through hub.py) ----

    def wait_for_messages(self, agent_id: str, timeout: Optional[float] = None) -> list[Message]:
        session = self._session()
        drains: list[calls.Call] = []  # the wait's drains, sent or about to be
        try:
            pending = waits.Pending()
            steps = waits.message_waits(
                self._keys, self._options, session, pending, agent_id, timeout
            )
            messages = self._wait(session, steps, pending, drains)
            if messages:
                SETTLER.schedule(
                    session, self._sender, settling.settle_after(self.visibility_timeout)
                )
        except BaseException as error:  # until the caller has the messages (see _take)
            if drains:  # (the earlier ones found nothing: the wait went on)
                self._give_back(error, session, calls.abandon, drains[-1])
            raise
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

    def _wait(self, session, steps, pending=None, drains=None):
        """Drives a wait's steps (waits.py) in this thread: its calls through ``_run``, its
        sleeps on a lock that the hub's thread releases; each drain is put in ``drains``
        before it is sent, for the caller to hand back."""
        waiter = ThreadWaiter()
        hub: Optional[Hub] = None
        watched: list[tuple[tuple, WaitQueues]] = []
        try:
            request = next(steps)
            while True:
                kind = type(request)
                if kind is calls.Call:
                    if request.script == "drain" and drains is not None:
                        drains.append(request)
                    answer = self._run(session, request)
                elif kind is waits.Sleep:
                    answer = waiter.sleep(request.seconds)
                    if hub is not None:  # (a wait sleeps once it watches)
                        hub.check()
                else:
                    hub = self._hub()
                    queues = hub.state.claims if request.claims else hub.state.mail
                    hub.watch(request.channels, queues, waiter)
                    watched.append((request.channels, queues))
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
                try:
                    self._run(session, pending.call)
                except Exception:  # the server is gone: the ticket dies with the hub or expires
                    pass

    def _hub(self):
        if self._closed:  # a wait that went on while the object was closed
            raise self._closed_error()
        hub = self._wake_hub
        if hub is None or hub.pid != os.getpid() or hub.state.error is not None:
            with self._sessions_lock:
                hub = self._wake_hub
                if hub is None or hub.pid != os.getpid() or hub.state.error is not None:
                    if hub is not None and hub.pid == os.getpid():
                        if self._hub_closer is not None:
                            self._hub_closer.detach()
                        hub.close()
                    hub = self._wake_hub = Hub(
                        self._client, self._keys, self._retries, self._cluster
                    )
                    # the hub's thread and connection end with this object (not the reverse:
                    # neither refers to it)
                    self._hub_closer = weakref.finalize(self, hub.close)
        return hub

    # ---- beyond the contract ----

    def settle(self) -> None:
        """Tells the server now that the drains whose replies arrived were delivered, for
        every session of this object. Each call does it for its own session anyway, the
        process's settler does it a second after a drain whose session made no call since
        (also once the object or the thread is gone) and at interpreter exit, and ``close()``
        calls this; until then, such a batch would be taken again by another session's drain
        once its visibility timeout has passed."""
        self._settle_all()

    def _settle_all(self):
        with self._sessions_lock:
            sessions = [s for s in self._sessions if s.unsettled and s.pid == os.getpid()]
        for session in sessions:
            self._sender.settle(session)

    def revoke(self, resource_key: str, by: str) -> str:
        """Frees the claim on ``resource_key`` (``"file:<path>"`` or ``"task:<task id>"``)
        whoever holds it, held or lapsed, in one function call: logs a Revoked event
        (``agent`` the holder, ``resource`` the key, ``from_agent`` ``by``), leaves the
        holder's status as it was (as a takeover does), and wakes the resource's waiters.
        Returns the holder; RuntimeError when there is no claim on the key. Sent again after
        a lost reply like any call, it revokes once and answers as it first did."""
        session = self._session()
        call = methods.revoke(self._keys, self._options, session, resource_key, by)
        return methods.revoke_result(self._run(session, call), self._keys, resource_key)

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

    def _let_go(self) -> None:
        """Settles delivered drains (see ``settle``), ends the waits and the listener, then
        closes the client if the object owns it."""
        try:
            self._settle_all()
            if self.ephemeral_claims:  # its claims lapse now, not ALIVE_TTL from now
                self._client.delete(alive_key(self._keys, self._options.presence.current_id()))
        except retry.LOST:
            pass  # the server is gone: those batches come back after the visibility timeout
        finally:
            hub = self._wake_hub
            if hub is not None and hub.pid == os.getpid():
                if self._hub_closer is not None:
                    self._hub_closer.detach()
                hub.close(self._closed_error())
            if self._owns_client:
                self._client.close()

    def _keep_alive(self):
        """Sets this object's alive key again (the keeper's turn: liveness.py)."""
        if self._closed:
            return
        try:
            key = alive_key(self._keys, self._options.presence.current_id())
            self._client.set(key, b"1", ex=ALIVE_TTL)
        except Exception as error:
            liveness.log.warning("could not keep %r's claims alive: %s", self, error)

    def _session(self):
        session = self._local.session
        if session is None or session.pid != os.getpid():
            if self.ephemeral_claims and (session is None or session.pid != os.getpid()):
                KEEPER.add(self)  # (again in a forked child: the thread is the parent's)
            session = self._local.session = Session(self._keys.prefix)
            with self._sessions_lock:
                self._sessions.add(session)
        return session

    def _take(self, session, call, give_back):
        """A claim; interrupted before its reply was read (KeyboardInterrupt), it hands back
        what it took (``give_back``: calls.abandon_claim)."""
        try:
            return self._run(session, call)
        except BaseException as error:
            self._give_back(error, session, give_back, call)
            raise

    def _give_back(self, error, session, give_back, call):
        """After ``error`` ended a call that took something (a drain, a claim) before the
        caller had it: for an interruption (KeyboardInterrupt, SystemExit), not a failure,
        hands it back (``give_back``: calls.abandon or calls.abandon_claim), which does
        nothing if the call never ran and makes sure it never will. A drain is covered
        until its method returns, not only until its reply is read."""
        if isinstance(error, Exception):
            return
        try:
            self._run(session, give_back(self._keys, self._options, session, call))
        except Exception:  # the server is gone: a batch waits for the timeout
            pass


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
    """The engine for a ``redis://``, ``rediss://`` or ``unix://`` URL (see
    ``durnel.connect``)."""
    return RedisCoordinationState(url, namespace)
