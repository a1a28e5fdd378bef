"""Waiters of this process: threads and asyncio tasks that sleep until a call wakes them, and
the queues that hold them per key (an agent's mailbox, a resource key) in arrival order.

A waiter is told at most "something may have changed": whoever wakes checks again with the
engine's own call, so a spurious or repeated wake costs one check and never loses or doubles
anything. ``wake()`` may be called from any thread, and wakes a thread or an asyncio task
alike, so a thread and a task of one process can wait on each other. The queues only order
the waiters of one key; the engines decide whom to wake (every waiter of a mailbox, or the
first waiter of a claim, so that claims are served first come, first served).

A wait is written once as steps, a generator driven by ``run_waits`` (a thread) or
``run_waits_async`` (an asyncio task): it first yields WAITER and is sent the waiter it
sleeps on; then each yield is either how long to sleep (None: until woken), answered with
whether it was woken, or a ``Work``, I/O that the driver runs (a thread inline, a task off
its event loop through the engine's ``offload``) and answers with its result or by throwing
its exception into the steps. An engine whose calls take a microsecond makes them in the
steps themselves and yields no Work. A sleep may end before its time without being woken
(a platform's longest timeout is shorter than some), so steps decide by their deadline.
"""

import asyncio
import math
import threading
import time
from collections import deque

__all__ = [
    "WAITER",
    "AsyncWaiter",
    "ThreadWaiter",
    "WaitQueues",
    "Work",
    "deadline_after",
    "next_second",
    "run_waits",
    "run_waits_async",
    "seconds_left",
]

# The first thing a wait's steps yield: a request for the waiter they will sleep on.
WAITER = object()


class Work:
    """A step's I/O: ``function(*arguments)``, run where it may block. ``orphaned(result,
    later)``, if given, is told the result of a call whose awaiting task was cancelled while
    the call ran (so that nothing it took is lost: a drain's messages handed back, a claim
    released); ``later(function, *arguments)`` runs more I/O where the call ran."""

    __slots__ = ("arguments", "function", "orphaned")

    def __init__(self, function, *arguments, orphaned=None):
        self.function = function
        self.arguments = arguments
        self.orphaned = orphaned


def deadline_after(timeout):
    """The monotonic deadline of a wait of ``timeout`` seconds: None for no deadline (None,
    or a timeout too long for any clock to reach, infinity included). Raises TypeError or
    ValueError for a timeout that is not a non-negative number (negative, NaN)."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(
            "timeout must be a non-negative number or None, not %s" % type(timeout).__qualname__
        )
    if not timeout >= 0:  # negative or NaN
        raise ValueError("timeout must be a non-negative number or None, not %r" % (timeout,))
    try:
        deadline = time.monotonic() + timeout
    except OverflowError:  # an int beyond any float
        return None
    return None if deadline == math.inf else deadline


def seconds_left(deadline, cap=None):
    """Seconds until ``deadline`` (never negative), at most ``cap``; None for neither."""
    left = None if deadline is None else max(deadline - time.monotonic(), 0.0)
    if cap is not None and (left is None or cap < left):
        return cap
    return left


class ThreadWaiter:
    """A thread's waiter: a lock held until woken (a binary semaphore that any thread may
    release)."""

    __slots__ = ("_lock",)

    def __init__(self):
        self._lock = threading.Lock()
        self._lock.acquire()

    def wake(self):
        try:
            self._lock.release()
        except RuntimeError:  # already woken and not yet slept on: once is enough
            pass

    def sleep(self, seconds):
        """Sleeps until woken (True) or for ``seconds`` (False; None: no limit). A sleep longer
        than the platform's lock allows (threading.TIMEOUT_MAX) ends at that limit."""
        if seconds is None:
            return self._lock.acquire()
        if seconds <= 0:
            return self._lock.acquire(False)
        return self._lock.acquire(timeout=min(seconds, threading.TIMEOUT_MAX))


