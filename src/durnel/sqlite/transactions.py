"""One call, one transaction: the clock, waiting for another process's write lock, and what
SQLite's errors become.

A writing call is ``BEGIN IMMEDIATE``, its statements, ``COMMIT``: it takes the file's one
write lock first, so it never has to give up halfway. Whatever fails inside is rolled back,
so a call changes everything it means to or nothing. Reading calls run one statement in
autocommit mode, which is one read transaction of WAL mode and takes no write lock.

While another connection holds the write lock, SQLite answers "busy" at once (the
connections are opened with no busy timeout of SQLite's own); the call is rolled back, waits
a little, longer each time (50 us doubling up to 2 ms, with jitter), and starts over, until
``busy_timeout`` seconds have passed since the first "busy"; then it raises BusyError. A
call that was rolled back applied nothing, so starting over can never apply it twice. SQLite's
own busy handler sleeps 1 ms, then 2, 5, 10 ms and more, which is far longer than a durnel
write transaction holds the lock, and so would leave the file idle while processes sleep.
"""

import random
import sqlite3
import time

from .checkpoints import keep_small
from .errors import BusyError, DamagedFileError, ForeignDataError, StorageError, SystemClockError

__all__ = ["read", "retry", "wall_seconds", "write"]

FIRST_PAUSE = 50e-6
LONGEST_PAUSE = 2e-3

# SQLite's primary result codes that the engine tells apart. Python 3.11 gives them as
# ``error.sqlite_errorcode``; before that only the message says which it was.
BUSY, LOCKED, READONLY, IOERR, CORRUPT, FULL, CANTOPEN, NOTADB = 5, 6, 8, 10, 11, 13, 14, 26
_BY_MESSAGE = (
    ("database is locked", BUSY),
    ("database table is locked", LOCKED),
    ("attempt to write a readonly database", READONLY),
    ("disk I/O error", IOERR),
    ("database disk image is malformed", CORRUPT),
    ("database or disk is full", FULL),
    ("unable to open database file", CANTOPEN),
    ("file is not a database", NOTADB),
)
_STORAGE = (READONLY, IOERR, FULL, CANTOPEN)
# A statement of durnel's failing to compile: the tables were changed under a connection.
_CHANGED = ("no such table", "no such column", "has no column")


def wall_seconds():
    """This machine's wall clock in whole seconds, the fraction dropped (time.time() floored);
    SystemClockError before 1970."""
    now = time.time()
    if now < 0:
        raise SystemClockError("system clock before unix epoch: time.time() reads %r" % now)
    return int(now)


def _code(error):
    code = getattr(error, "sqlite_errorcode", None)
    if code is not None:
        return code & 0xFF
    message = str(error)
    for text, value in _BY_MESSAGE:
        if message.startswith(text):
            return value
    return None


class _Patience:
    """How long a call has waited for the write lock, and how long it sleeps next."""

    __slots__ = ("deadline", "pause", "timeout")

    def __init__(self, timeout):
        self.timeout = timeout
        self.deadline = time.monotonic() + timeout
        self.pause = FIRST_PAUSE

    def wait(self, where):
        if time.monotonic() >= self.deadline:
            raise BusyError(
                "%s stayed locked by another connection for more than busy_timeout (%g s); "
                "the call changed nothing" % (where, self.timeout)
            ) from None
        time.sleep(self.pause * random.uniform(0.5, 1.5))
        self.pause = min(self.pause * 2, LONGEST_PAUSE)


def _busy(error, where):
    """True for a busy ``error``; raises what stands for any other sqlite3 error."""
    code = _code(error)
    if code in (BUSY, LOCKED):
        return True
    if code in _STORAGE:
        raise StorageError(
            "%s could not be written: %s; the call changed nothing" % (where, error)
        ) from error
    if code == NOTADB:
        raise ForeignDataError("%s is not a SQLite database (%s)" % (where, error)) from error
    if code == CORRUPT:
        raise DamagedFileError(
            "%s is damaged (%s); the call changed nothing" % (where, error)
        ) from error
    if isinstance(error, sqlite3.IntegrityError):
        # durnel's statements keep every constraint of a file that holds only what durnel
        # writes (a log numbered by integers, say): something else wrote what is in the way.
        raise ForeignDataError(
            "%s holds rows that durnel did not write (%s); the call changed nothing"
            % (where, error)
        ) from error
    if any(text in str(error) for text in _CHANGED):
        raise ForeignDataError(
            "%s: durnel's tables were changed by something else (%s)" % (where, error)
        ) from error
    raise error


def _rollback(cursor):
    if cursor.connection.in_transaction:
        try:
            cursor.execute("ROLLBACK")
        except sqlite3.Error:  # already rolled back by SQLite itself (a full disk, I/O)
            pass


def write(connections, where, busy_timeout, call, namespace, maxlen, arguments):
    """``call(cursor, namespace, now, maxlen, *arguments)`` in one write transaction on the
    calling thread's connection of ``connections``, with ``now`` read once the write lock is
    held; returns its result. A commit that leaves the ``-wal`` too large truncates it
    (checkpoints.py). No fork waits for the pauses between two attempts."""
    patience = None
    while True:
        with connections as cursor:
            try:
                cursor.execute("BEGIN IMMEDIATE")
                result = call(cursor, namespace, wall_seconds(), maxlen, *arguments)
                cursor.execute("COMMIT")
                keep_small(cursor)
                return result
            except sqlite3.Error as error:
                _rollback(cursor)
                _busy(error, where)
            except BaseException:
                _rollback(cursor)
                raise
        if patience is None:
            patience = _Patience(busy_timeout)
        patience.wait(where)


def read(connections, where, busy_timeout, call, namespace, arguments):
    """``call(cursor, namespace, *arguments)``, whose statement is its own read transaction."""
    with connections as cursor:
        try:
            return call(cursor, namespace, *arguments)
        except sqlite3.Error as error:
            _busy(error, where)

    def attempt():
        with connections as cursor:
            return call(cursor, namespace, *arguments)

    return retry(where, busy_timeout, attempt)


def retry(where, busy_timeout, attempt):
    """``attempt()``, made again while it fails busy (it must change nothing when it fails)."""
    patience = None
    while True:
        try:
            return attempt()
        except sqlite3.Error as error:
            _busy(error, where)
        if patience is None:
            patience = _Patience(busy_timeout)
        patience.wait(where)
