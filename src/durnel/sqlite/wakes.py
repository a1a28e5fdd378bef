"""Wake-ups between the processes that share a durnel file: a waiter sleeps on a Unix datagram
socket of its own in the file's wake place, and a call that may concern it sends it one
datagram after its transaction committed.

Why sockets: SQLite tells no connection about another's commit, so the alternatives are to
poll (``PRAGMA data_version``: a wake latency of half the polling period, and CPU for every
idle waiter) or to watch the file (inotify sees every write of every namespace, Linux only).
A datagram socket costs nothing while it sleeps (the waiter blocks in ``recv``, or its event
loop's selector watches it), wakes it within microseconds, and queues a datagram sent before
the waiter sleeps (so a commit between the waiter's last look and its sleep still wakes it).
Senders never block: a waiter whose queue is full has wake-ups pending already. A datagram
only says "something may have changed": the waiter looks again with a call of its own, so a
spurious or repeated one costs a look and never loses or doubles anything. The waits also
look by themselves every so often (waits.py), so a wake-up that never arrives delays a
waiter, never strands it.

Which waiters to wake is in the file itself (the ``waiters`` table, schema.py), read in the
transaction of the call that changes what they wait for; the socket is bound before its row
is written, so a datagram cannot miss it.

The wake place. On Linux it is the abstract socket namespace: a socket there is a name and no
file, so nothing can remove it under its waiter, nothing is left behind when its process
dies, and no path length limits it. The names of a file's waiters start with the device and
inode numbers of the file, so every path to the file (symbolic or hard links, bind mounts)
reaches the same waiters. Elsewhere it is the directory ``<the file's real path>-wake``, made
owner-only (or as the engine's ``file_mode`` says). Either way, what the file says about a
socket is only its name, 16 hexadecimal digits checked before any use, so no row can make a
call reach anything but a socket in the file's own wake place, and the only files ever
removed are sockets of that directory whose waiters are gone.

Who is gone (``WakePlace.gone``). A waiter lives as long as its process (processes.py), so a
waiter whose socket cannot be reached but whose process runs is not gone: it is woken at its
next look of its own. A waiter is gone when its process has ended, or when its socket is seen
closed (refused) while its process runs on (its wait ended without removing its row); and,
for a waiter whose process this one cannot see (another PID namespace), when its socket is
refused.
"""

import asyncio
import errno
import os
import re
import socket
import stat
import sys
import threading
import weakref
from typing import Any

from . import processes

__all__ = ["AsyncSocketWaiter", "SocketWaiter", "WakePlace", "valid_name"]

_AF_UNIX: Any = getattr(socket, "AF_UNIX", None)  # None: no Unix sockets here
_ABSTRACT = sys.platform.startswith("linux")
_MAX_PATH = 107  # a socket address's path, its closing NUL left out
_NAME = re.compile(r"[0-9a-f]{16}\Z")
_UNREACHABLE = (errno.ECONNREFUSED, errno.ENOENT, errno.ENOTDIR)
_LONGEST_SLEEP = 86400.0  # a longer sleep is made of several (the waits check their deadline)

_lock = threading.Lock()
_sender: list = [None, None]  # pid, socket: what this process sends its wake-ups from
_bound: set[str] = set()  # names of the sockets that this process has open
_open: "weakref.WeakSet[socket.socket]" = weakref.WeakSet()  # those sockets


def _forget_parent_sockets():
    # A forked child never waits on its parent's sockets: closed here, they stay open in the
    # parent, whose waiters they are. The lock may have been held by a thread not copied.
    global _lock
    _lock = threading.Lock()
    for sock in list(_open):
        sock.close()
    _open.clear()
    _bound.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_parent_sockets)


def valid_name(name):
    """Whether ``name`` is a socket name as durnel makes them."""
    return isinstance(name, str) and _NAME.match(name) is not None


