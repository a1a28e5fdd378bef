"""Keeping a durnel file's write-ahead log (its ``-wal``) small, under load and after it.

SQLite appends every commit to the ``-wal``, and by default, at each commit once it holds
1000 pages, copies it into the database (a passive checkpoint); the next writer then starts
the ``-wal`` over from its beginning, but only if at that moment no connection reads from
it. Connections that read and write all the time (waiters and senders) are nearly never all
out of it at once, so the ``-wal`` grows with every commit (hundreds of MB within seconds)
and keeps its size once they stop; and since every commit then makes a passive checkpoint,
one that would wait for the readers never gets its turn.

So durnel's connections make no checkpoint of SQLite's own (``wal_autocheckpoint = 0``) and
the engine makes them instead. Every LOOK_EVERY-th commit of a process to a file looks at
the ``-wal``'s size. Past LIMIT it makes the passive checkpoint that SQLite would have made
(the next writer starts the ``-wal`` over, and ``journal_size_limit`` = LIMIT cuts the file
back to LIMIT). Past twice LIMIT, which means the ``-wal`` could not start over, it makes a
truncating one (``wal_checkpoint(TRUNCATE)``): it copies the ``-wal`` into the database,
waits up to PATIENCE_MS for the transactions still reading from it to end (new ones read
the database instead), and truncates it to nothing; writers wait for it as for any write
transaction, a few milliseconds, most of them syncing the database, and the process's own
writers wait for its checkpoint then (and for another process's, up to PATIENCE_MS), rather
than go on growing the ``-wal`` while a slow sync lasts. The waits' own looks
for mail (every few seconds, waits.py) truncate a ``-wal`` larger than LIMIT, so that one
left large when the traffic stopped shrinks while anybody waits.

A reader that keeps its transaction open (a ``sqlite3`` shell inside ``BEGIN``, say) holds the
``-wal`` at its size until it ends: no checkpoint can copy what it may still read. A
truncation that cannot finish within PATIENCE_MS (that reader, or one that lost its
processor in the middle of a statement) is tried again after FIRST_BACK_OFF seconds, twice
as long after each further failure up to LONGEST_BACK_OFF, so that a reader that stays does
not make writers wait over and over.
"""

import os
import sqlite3
import threading
import time

from . import forks

__all__ = ["LIMIT", "keep_small"]

LIMIT = 4 * 1024 * 1024
LOOK_EVERY = 8
PATIENCE_MS = 200
FIRST_BACK_OFF = 0.05
LONGEST_BACK_OFF = 2.0

# By the file's (device, inode), whatever path reached it:
_commits: dict[tuple[int, int], int] = {}  # file -> commits of this process to it
# file -> monotonic time before which no checkpoint is tried again
_resume: dict[tuple[int, int], float] = {}
# file -> seconds to wait after the next failed truncation
_back_off: dict[tuple[int, int], float] = {}
_checkpointing = threading.Lock()  # one checkpoint at a time per process


def _renew_lock():  # (a forked child: the thread that held it is not there)
    global _checkpointing
    _checkpointing = threading.Lock()


forks.on_fork(child=_renew_lock)


def keep_small(cursor, idle=False):
    """After a commit, or at a wait's look for mail (``idle``), checkpoints the file of
    ``cursor`` (in autocommit mode, on a connection of connections.py) if its ``-wal`` is
    larger than LIMIT, as the module's docstring says; looks at every LOOK_EVERY-th commit of
    this process to the file. Never raises: the call before it has taken effect."""
    connection = cursor.connection
    file, wal = connection.identity, connection.wal
    if not idle:
        commits = _commits[file] = _commits.get(file, 0) + 1
        if commits % LOOK_EVERY:
            return
    if time.monotonic() < _resume.get(file, 0.0):
        return
    try:
        size = os.stat(wal).st_size
        if size <= LIMIT:
            return
        # Past twice LIMIT this process's writers wait for its checkpoint, so that a slow one
        # (a sync can take a second on a busy disk) does not let them grow the -wal meanwhile.
        urgent = idle or size > 2 * LIMIT
        if not _checkpointing.acquire(urgent):
            return
        try:
            if urgent and os.stat(wal).st_size <= LIMIT:
                return  # made small while this one waited
            if not urgent:
                cursor.execute("PRAGMA wal_checkpoint(PASSIVE)").fetchall()
                return
            cursor.execute("PRAGMA busy_timeout = %d" % PATIENCE_MS)
            try:
                give_up = time.monotonic() + PATIENCE_MS / 1000
                while True:
                    busy, log, _ = cursor.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchall()[0]
                    # (-1: another process checkpoints; its writers wait for it, these too)
                    if not busy or log != -1 or time.monotonic() >= give_up:
                        break
                    time.sleep(0.001)
            finally:
                cursor.execute("PRAGMA busy_timeout = 0")
        finally:
            _checkpointing.release()
        if busy and log != -1:  # (-1: another's checkpoint, still going on)
            back_off = _back_off.get(file, FIRST_BACK_OFF)
            _resume[file] = time.monotonic() + back_off
            _back_off[file] = min(back_off * 2, LONGEST_BACK_OFF)
        elif not busy:
            _back_off.pop(file, None)
    except (OSError, sqlite3.Error):  # no -wal (yet), or busy: the next look tries again
        pass
