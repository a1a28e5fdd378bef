"""Connections to a durnel file: one per thread of each process, opened on the thread's first
call after the place of the file has been checked, never shared and never carried across a
fork.

SQLite forbids using, or even closing, a connection in a process forked after it was opened:
the parent's locks do not pass to the child, and the cleanup that closing runs could undo
the parent's work. So before every fork each open connection is pinned in memory, and a child
keeps its parent's connections for its whole life and past its exit, unused and unclosed (the
interpreter would otherwise close those of the parent's other threads while it starts up the
child, and the rest when it exits); every thread of the child opens its own on its first
call. Threads never share one: each has its own, closed when the thread ends or the engine
object goes.

The first connection of a process to a file reads the file's first bytes to refuse a file that
is not SQLite before SQLite touches it; later ones must not: closing any descriptor of the file
drops every POSIX lock that the process holds on it, SQLite's included, and a process that
seems to hold none may have its WAL checkpointed and removed under it by another process that
closes its last connection (and SQLite, which counts the locks of a process per file, never
takes them again). So connections are opened one at a time per process, and the file's bytes
are read only while no connection to it of this process exists at all, closed or not (a
closed one may still be referenced, by a traceback say, and a connection object that exists
may be open).
"""

import errno
import os
import sqlite3
import threading
import weakref
from typing import Optional

from . import checkpoints, schema, transactions
from .errors import ForeignDataError

__all__ = ["Connections"]

SQLITE_HEADER = b"SQLite format 3\x00"

_live: "weakref.WeakSet[_Link]" = weakref.WeakSet()  # every _Link of this process
_opening = threading.Lock()  # held while a connection is opened
# every _Connection of this process, until it is deallocated
_existing: "weakref.WeakSet[_Connection]" = weakref.WeakSet()


class _Connection(sqlite3.Connection):
    """A sqlite3 connection that knows its file, and can be referenced weakly."""

    path = None


_pinned: list = []  # the parent's connections, while it forks
_inherited: list = []  # in a forked child: its parent's connections, kept and never used
_generation = [0]  # forks between the interpreter's start and this process


def _before_fork():
    _pinned[:] = [link.connection for link in _live]


def _after_fork_in_parent():
    del _pinned[:]


def _after_fork_in_child():
    _inherited.extend(_pinned)
    try:  # not even the child's exit may deallocate, and so close, its parent's connections
        import ctypes

        for connection in _pinned:
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(connection))
    except Exception:  # no ctypes here: they are kept until the interpreter's exit
        pass
    del _pinned[:]
    _live.clear()
    _generation[0] += 1


if hasattr(os, "register_at_fork"):
    os.register_at_fork(
        before=_before_fork,
        after_in_parent=_after_fork_in_parent,
        after_in_child=_after_fork_in_child,
    )


class _Link:
    """A connection of this process and its cursor; closed when the link goes (its thread
    ended, or its engine object went), unless the process that opened it is another one."""

    __slots__ = ("__weakref__", "connection", "cursor", "generation", "pid")

    def __init__(self, connection):
        self.connection = connection
        self.cursor = connection.cursor()
        self.generation = _generation[0]
        self.pid = os.getpid()

    def __del__(self):
        # By pid, not generation: a forked child drops its parent's other threads, and their
        # links, before the fork hooks run.
        try:
            if self.pid == os.getpid():
                self.connection.close()
        except Exception:  # the interpreter is shutting down, or the connection is gone
            pass


class _PerThread(threading.local):
    link: "Optional[_Link]" = None


class Connections:
    """The connections of one engine object to the file at ``path`` (absolute)."""

    def __init__(self, path, where, busy_timeout, synchronous, file_mode):
        self.path = path
        self.where = where
        self.busy_timeout = busy_timeout
        self.synchronous = synchronous
        self.file_mode = file_mode
        self._local = _PerThread()

    def cursor(self):
        """The calling thread's cursor, on a connection opened in this process."""
        link = self._local.link
        if link is None or link.generation != _generation[0]:
            link = self._open()
        return link.cursor

    def close(self):
        """Closes the calling thread's connection; its next call opens another."""
        link, self._local.link = self._local.link, None
        if link is not None and link.generation == _generation[0]:
            _live.discard(link)
            link.connection.close()  # (and again, harmlessly, when the link goes)

    def _open(self):
        with _opening:
            self._check_place(read=not any(c.path == self.path for c in list(_existing)))
            connection = sqlite3.connect(
                self.path, timeout=0, isolation_level=None, factory=_Connection
            )
            connection.path = self.path
            _existing.add(connection)
            link = _Link(connection)
            _live.add(link)
        try:
            transactions.retry(
                self.where, self.busy_timeout, lambda: schema.prepare(link.cursor, self.where)
            )
            link.cursor.execute("PRAGMA synchronous = %s" % self.synchronous)
            # The engine makes the checkpoints (checkpoints.py).
            link.cursor.execute("PRAGMA wal_autocheckpoint = 0")
            link.cursor.execute("PRAGMA journal_size_limit = %d" % checkpoints.LIMIT)
        except BaseException:
            _live.discard(link)
            connection.close()
            raise
        self._local.link = link
        return link

    def _check_place(self, read):
        """Raises a clear error for a place where SQLite could not keep a durnel file, or (if
        ``read``) a file there that is not a SQLite database, before SQLite creates or writes
        anything."""
        path, directory = self.path, os.path.dirname(self.path)
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
            return
        if not os.access(path, os.R_OK | os.W_OK):
            raise PermissionError(errno.EACCES, "durnel cannot read and write the file", path)
        if not read:
            return
        with open(path, "rb") as handle:
            head = handle.read(len(SQLITE_HEADER))
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
