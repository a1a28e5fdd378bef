"""A process's listener for the wake-ups of one namespace: one sharded pub/sub connection that
wakes the threads (or asyncio tasks) of this process waiting on that namespace.

The scripts publish on the namespace's wake channels (calls.py): a send on the recipient's,
a broadcast on the broadcast channel, a release or a waiter leaving on the claim's. A
waiter's channels are subscribed, and the subscription confirmed by the server, before its
wait looks at the state for the last time, so a change committed after that look is
published to a subscriber that is already there (and one committed before it is seen by
the look). A wake-up only says "look again": the look is the engine's own exactly-once call.

``HubState`` and ``listening`` are what the sync hub (``Hub``, a daemon thread) and the
asyncio one (``aio_hub.AsyncHub``, a task) share, without I/O: the channels asked for and
confirmed, how many waiters watch each, and whom a published message wakes; and the listener
loop, as steps that each hub drives with its own I/O. The hub also subscribes to a
channel of its own, on which nothing is sent: while the connection lives, that channel has a
subscriber, which is how lua/wait_claim.lua tells that this process's claim tickets are still
alive. When the connection drops, the hub connects again within the engine's retry budget,
subscribes again and then wakes every waiter, since a wake-up may have been lost meanwhile;
when the budget is spent, every waiter raises the connection error. A subscription outlives
its last waiter (the next wait of the same agent needs no round trip) until more than
``IDLE_LIMIT`` channels have no waiter, when those are dropped together.

The listener's connection comes from a pool of its own, never from the client's: a pub/sub
connection handed back to a shared pool while the listener thread still reads it (redis-py
connects a dropped connection again on the next read) would then be read by the listener and
an engine call at once, each taking the other's replies. Only the listener thread closes the
connections it reads; ``close()`` from another thread shuts them down, which ends the read.

A connection can also go silent without closing (the server's machine gone, a network that
drops packets, a proxy that hangs): nothing arrives, and waiters would sleep through every
wake-up. So the server must answer: a connection idle for ``HEALTH_SECONDS`` is sent a PING,
and a PING or a subscription left unanswered for ``ANSWER_SECONDS`` counts as a dropped
connection (the listener looks every ``TICK_SECONDS``). A silent connection is thus replaced
within HEALTH_SECONDS + ANSWER_SECONDS + TICK_SECONDS (16 s) while idle, and within
ANSWER_SECONDS + TICK_SECONDS (6 s) of a wait that subscribes; then every waiter looks again.
"""

import logging
import os
import secrets
import socket
import threading
import time
from typing import Optional

import redis
from redis.backoff import NoBackoff
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import TimeoutError as RedisTimeoutError
from redis.retry import Retry

from ..waiting import WaitQueues
from . import retry
from .errors import SilentError

__all__ = ["ANSWER_SECONDS", "HEALTH_SECONDS", "IDLE_LIMIT", "Hub", "HubState"]

HEALTH_SECONDS = 10.0  # a connection that heard nothing for this long is sent a PING
ANSWER_SECONDS = 5.0  # a PING or a subscription unanswered for this long: the connection is dead
TICK_SECONDS = 1.0  # how often the listener looks at the clock when nothing arrives
IDLE_LIMIT = 1000  # subscribed channels without a waiter, beyond which they are dropped
# A last resort: how long a waiter waits for its subscription to be confirmed (a silent
# connection is replaced long before, and a hub that gives up tells its waiters at once)
CONFIRM_SECONDS = 60.0

log = logging.getLogger("durnel.redis")  # reconnections of the listener
MOVED, RESUMED = "moved", "resumed"  # what dispatch() asks the hub to do
# What a dropped or unusable pub/sub connection raises
DROPPED = (RedisConnectionError, RedisTimeoutError, OSError, AttributeError, ValueError)


def _text(value):
    return value if isinstance(value, bytes) else value.encode("utf-8")


