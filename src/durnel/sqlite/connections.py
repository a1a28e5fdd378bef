"""Connections to a durnel file: one per thread of each process, opened on the thread's first
call after the place of the file has been checked, never shared, and all closed before the
process forks (forks.py), so that a child inherits none and each thread of either process
opens a new one on its next call.

Closing any descriptor of the file drops every POSIX lock that the process holds on it,
SQLite's included, and a process that seems to hold none may have its WAL checkpointed and
removed under it by another process that closes its last connection (and SQLite, which counts
the locks of a process per file, never takes them again). SQLite itself never closes a
descriptor of a file while another connection of the process holds a lock on it (it keeps
the descriptor, and reuses it for the next connection). The engine opens one descriptor of
its own, to read the first bytes of a file that SQLite has not yet touched and refuse it if
it is not SQLite's; it does so only while no connection of this process to that file exists
at all, closed or not (a closed one may still be referenced, by a traceback say, and a
connection object that exists may be open), whatever path it was opened by: files are told
apart by their device and inode numbers, never by path. Connections are opened one at a time
per process.

SQLite names the ``-wal`` and ``-shm`` files after the path of the database (symbolic links
resolved), so a file with two names (hard links) would have two write-ahead logs, and
processes writing through different names would not see each other's commits: a connection
is refused to a file with more than one link. Nothing durnel makes passes through a symbolic
link unresolved: a link to a file that does not exist yet makes the file it points to.
"""

import errno
import os
import sqlite3
import stat
import threading
import weakref
from typing import Optional

from . import checkpoints, forks, schema, transactions
from .errors import ForeignDataError

__all__ = ["Connections"]

SQLITE_HEADER = b"SQLite format 3\x00"

# every _Link of this process whose connection may be open
_live: "weakref.WeakSet[_Link]" = weakref.WeakSet()
_opening = threading.Lock()  # held while a connection is opened
# every _Connection of this process, until it is deallocated
_existing: "weakref.WeakSet[_Connection]" = weakref.WeakSet()
_kept: list = []  # descriptors that must never be closed (see _read_head)
_pinned: list = []  # connections left open at a fork (see _close_all)
_generation = [0]  # forks between the interpreter's start and this process
_KINDS = (
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISSOCK, "a socket"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
)


class _Connection(sqlite3.Connection):
    """A sqlite3 connection that knows its file: ``identity`` (device, inode), and ``wal``,
    the path of its ``-wal`` as SQLite names it. Can be referenced weakly."""

    identity: Optional[tuple] = None
    wal: Optional[str] = None


def _close_all(quiet):
    """Before a fork, with no thread inside the gate: closes every connection of the
    process (see forks.py). A thread that forks from inside a call (a signal handler) leaves
    them open; the child then keeps its copies for its whole life, unused and unclosed: its
    SQLite would otherwise clean up after connections that the parent still uses."""
    _generation[0] += 1
    if quiet:
        for link in list(_live):
            link.close()
    else:
        _pinned[:] = [link.connection for link in _live]


def _after_fork_in_parent():
    del _pinned[:]


def _after_fork_in_child():
    global _opening
    _opening = threading.Lock()
    try:  # not even the child's exit may deallocate, and so close, its parent's connections
        import ctypes

        for connection in _pinned:
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(connection))
    except Exception:  # no ctypes here: they are kept until the interpreter's exit
        pass
    _live.clear()


_enter_gate, _leave_gate = forks.gate.__enter__, forks.gate.__exit__
forks.on_fork(before=_close_all, parent=_after_fork_in_parent, child=_after_fork_in_child)


class _Link:
    """A connection of this process and its cursor; closed when the link goes (its thread
    ended, or its engine object went), unless the process that opened it is another one."""

    __slots__ = ("__weakref__", "connection", "cursor", "generation", "pid")

    def __init__(self, connection):
        self.connection = connection
        self.cursor = connection.cursor()
        self.generation = _generation[0]
        self.pid = os.getpid()

    def close(self):
        _live.discard(self)
        with forks.gate:
            # The cursor first: a statement that it still holds would keep the connection,
            # its descriptors and its locks open past close() (SQLite's close_v2).
            self.cursor.close()
            self.connection.close()

    def __del__(self):
        # By pid, not generation: a forked child drops its parent's other threads, and their
        # links, before the fork hooks run.
        try:
            if self.pid == os.getpid():
                self.close()
        except Exception:  # the interpreter is shutting down, or the connection is gone
            pass


class _PerThread(threading.local):
    link: "Optional[_Link]" = None


