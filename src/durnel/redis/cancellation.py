"""Awaiting redis.asyncio so that a cancellation is never lost below us.

``asyncio.wait_for`` up to CPython 3.11 returns the inner result when the cancellation of the
awaiting task lands in the same loop turn as that result, and redis.asyncio awaits its socket
writes through it (and, before 3.11, its reads through async-timeout): a task cancelled at the
wrong moment then goes on as if nothing happened, holding a claim or a batch that its canceller
takes for given up. ``unswallowed(awaitable)`` awaits I/O of the calling task and raises
CancelledError whenever the task was cancelled meanwhile, whatever happened below:

- on CPython 3.11 and later, the task counts the cancellations asked of it
  (``Task.cancelling()``), and one that something below swallowed is still counted when the
  I/O returns; the result is then dropped and CancelledError raised;
- before 3.11 nothing records a swallowed cancellation, so the I/O runs as a task of its own,
  awaited through ``asyncio.shield``: the caller's cancellation raises at once, and the I/O
  goes on to its end in the background.

Either way the caller that gets CancelledError does not know whether the I/O took effect;
what it may have taken is handed back by the caller (lua/abandon.lua, lua/abandon_claim.lua).
"""

import asyncio
import sys

__all__ = ["unswallowed"]


if sys.version_info >= (3, 11):  # Task.cancelling()

    async def unswallowed(awaitable):
        task = asyncio.current_task()
        before = task.cancelling()
        try:
            result = await awaitable
        except Exception:
            if task.cancelling() > before:
                raise asyncio.CancelledError() from None
            raise
        if task.cancelling() > before:
            raise asyncio.CancelledError()
        return result

else:  # pragma: no cover - CPython 3.9 and 3.10

    async def unswallowed(awaitable):
        inner = asyncio.ensure_future(awaitable)
        try:
            return await asyncio.shield(inner)
        except asyncio.CancelledError:
            inner.add_done_callback(_retrieved)
            raise


def _retrieved(task):
    # the I/O of a cancelled caller ended: its outcome is nobody's (no "never retrieved")
    if not task.cancelled():
        task.exception()