class HubState:
    """The channels, the waiters and the dispatch of one hub; no I/O. Called under the hub's
    lock (the sync hub's condition, or the event loop's one thread)."""

    def __init__(self, keys):
        self.pid = os.getpid()
        self.id = secrets.token_hex(8).encode()
        self.channel = keys.hub_prefix + self.id
        self.broadcast = keys.broadcast_channel
        self.mail = WaitQueues()  # inbox channel -> waiters of that agent's messages
        self.claims = WaitQueues()  # claim channel -> waiters for that resource
        self.requested = {self.channel}  # channels subscribed (or being subscribed) to
        self.confirmed = set()  # of those, the ones the server has confirmed
        self.watchers = {}  # channel -> how many waits watch it
        self.tickets = 0
        self.resuming = False  # subscribing again after a lost connection
        self.error = None  # the error that ended the hub: every waiter raises it
        self.heard = time.monotonic()  # when the connection last delivered anything
        self.pinged: Optional[float] = None  # when an unanswered PING was sent
        # when unconfirmed subscriptions were asked for
        self.asked: Optional[float] = time.monotonic()

    def ask(self):
        """New subscriptions were sent: the server must confirm them in time."""
        if self.asked is None:
            self.asked = time.monotonic()

    def next_ping(self, now):
        """Whether to send a PING now (and it is taken as sent)."""
        if self.pinged is None and now - self.heard >= HEALTH_SECONDS:
            self.pinged = now
            return True
        return False

    def silent(self, now):
        """Whether the server has left a PING or a subscription unanswered for too long."""
        if self.pinged is not None and now - self.pinged > ANSWER_SECONDS:
            return True
        return self.asked is not None and now - self.asked > ANSWER_SECONDS

    def ticket(self):
        """A new claim ticket of this hub: '<hub id>:<number>'."""
        self.tickets += 1
        return b"%s:%d" % (self.id, self.tickets)

    def watch(self, channels, queues, waiter):
        """Joins ``waiter`` to each channel's queue; returns the channels to subscribe to."""
        new = []
        for channel in channels:
            self.watchers[channel] = self.watchers.get(channel, 0) + 1
            if queues is not None and channel != self.broadcast:
                queues.join(channel, waiter)
            if channel not in self.requested:
                self.requested.add(channel)
                new.append(channel)
        return new

    def unwatch(self, channels, queues, waiter):
        """Takes ``waiter`` out again; returns the channels to unsubscribe from (idle ones,
        once there are too many)."""
        for channel in channels:
            if queues is not None and channel != self.broadcast:
                queues.leave(channel, waiter)
            left = self.watchers.get(channel, 1) - 1
            if left:
                self.watchers[channel] = left
            else:
                self.watchers.pop(channel, None)
        idle = [c for c in self.requested if c not in self.watchers and c != self.channel]
        if len(idle) <= IDLE_LIMIT:
            return []
        self.requested.difference_update(idle)
        self.confirmed.difference_update(idle)
        return idle

    def ready(self, channels):
        return self.error is not None or all(c in self.confirmed for c in channels)

    def dispatch(self, message):
        """Handles one message read from the connection; returns MOVED when the server dropped
        a subscription it was not asked to drop (the namespace's slot moved to another node),
        RESUMED when the last subscription made again after a lost connection is confirmed
        (every waiter must look again), else None."""
        kind = _text(message["type"])
        channel = message["channel"]
        if channel is not None:
            channel = _text(channel)
        self.heard = time.monotonic()
        if kind == b"pong":
            self.pinged = None
        elif kind == b"smessage":
            if channel == self.broadcast:
                self.mail.wake_all()
            elif channel in self.mail.queues:
                self.mail.wake_all(channel)
            else:
                self.claims.wake_all(channel)
        elif kind == b"ssubscribe":
            self.confirmed.add(channel)
            if self.requested <= self.confirmed:
                self.asked = None
                if self.resuming:
                    self.resuming = False
                    return RESUMED
        elif kind == b"sunsubscribe":
            self.confirmed.discard(channel)
            if channel in self.requested:
                return MOVED
        return None

    def lost(self):
        """The connection dropped: nothing is confirmed any more."""
        self.confirmed.clear()
        self.resuming = True
        self.pinged = None

    def resubscribed(self):
        """A new connection has asked for every channel again: the answers are due from now."""
        self.heard = self.asked = time.monotonic()

    def wake_everyone(self):
        self.mail.wake_all()
        self.claims.wake_all()