class Connections:
    """The connections of one engine object to the file at ``path`` (absolute).

    ``with connections as cursor:`` gives the calling thread's cursor, on a connection of this
    process (opened if it has none), and no fork happens until the block ends."""

    def __init__(self, path, where, busy_timeout, synchronous, file_mode):
        self.path = path
        self.where = where
        self.busy_timeout = busy_timeout
        self.synchronous = synchronous
        self.file_mode = file_mode
        self._local = _PerThread()

    def __enter__(self):
        _enter_gate()
        link = self._local.link
        if link is not None and link.generation == _generation[0]:
            return link.cursor
        try:
            return self._open().cursor
        except BaseException:
            _leave_gate()
            raise

    def __exit__(self, *exc_info):
        _leave_gate()

    def cursor(self):
        """The calling thread's cursor, on a connection opened in this process since its last
        fork (inside the gate: see forks.py)."""
        link = self._local.link
        if link is None or link.generation != _generation[0]:
            link = self._open()
        return link.cursor

    def close(self):
        """Closes the calling thread's connection; its next call opens another."""
        link, self._local.link = self._local.link, None
        if link is not None and link.generation == _generation[0]:
            link.close()  # (and again, harmlessly, when the link goes)

    def _open(self):
        with _opening:
            identity = self._check_place()
            if not any(c.identity == identity for c in list(_existing)):
                self._read_head(identity)
            # (check_same_thread off: a fork closes every thread's connection; each is used
            # by its own thread alone)
            connection = sqlite3.connect(
                self.path,
                timeout=0,
                isolation_level=None,
                check_same_thread=False,
                factory=_Connection,
            )
            connection.identity = identity
            _existing.add(connection)
            link = _Link(connection)
            _live.add(link)
        try:
            transactions.retry(
                self.where, self.busy_timeout, lambda: schema.prepare(link.cursor, self.where)
            )
            # The -wal's name as SQLite makes it, from the database's (symbolic links resolved).
            main = [
                row[2] for row in link.cursor.execute("PRAGMA database_list") if row[1] == "main"
            ]
            connection.wal = main[0] + "-wal"
            link.cursor.execute("PRAGMA synchronous = %s" % self.synchronous)
            # The engine makes the checkpoints (checkpoints.py).
            link.cursor.execute("PRAGMA wal_autocheckpoint = 0")
            link.cursor.execute("PRAGMA journal_size_limit = %d" % checkpoints.LIMIT)
        except BaseException:
            link.close()
            raise
        self._local.link = link
        return link

    def _check_place(self):
        """Raises a clear error for a place where SQLite could not keep a durnel file, or a
        file there that durnel cannot use, before SQLite creates or writes anything; makes
        the file if there is none. Returns the file's (device, inode)."""
        # SQLite keeps its -wal and -shm beside the file that a symbolic link points to.
        path = os.path.realpath(self.path)
        directory = os.path.dirname(path)
        if not os.path.isdir(directory):
            raise FileNotFoundError(
                errno.ENOENT, "there is no directory for the durnel file %s" % self.where, directory
            )
        if os.path.isdir(path):
            raise IsADirectoryError(errno.EISDIR, "a durnel file must be a file", path)
        if not os.access(directory, os.W_OK | os.X_OK):
            raise PermissionError(
                errno.EACCES,
                "durnel cannot write in the directory of %s (SQLite keeps its -wal and -shm "
                "files beside the database)" % self.where,
                directory,
            )
        if not os.path.exists(path):
            self._make(path)
        found = os.stat(path)
        for test, kind in _KINDS:
            if test(found.st_mode):
                raise ForeignDataError("%s is not a SQLite database: it is %s" % (self.where, kind))
        if not os.access(path, os.R_OK | os.W_OK):
            raise PermissionError(errno.EACCES, "durnel cannot read and write the file", path)
        if found.st_nlink > 1:
            raise OSError(
                errno.EMLINK,
                "the durnel file %s has %d names (hard links): SQLite keeps a -wal per name, "
                "so calls through one name would not see those through another; give it one "
                "name (symbolic links to it are fine)" % (self.where, found.st_nlink),
                path,
            )
        return found.st_dev, found.st_ino

    def _read_head(self, identity):
        """Refuses a file that does not start as a SQLite database (or is empty), before
        SQLite touches it."""
        descriptor = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
        found = os.fstat(descriptor)
        if (found.st_dev, found.st_ino) != identity or not stat.S_ISREG(found.st_mode):
            if any((found.st_dev, found.st_ino) == c.identity for c in list(_existing)):
                # Another file came to the path since it was checked, one that this process
                # has open: closing this descriptor would drop the process's locks on it.
                _kept.append(descriptor)
            else:
                os.close(descriptor)
            raise ForeignDataError("%s was replaced while it was opened" % self.where)
        try:
            head = os.read(descriptor, len(SQLITE_HEADER))
        finally:
            os.close(descriptor)
        if head and head != SQLITE_HEADER:
            raise ForeignDataError(
                "%s is not a SQLite database: it starts %r, not %r"
                % (self.where, head, SQLITE_HEADER)
            )

    def _make(self, path):
        """Makes the file, empty, with the mode asked for whatever the umask (SQLite gives
        its -wal and -shm files the database's mode). Another process may make it first;
        then it is that one's. (No connection of this process can be open to a file that
        did not exist, so closing this descriptor drops no lock of SQLite's.)"""
        try:
            descriptor = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL, self.file_mode)
        except FileExistsError:
            return
        try:
            if hasattr(os, "fchmod"):
                os.fchmod(descriptor, self.file_mode)
        finally:
            os.close(descriptor)
