"""Keeping a durnel file's write-ahead log (its ``-wal``) small, under load and after it.

SQLite appends every commit to the ``-wal``, and by default copies it into the database once
it holds 1000 pages (a passive checkpoint) at a commit; the next writer then starts the
``-wal`` over from its beginning, but only if at that moment no connection reads from it.
Connections that read and write all the time (waiters and senders) are nearly never all out
of it at once, so the ``-wal`` grows with every commit (hundreds of MB within seconds), and
keeps its size once they stop. Worse, every commit then runs a passive checkpoint, so that
one that would wait for the readers never gets its turn.

So durnel's connections make no checkpoint of SQLite's own (``wal_autocheckpoint = 0``) and
the engine makes them instead, truncating ones (``PRAGMA wal_checkpoint(TRUNCATE)``): after
a commit, a connection that finds the ``-wal`` larger than LIMIT (it looks at most every
LOOK_EVERY seconds per process and file) copies it into the database, waits up to PATIENCE_MS
for the transactions still reading from it to end (new ones read the database instead), and
truncates it to nothing. Writers wait for it as for any write transaction: a few
milliseconds, to copy the latest version of each page and sync the database, about what a
passive checkpoint of SQLite's would cost at the same size. The waits' own looks for mail
(every few seconds, waits.py) do the same, so that a ``-wal`` left large when the traffic
stopped shrinks while anybody waits. ``PRAGMA journal_size_limit`` = LIMIT bounds what
checkpoints of other programs' connections leave.

A reader that keeps its transaction open (a ``sqlite3`` shell inside ``BEGIN``, say) holds the
``-wal`` at its size until it ends: no checkpoint can copy what it may still read. A
checkpoint that cannot finish within PATIENCE_MS (a reader that lost its processor in the
middle of a statement, or such a one) is tried again after FIRST_BACK_OFF seconds, twice as
long after each further failure up to LONGEST_BACK_OFF, so that a reader that stays does not
make writers wait over and over.
"""

import os
import sqlite3
import threading
import time

__all__ = ["LIMIT", "keep_small"]

LIMIT = 4 * 1024 * 1024
LOOK_EVERY = 0.01
PATIENCE_MS = 200
FIRST_BACK_OFF = 0.05
LONGEST_BACK_OFF = 2.0

_next_look = {}  # database path -> monotonic time before which nobody of this process looks
_back_off = {}  # database path -> seconds to wait after the next failed checkpoint
_lock = threading.Lock()
_checkpointing = threading.Lock()  # one checkpoint at a time per process: they would queue


def keep_small(cursor, path):
    """After a commit (or a look of a wait), checkpoints the file at ``path`` through
    ``cursor`` (in autocommit mode) and truncates its ``-wal`` if that is larger than LIMIT;
    looks at most every LOOK_EVERY seconds per process and file. Never raises: the call
    before it has taken effect."""
    now = time.monotonic()
    if now < _next_look.get(path, 0.0):
        return
    with _lock:
        if now < _next_look.get(path, 0.0):
            return
        _next_look[path] = now + LOOK_EVERY
    try:
        if os.stat(path + "-wal").st_size <= LIMIT or not _checkpointing.acquire(False):
            return
        try:
            cursor.execute("PRAGMA busy_timeout = %d" % PATIENCE_MS)
            try:
                busy, log, _ = cursor.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchall()[0]
            finally:
                cursor.execute("PRAGMA busy_timeout = 0")
        finally:
            _checkpointing.release()
        if busy and log != -1:  # (-1: another process's checkpoint ran; it goes on)
            back_off = _back_off.get(path, FIRST_BACK_OFF)
            _next_look[path] = time.monotonic() + back_off
            _back_off[path] = min(back_off * 2, LONGEST_BACK_OFF)
        elif not busy:
            _back_off.pop(path, None)
    except (OSError, sqlite3.Error):  # no -wal (yet), or busy: the next look tries again
        pass