# What the listener loop asks its hub's I/O for (listening())
READ, PING, SLEEP, RECONNECT = "read", "ping", "sleep", "reconnect"


def listening(hub, retries):
    """The listener loop of either hub (``Hub``, ``aio_hub.AsyncHub``), as steps without I/O,
    driven by the hub: it yields ``(READ, seconds)`` (answered with the next message, or None
    after that long), ``(PING,)``, ``(SLEEP, seconds)`` and ``(RECONNECT,)``; an
    I/O error is thrown in where it happened. It dispatches what arrives, answers for a
    silent connection, and connects again within ``retries`` after a loss, then wakes every
    waiter; once they are spent, every waiter raises the error. It ends when the hub is
    closed. What changes the state runs under ``hub.locked()``, a PING too (waiters write
    to the connection)."""
    state = hub.state
    failures = 0
    while not hub._closed:
        try:
            message = yield (READ, TICK_SECONDS)
            now = time.monotonic()
            with hub.locked():
                if message is None:
                    action = None
                    if state.next_ping(now):
                        yield (PING,)
                else:
                    action = state.dispatch(message)
                    hub.notify()
                if state.silent(now):
                    raise SilentError(
                        "the server left the pub/sub connection unanswered for %g s"
                        % ANSWER_SECONDS
                    )
            if action is MOVED:
                raise RedisConnectionError("the namespace's slot moved to another node")
            if action is RESUMED:
                failures = 0
                state.wake_everyone()
        except Exception as error:  # dropped, or unusable (a closed socket, a cluster gone)
            with hub.locked():
                state.lost()
            if not hub._closed:
                log.info("a wake-up listener lost its connection (%s); connecting again", error)
            while True:  # connect again within the retry budget, or give up
                if hub._closed:
                    return
                wait = retry.backoff(failures, retries)
                if wait is None:
                    log.warning(
                        "a wake-up listener gave up after %d retries; its waits raise %s: %s",
                        retries,
                        type(error).__name__,
                        error,
                    )
                    with hub.locked():
                        state.error = error
                        hub.notify()
                    state.wake_everyone()
                    return
                yield (SLEEP, wait)
                failures += 1
                try:
                    yield (RECONNECT,)
                    log.info("a wake-up listener is connected again")
                    break
                except Exception as again:
                    error = again