class AsyncWaiter:
    """An asyncio task's waiter, bound to the running loop; woken from any thread."""

    __slots__ = ("_future", "_loop", "_woken")

    def __init__(self):
        self._loop = asyncio.get_running_loop()
        self._future = None
        self._woken = False

    def wake(self):
        try:
            self._loop.call_soon_threadsafe(self._deliver)
        except RuntimeError:  # the loop is closed: nobody is left to wake
            pass

    def _deliver(self):
        self._woken = True
        if self._future is not None and not self._future.done():
            self._future.set_result(True)

    async def sleep(self, seconds):
        """Sleeps until woken (True) or for ``seconds`` (False; None: no limit). Cancelling it
        leaves the waiter as it was."""
        if self._woken:
            self._woken = False
            return True
        if seconds is not None and seconds <= 0:
            return False
        future = self._future = self._loop.create_future()
        timer = None
        if seconds is not None:
            timer = self._loop.call_later(seconds, _settle, future, False)
        try:
            return await future
        finally:
            self._future = None
            self._woken = False
            if timer is not None:
                timer.cancel()


def _settle(future, value):
    if not future.done():
        future.set_result(value)


class WaitQueues:
    """Waiters by key, each key's in arrival order. ``queues`` is the plain dict behind them,
    read without the lock by the engines' hot paths only to ask whether anyone waits (at all,
    or for a key): a waiter joins before it checks for the last time, so a change made before
    that check is seen by the check, and one made after it finds the waiter. ``on_busy(busy)``,
    if given, is called under the lock when the first waiter of all joins (True) and when the
    last one leaves (False): before the joining waiter's ``join`` returns, so before its last
    check."""

    __slots__ = ("_lock", "_on_busy", "queues")

    def __init__(self, on_busy=None):
        self._lock = threading.Lock()
        self._on_busy = on_busy
        self.queues = {}

    def join(self, key, waiter):
        """Adds ``waiter`` at the end of ``key``'s queue; returns whether it is first."""
        with self._lock:
            queue = self.queues.get(key)
            if queue is None:
                queue = self.queues[key] = deque()
            queue.append(waiter)
            if self._on_busy is not None and len(queue) == 1 and len(self.queues) == 1:
                self._on_busy(True)
            return queue[0] is waiter

    def leave(self, key, waiter):
        """Removes ``waiter``; if it was first, the next one is woken to take its turn."""
        with self._lock:
            queue = self.queues.get(key)
            if queue is None:
                return
            first = queue[0] is waiter
            try:
                queue.remove(waiter)
            except ValueError:
                return
            if not queue:
                del self.queues[key]
                if not self.queues and self._on_busy is not None:
                    self._on_busy(False)
                return
            successor = queue[0] if first else None
        if successor is not None:
            successor.wake()

    def first(self, key, waiter):
        with self._lock:
            queue = self.queues.get(key)
            return queue is not None and queue[0] is waiter

    def wake_first(self, key):
        with self._lock:
            queue = self.queues.get(key)
            waiter = queue[0] if queue else None
        if waiter is not None:
            waiter.wake()

    def wake_all(self, key=None):
        """Wakes every waiter of ``key``, or of every key."""
        with self._lock:
            if key is None:
                waiters = [w for queue in self.queues.values() for w in queue]
            else:
                waiters = list(self.queues.get(key, ()))
        for waiter in waiters:
            waiter.wake()


def next_second(now=None):
    """Seconds until just after the wall clock's next whole second, when a lease measured in
    whole seconds may have lapsed."""
    now = time.time() if now is None else now
    return math.floor(now) + 1.0005 - now


def run_waits(steps, waiter):
    """Runs a wait's steps on a thread's waiter, its Work inline."""
    try:
        request = next(steps)
        assert request is WAITER
        request = steps.send(waiter)
        while True:
            if type(request) is Work:
                try:
                    result = request.function(*request.arguments)
                except Exception as error:
                    request = steps.throw(error)
                    continue
                request = steps.send(result)
            else:
                request = steps.send(waiter.sleep(request))
    except StopIteration as done:
        return done.value
    finally:
        steps.close()


async def run_waits_async(steps, waiter=None, offload=None):
    """Runs a wait's steps in the running asyncio task, on ``waiter`` (by default an
    AsyncWaiter), each Work through ``await offload(work)``; a cancellation closes them at
    the sleep or the Work it interrupted."""
    if waiter is None:
        waiter = AsyncWaiter()
    try:
        request = next(steps)
        assert request is WAITER
        request = steps.send(waiter)
        while True:
            if type(request) is Work:
                try:
                    result = await offload(request)
                except Exception as error:
                    request = steps.throw(error)
                    continue
                request = steps.send(result)
            else:
                request = steps.send(await waiter.sleep(request))
    except StopIteration as done:
        return done.value
    finally:
        steps.close()