class WakePlace:
    """Where the waiters of the file at ``database`` (an absolute path to an existing file)
    sleep. ``directory_mode`` is the mode of a wake directory made here."""

    # None when the place is abstract, or there is none (no Unix sockets): every use of it
    # is behind a test of those
    directory: Any

    def __init__(self, database, directory_mode=0o700):
        if _AF_UNIX is None:
            self.abstract = False
            self.directory = None
            return
        self.abstract = _ABSTRACT
        if self.abstract:
            found = os.stat(database)
            self._prefix = b"\0durnel-wake/%x/%x/" % (found.st_dev, found.st_ino)
            self.directory = None
        else:
            self.directory = os.path.realpath(database) + "-wake"
            self._directory_mode = directory_mode

    def __repr__(self):
        where = "abstract" if self.abstract else self.directory
        return "<WakePlace %s>" % where

    def address(self, name):
        """The socket address of the waiter ``name`` (a valid name)."""
        if self.abstract:
            return self._prefix + name.encode("ascii")
        path = os.path.join(self.directory, name)
        if len(os.fsencode(path)) > _MAX_PATH:
            raise OSError(
                errno.ENAMETOOLONG,
                "the wake directory's path is too long for a socket address (at most %d "
                "bytes with the socket's name); put the durnel file nearer the root" % _MAX_PATH,
                self.directory,
            )
        return path

    def bind(self):
        """A new socket, bound to a fresh name in the place: (socket, name)."""
        if _AF_UNIX is None:
            raise OSError(
                errno.EAFNOSUPPORT,
                "waits on the SQLite engine need Unix domain sockets, which this system lacks",
            )
        if not self.abstract:
            self._make_directory()
        sock = socket.socket(_AF_UNIX, socket.SOCK_DGRAM)
        try:
            while True:
                name = os.urandom(8).hex()
                try:
                    sock.bind(self.address(name))
                    break
                except OSError as error:
                    if error.errno != errno.EADDRINUSE:
                        raise
        except BaseException:
            sock.close()
            raise
        with _lock:
            _bound.add(name)
            _open.add(sock)
        return sock, name

    def _make_directory(self):
        try:
            os.mkdir(self.directory, self._directory_mode)
        except FileExistsError:
            return
        os.chmod(self.directory, self._directory_mode)  # exactly, whatever the umask

    def unbind(self, sock, name):
        """Closes a socket of this process's, and removes its file if it has one."""
        with _lock:
            _bound.discard(name)
            _open.discard(sock)
        sock.close()
        self.remove(name)

    def remove(self, name):
        """Removes the socket file of the waiter ``name``, if the place is a directory and it
        is there, a socket."""
        if self.abstract or self.directory is None or not valid_name(name):
            return
        path = os.path.join(self.directory, name)
        try:
            if stat.S_ISSOCK(os.lstat(path).st_mode):
                os.unlink(path)
        except OSError:
            pass

    def wake(self, waiters):
        """Sends each of ``waiters`` (rows: ticket, address, pid, process) a datagram;
        returns the rows of those that are gone. Never raises for a waiter."""
        sender = _sending_socket()
        gone = []
        for row in waiters:
            if not valid_name(row[1]):
                gone.append(row)  # no waiter of durnel's: never reached, and removed
                continue
            try:
                sender.sendto(b"w", self.address(row[1]))
            except OSError as error:  # EAGAIN: its queue is full of wake-ups already
                if error.errno in _UNREACHABLE and self._judged_gone(
                    row, error.errno == errno.ECONNREFUSED
                ):
                    gone.append(row)
        return gone

    def gone(self, row):
        """Whether the waiter of ``row`` (ticket, address, pid, process) is gone. Sends it
        nothing: a connect tells whether its socket is open without waking it."""
        if not valid_name(row[1]):
            return True
        if processes.judge(row[2], row[3]) == processes.DEAD:
            return True
        probe = socket.socket(_AF_UNIX, socket.SOCK_DGRAM)
        try:
            probe.connect(self.address(row[1]))
            return False
        except OSError as error:
            return self._judged_gone(row, error.errno == errno.ECONNREFUSED)
        finally:
            probe.close()

    def _judged_gone(self, row, refused):
        verdict = processes.judge(row[2], row[3])
        if verdict == processes.DEAD:
            return True
        if not refused:  # unreachable (its socket file removed, say): its process decides
            return False
        if verdict == processes.UNKNOWN:
            return True
        # Its process runs; a refusal means its socket is closed, where this process sees it.
        return not self.abstract or processes.same_network(row[3])