class Hub:
    """The sync hub: a daemon thread reading one redis-py PubSub of the namespace's node."""

    def __init__(self, client, keys, retries, cluster):
        self.state = HubState(keys)
        self.condition = threading.Condition()
        self._client = client
        self._keys = keys
        self._retries = retries
        self._cluster = cluster
        self._closed = False
        self._pubsub = self._connect()
        self._pubsub.ssubscribe(self.state.channel)
        self._thread = threading.Thread(target=self._listen, name="durnel-hub", daemon=True)
        self._thread.start()

    @property
    def pid(self):
        return self.state.pid

    def _connect(self):
        """A PubSub on a connection pool of its own, with the client's connection settings (of
        the node that serves the namespace's slot, in a cluster: sharded channels live there)."""
        client = self._client
        if self._cluster:
            client = client.get_node_from_key(self._keys.claims).redis_connection
        shared = client.connection_pool
        # redis-py's own retries off: a retry connects again from the thread that failed,
        # under the listener's read; the listener connects again itself (_reconnect)
        settings = dict(shared.connection_kwargs, retry=Retry(NoBackoff(), 0))
        pool = redis.ConnectionPool(connection_class=shared.connection_class, **settings)
        return redis.Redis(connection_pool=pool).pubsub()

    def watch(self, channels, queues, waiter, deadline=None):
        """Joins ``waiter`` to the channels' queues and returns once the server has confirmed
        every subscription; raises the hub's error if it has one."""
        state = self.state
        with self.condition:
            new = state.watch(channels, queues, waiter)
            try:
                if new:
                    state.ask()
                    try:
                        if self._pubsub is not None:  # (else the listener subscribes them)
                            self._pubsub.ssubscribe(*new)
                    except DROPPED:  # the listener connects again and subscribes to them
                        pass
                confirmed = self.condition.wait_for(lambda: state.ready(channels), CONFIRM_SECONDS)
            except BaseException:
                state.unwatch(channels, queues, waiter)
                raise
            if state.error is not None or not confirmed:
                state.unwatch(channels, queues, waiter)
                raise state.error or RedisTimeoutError(
                    "the server did not confirm a subscription within %d s" % CONFIRM_SECONDS
                )

    def unwatch(self, channels, queues, waiter):
        with self.condition:
            idle = self.state.unwatch(channels, queues, waiter)
            if idle and self.state.error is None and self._pubsub is not None:
                try:
                    self._pubsub.sunsubscribe(*idle)
                except DROPPED:  # the listener will find the connection dropped
                    pass

    def ticket(self):
        with self.condition:
            return self.state.ticket()

    def check(self):
        """Raises the error that ended the hub, if any (a waiter that was woken by it)."""
        if self.state.error is not None:
            raise self.state.error

    def close(self, error=None):
        """Ends the listener and its connection (from any thread, a finalizer's included);
        with ``error``, every waiter wakes and raises it."""
        self._closed = True
        with self.condition:
            if error is not None and self.state.error is None:
                self.state.error = error
            self.condition.notify_all()
            pubsub = self._pubsub
        if error is not None:
            self.state.wake_everyone()
        if pubsub is not None:
            _shut(pubsub)  # the listener, its read ended, closes it
        if not self._thread.is_alive():
            _close(pubsub)

    def _listen(self):
        try:
            self._listen_until_closed()
        finally:
            with self.condition:
                pubsub, self._pubsub = self._pubsub, None
            _close(pubsub)

    def locked(self):
        """What a listener step that changes the state holds (listening())."""
        return self.condition

    def notify(self):
        """Tells the waiters that wait for a confirmation to look (under locked())."""
        self.condition.notify_all()

    def _listen_until_closed(self):
        steps = listening(self, self._retries)
        try:
            request = next(steps)
            while True:
                kind = request[0]
                try:
                    if kind is READ:
                        answer = self._pubsub.get_message(timeout=request[1])
                    elif kind is PING:
                        answer = self._pubsub.ping()
                    else:
                        answer = None
                        if kind is SLEEP:
                            time.sleep(request[1])
                        else:
                            self._reconnect()
                except Exception as error:
                    request = steps.throw(error)
                    continue
                request = steps.send(answer)
        except StopIteration:
            pass
        finally:
            steps.close()

    def _reconnect(self):
        """A new connection, subscribed to every channel asked for; once the server has
        confirmed them all, every waiter looks again (dispatch: RESUMED), for a wake-up may
        have been lost while there was no connection."""
        with self.condition:  # (no waiter subscribes on the old one meanwhile)
            old, self._pubsub = self._pubsub, None
        _close(old)
        if self._cluster:
            self._client.nodes_manager.initialize()
        pubsub = self._connect()
        try:
            with self.condition:
                if self._closed:
                    raise RedisConnectionError("the hub was closed")
                pubsub.ssubscribe(*self.state.requested)
                self.state.resubscribed()
                self._pubsub = pubsub
        except BaseException:
            _close(pubsub)
            raise


def _shut(pubsub):
    """Ends a read of ``pubsub``'s connection in another thread, without closing it."""
    connection = pubsub.connection
    sock = getattr(connection, "_sock", None)
    if sock is not None:
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:  # already gone
            pass


def _close(pubsub):
    """Closes ``pubsub`` and every connection of its pool (its own: ``Hub._connect``)."""
    if pubsub is None:
        return
    try:
        pubsub.close()
    except Exception:  # already gone
        pass
    pubsub.connection_pool.disconnect()
