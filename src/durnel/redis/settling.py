"""Settling delivered drains whatever becomes of the object that made them.

A drain's batch stays in flight until the server is told that its reply arrived (lua/drain.lua):
the session's next call says so. A session that makes no call of its own within
``SETTLE_AFTER`` seconds of a delivered drain is settled by this process's settler, one daemon
thread, which holds strongly what a settle needs: the session (its unsettled pairs) and a
runner (the sync engine's ``Sender``: client, keys and options; or an asyncio object's
backstop, aio.py), never the coordination object itself. So a batch whose reply arrived is
settled whether the object is still used, dropped without ``close()`` or garbage-collected,
whether the thread that drained it still runs or not; and when the interpreter ends normally,
every settle still pending runs at once. Only a process killed, or hung for longer than the
visibility timeout, leaves a delivered batch to come back.

Settles of one server never wait for another's: each round's settles run on a thread per
server (a runner's ``server``: the client it sends through), and a server whose settle is
still running gets no other until it ends, so a server gone silent holds back its own
batches only. Between rounds the settler holds nothing of what it settled.

A settle gives up (``deadline``) once a quarter of the visibility timeout is left since the
oldest drain it settles arrived: past that, the server may count the batch as lapsed and give
it to another drain, so an attempt that late could no longer keep it from coming back, and a
server gone silent would only hold the settles of its other sessions back behind it. Each
attempt lasts at most the client's socket timeout: keep that below the visibility timeout.

A runner's ``settle(session, final)`` returns True once the session is settled (or the server
is gone: the timeout brings the batch back), False to be asked again ``LOOK_AGAIN`` seconds
later; ``final`` is True at interpreter exit, when nothing can be asked again.
"""

import atexit
import os
import threading
import time

__all__ = ["LOOK_AGAIN", "SETTLE_AFTER", "SETTLER", "Settler", "deadline", "settle_after"]

SETTLE_AFTER = 1.0  # seconds a delivered drain waits for its session's next call
LOOK_AGAIN = 1.0  # seconds before a runner that declined is asked again


def settle_after(visibility, wait=SETTLE_AFTER):
    """How long a delivered drain waits for its session's next call before it is settled:
    ``wait`` seconds, or a quarter of a short visibility timeout (seconds), so that the settle
    comes well before the batch may be another drain's."""
    return min(wait, visibility / 4)


def deadline(session, visibility):
    """The time.monotonic() after which no attempt of ``session``'s settle may start: three
    quarters of the visibility timeout (seconds) after its oldest unsettled drain arrived."""
    return session.delivered_at + 0.75 * visibility


class Settler:
    """The pending settles of this process, by session, and the thread that runs them."""

    def __init__(self):
        self._condition = threading.Condition()
        self._due = {}  # id(session) -> (when, session, runner)
        self._busy = set()  # the servers (id of runner.server) whose settles are running
        self._wakes_at = None  # when the thread wakes next; None: only when notified
        self._pid = None  # the process whose thread runs; a forked child starts its own

    def schedule(self, session, runner, delay=SETTLE_AFTER):
        """Settles ``session`` with ``runner`` in ``delay`` seconds, unless it is settled by
        then; replaces what was scheduled for the session before."""
        when = time.monotonic() + delay
        with self._condition:
            if self._pid != os.getpid():
                self._pid = os.getpid()
                threading.Thread(target=self._run, name="durnel-settler", daemon=True).start()
            self._due[id(session)] = (when, session, runner)
            if self._wakes_at is None or when < self._wakes_at:
                self._condition.notify()

    def pending(self):
        """How many sessions have a settle scheduled."""
        with self._condition:
            return len(self._due)

    def _run(self):
        while True:
            with self._condition:
                while True:
                    now = time.monotonic()
                    free = [
                        (key, entry)
                        for key, entry in self._due.items()
                        if id(entry[2].server) not in self._busy
                    ]
                    ready = [key for key, entry in free if entry[0] <= now]
                    if ready:
                        break
                    self._wakes_at = min((entry[0] for _, entry in free), default=None)
                    free = []
                    self._condition.wait(None if self._wakes_at is None else self._wakes_at - now)
                self._wakes_at = now  # busy: whatever comes is looked at after this round
                servers: dict = {}
                for key in ready:
                    entry = self._due.pop(key)
                    servers.setdefault(id(entry[2].server), []).append(entry)
                self._busy.update(servers)
            for server, entries in servers.items():
                threading.Thread(
                    target=self._settle, args=(server, entries), name="durnel-settler", daemon=True
                ).start()
            # hold nothing while waiting (the client of a dropped object)
            free, servers, entries, entry = [], {}, [], None

    def _settle(self, server, entries):
        try:
            while entries:
                _, session, runner = entries.pop()
                if not _settled(session, runner, False):
                    with self._condition:
                        if id(session) not in self._due:
                            self._due[id(session)] = (
                                time.monotonic() + LOOK_AGAIN,
                                session,
                                runner,
                            )
                session = runner = None
        finally:
            with self._condition:
                self._busy.discard(server)
                self._condition.notify()

    def settle_all(self):
        """Runs every pending settle now (at interpreter exit)."""
        with self._condition:
            if self._pid != os.getpid():
                return
            entries = list(self._due.values())
            self._due.clear()
        for _, session, runner in entries:
            _settled(session, runner, True)


def _settled(session, runner, final):
    if not session.unsettled:
        return True
    try:
        return runner.settle(session, final)
    except Exception:  # the server is gone: the visibility timeout brings the batches back
        return True


SETTLER = Settler()
atexit.register(SETTLER.settle_all)

if hasattr(os, "register_at_fork"):
    # The parent's settler thread and lock do not exist in a child (another thread may have
    # held the lock at the fork): it starts afresh, with none of the parent's sessions.
    os.register_at_fork(after_in_child=lambda: Settler.__init__(SETTLER))
