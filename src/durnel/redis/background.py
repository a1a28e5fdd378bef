"""Tasks that nobody awaits (settles, hand-backs, the listener, a dropped object's release):
held until they end, and quiet if their event loop is closed under them.

A program that closes its loop itself (``loop.close()`` after ``run_until_complete``, not
``asyncio.run``) leaves such tasks pending for ever; asyncio would then report each one as
"Task was destroyed but it is pending!", and a task that never started as "coroutine ... was
never awaited". Neither is the program's doing nor anything it can act upon: what they were
to do is covered otherwise (the settler thread settles what the loop did not, connections
close with the process), so they go without a word.
"""

import asyncio
import inspect
import weakref

__all__ = ["in_background"]

# tasks nobody awaits: held until they end
_RUNNING: "set[asyncio.Future]" = set()


def in_background(coroutine):
    """A task of the running loop for ``coroutine``, held until it ends."""
    task = asyncio.ensure_future(coroutine)
    task._log_destroy_pending = False
    _RUNNING.add(task)
    task.add_done_callback(_RUNNING.discard)
    weakref.finalize(task, _close_unstarted, coroutine).atexit = False
    return task


def _close_unstarted(coroutine):
    if inspect.getcoroutinestate(coroutine) == inspect.CORO_CREATED:
        coroutine.close()  # (one that started is closed with its task, without a warning)