def stale(rows):
    """Of ``rows`` (ticket, address, pid, process) of waiters of this very process, those
    whose socket this process no longer has open: their wait ended without removing them."""
    with _lock:
        return [row for row in rows if row[1] not in _bound]


def _sending_socket():
    with _lock:
        if _sender[0] != os.getpid():
            sender = socket.socket(_AF_UNIX, socket.SOCK_DGRAM)
            sender.setblocking(False)
            _sender[:] = [os.getpid(), sender]
        return _sender[1]


class SocketWaiter:
    """A wait's socket, slept on by a thread: bound when the wait first needs to be woken
    (``open``), closed (and its file removed) with ``close``. ``later(function,
    *arguments)`` runs a wait's clean-up where its I/O may block: here, at once."""

    def __init__(self, place):
        self.place = place
        self.name = None
        self._socket: Any = None  # bound by open(), before any sleep

    def will_open(self):
        """Called by the steps, in the thread or task that waits, before a call that opens."""

    def open(self):
        """Binds the socket, if it is not yet; returns its name."""
        if self._socket is None:
            self._socket, self.name = self.place.bind()
        return self.name

    def later(self, function, *arguments):
        function(*arguments)

    def close(self):
        sock, self._socket = self._socket, None
        if sock is not None:
            self.place.unbind(sock, self.name)

    def _woken(self):
        """Takes every datagram that is queued; whether there was one."""
        woken = False
        while True:
            try:
                self._socket.recv(16, socket.MSG_DONTWAIT)
            except (BlockingIOError, InterruptedError):
                return woken
            woken = True

    def sleep(self, seconds):
        """Sleeps until woken (True) or for ``seconds`` (False; None: no limit)."""
        if self._woken():
            return True
        if seconds is not None and seconds <= 0:
            return False
        self._socket.settimeout(None if seconds is None else min(seconds, _LONGEST_SLEEP))
        try:
            self._socket.recv(16)
        except socket.timeout:
            return False
        finally:
            self._socket.settimeout(None)
        self._woken()
        return True


class AsyncSocketWaiter(SocketWaiter):
    """A wait's socket, slept on by an asyncio task through its loop's selector. ``open`` runs
    in ``executor``'s thread (the steps make it part of a call there, and say so first with
    ``will_open``), and so do ``later`` and ``close``, so that the loop never waits for the
    file or the directory; the executor runs them in the order they were asked for."""

    def __init__(self, place, executor):
        super().__init__(place)
        self._executor = executor
        self._loop = asyncio.get_running_loop()
        self._asked = False

    def will_open(self):
        self._asked = True

    def later(self, function, *arguments):
        try:
            self._executor.submit(function, *arguments)
        except RuntimeError:  # the object was closed: nothing else runs there any more
            function(*arguments)

    def close(self):
        if self._asked:
            self.later(SocketWaiter.close, self)

    async def sleep(self, seconds):
        """Sleeps until woken (True) or for ``seconds`` (False; None: no limit). Cancelling it
        leaves the socket as it was."""
        if self._woken():
            return True
        if seconds is not None and seconds <= 0:
            return False
        loop, fd = self._loop, self._socket.fileno()
        future = loop.create_future()
        loop.add_reader(fd, _settle, future, True)
        timer = None
        if seconds is not None:
            timer = loop.call_later(min(seconds, _LONGEST_SLEEP), _settle, future, False)
        try:
            woken = await future
        finally:
            loop.remove_reader(fd)
            if timer is not None:
                timer.cancel()
        if woken:
            self._woken()
        return woken


def _settle(future, value):
    if not future.done():
        future.set_result(value)
