"""The asyncio hub: hub.py's listener as a task of the event loop, on a redis.asyncio PubSub.

Everything but the I/O is shared with the sync hub: its state (``hub.HubState``) and its
listener loop (``hub.listening``, steps that this task drives with awaits): the same channels, the
same confirmation before a waiter's last look, the same reconnection within the retry budget
followed by a wake-up of every waiter, the same PING and answer deadlines that replace a
silent connection, the same channel of its own that keeps this process's claim tickets alive.
Waiters are ``durnel.waiting.AsyncWaiter`` futures of the same loop. A waiter waits for its
subscription's confirmation on a future of its own, never through ``asyncio.wait_for`` (see
cancellation.py), so cancelling it always raises CancelledError. Like the sync hub's, the
listener's connection comes from a pool of its own (``own_client``), never from the client's,
so that closing it while the task reads it cannot hand a connection still being read to an
engine call.
"""

import asyncio
import contextlib
from typing import Any

from redis.exceptions import TimeoutError as RedisTimeoutError

from .background import in_background
from .cancellation import unswallowed
from .hub import CONFIRM_SECONDS, DROPPED, PING, READ, SLEEP, HubState, listening

__all__ = ["AsyncHub"]


async def _shard_subscribe(pubsub, *channels):
    # redis.asyncio's PubSub learnt the sharded commands after the sync one (redis-py 7.0,
    # the newest for Python 3.9, has them only in the sync client); sent raw, their replies
    # come back as ordinary messages of type ssubscribe/smessage, which is all the hub reads
    if hasattr(pubsub, "ssubscribe"):
        await pubsub.ssubscribe(*channels)
    else:
        await pubsub.execute_command("SSUBSCRIBE", *channels)


async def _shard_unsubscribe(pubsub, *channels):
    if hasattr(pubsub, "sunsubscribe"):
        await pubsub.sunsubscribe(*channels)
    else:
        await pubsub.execute_command("SUNSUBSCRIBE", *channels)


def _release(future):
    if not future.done():
        future.set_result(None)


class AsyncHub:
    """A listener task on one redis.asyncio PubSub of the namespace's node; made inside the
    loop that it serves."""

    def __init__(self, client, keys, retries, cluster):
        self.state = HubState(keys)
        self._client = client
        self._keys = keys
        self._retries = retries
        self._cluster = cluster
        self._closed = False
        self._changed = []  # futures of waiters waiting for their subscriptions' confirmation
        self._pubsub: Any = None  # a redis.asyncio PubSub, from start() on
        self._own_client = None  # own_client(): the listener's connection and its pool
        self._task = None

    async def start(self):
        self._pubsub = await self._connect()
        await _shard_subscribe(self._pubsub, self.state.channel)
        self._task = in_background(self._listen())

    async def _connect(self):
        from redis.asyncio.retry import Retry
        from redis.backoff import NoBackoff

        # sharded channels live on the node that serves the namespace's slot: a plain client
        # of that node (the cluster client's own pubsub polls every node in turn). redis-py's
        # own retries off: the listener connects again itself (_reconnect)
        self._own_client = own_client(
            self._client, self._keys.claims if self._cluster else None, retry=Retry(NoBackoff(), 0)
        )
        return self._own_client.pubsub()

    async def watch(self, channels, queues, waiter):
        state = self.state
        new = state.watch(channels, queues, waiter)
        try:
            if new:
                state.ask()
                try:
                    await unswallowed(_shard_subscribe(self._pubsub, *new))
                except DROPPED:  # the listener connects again and subscribes to them
                    pass
            loop = asyncio.get_running_loop()
            deadline = loop.time() + CONFIRM_SECONDS
            while not state.ready(channels):
                left = deadline - loop.time()
                if left <= 0:
                    raise RedisTimeoutError(
                        "the server did not confirm a subscription within %d s" % CONFIRM_SECONDS
                    )
                future = loop.create_future()
                self._changed.append(future)
                timer = loop.call_later(left, _release, future)
                try:
                    await future
                finally:
                    timer.cancel()
        except BaseException:
            state.unwatch(channels, queues, waiter)
            raise
        if state.error is not None:
            state.unwatch(channels, queues, waiter)
            raise state.error

    def unwatch(self, channels, queues, waiter):
        idle = self.state.unwatch(channels, queues, waiter)
        if idle and self.state.error is None and not self._closed:
            # no await in a wait's finally: the unsubscription is sent by a task of its own
            in_background(self._unsubscribe(idle))

    async def _unsubscribe(self, channels):
        try:
            await _shard_unsubscribe(self._pubsub, *channels)
        except DROPPED:
            pass

    def ticket(self):
        return self.state.ticket()

    def check(self):
        if self.state.error is not None:
            raise self.state.error

    async def close(self, error=None):
        """Ends the listener task and its connection; with ``error``, every waiter wakes and
        raises it."""
        self._closed = True
        if error is not None:
            if self.state.error is None:
                self.state.error = error
            self._notify()
            self.state.wake_everyone()
        if self._task is not None:
            self._task.cancel()
        await self._close_connection()

    async def _close_connection(self):
        try:
            await self._pubsub.aclose()
            if self._own_client is not None:
                await self._own_client.aclose()
        except Exception:  # already gone
            pass

    def _notify(self):
        changed, self._changed = self._changed, []
        for future in changed:
            _release(future)

    def locked(self):
        """What a listener step that changes the state holds: nothing (one thread)."""
        return contextlib.nullcontext()

    def notify(self):
        self._notify()

    async def _listen(self):
        steps = listening(self, self._retries)
        try:
            request = next(steps)
            while True:
                kind = request[0]
                try:
                    if kind is READ:
                        answer = await self._pubsub.get_message(timeout=request[1])
                    elif kind is PING:
                        answer = await self._pubsub.ping()
                    else:
                        answer = None
                        if kind is SLEEP:
                            await asyncio.sleep(request[1])
                        else:
                            await self._reconnect()
                except Exception as error:
                    request = steps.throw(error)
                    continue
                request = steps.send(answer)
        except StopIteration:
            pass
        finally:
            steps.close()

    async def _reconnect(self):
        await self._close_connection()
        if self._cluster:
            await self._client.nodes_manager.initialize()
        pubsub = await self._connect()
        await _shard_subscribe(pubsub, *self.state.requested)
        self.state.resubscribed()
        self._pubsub = pubsub


def own_client(client, key=None, **settings):
    """A plain redis.asyncio client with a pool of its own (close it with aclose()) and the
    connection settings of ``client`` (with ``settings`` over them); of a cluster client, of
    the node that serves ``key``'s slot."""
    import redis.asyncio

    if key is None:
        pool = client.connection_pool
        connection_class, kwargs = pool.connection_class, pool.connection_kwargs
    else:
        node = client.get_node_from_key(key)
        connection_class = node.connection_class
        kwargs = dict(node.connection_kwargs, host=node.host, port=node.port)
    pool = redis.asyncio.ConnectionPool(
        connection_class=connection_class, **dict(kwargs, **settings)
    )
    return redis.asyncio.Redis.from_pool(pool)
