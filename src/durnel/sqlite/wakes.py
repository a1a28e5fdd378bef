"""Wake-ups between the processes that share a durnel file: a waiter sleeps on a Unix
datagram socket of its own in the directory ``<database file>-wake``, and a call that may
concern it sends it one datagram after its transaction committed.

Why sockets: SQLite tells no connection about another's commit, so the alternatives are to
poll (``PRAGMA data_version``: a wake latency of half the polling period, and CPU for every
idle waiter) or to watch the file (inotify sees every write of every namespace, Linux only).
A datagram socket costs nothing while it sleeps (the waiter blocks in ``recv``, or its event
loop's selector watches it), wakes it within microseconds, queues a datagram sent before the
waiter sleeps (so a commit between the waiter's last look and its sleep still wakes it), and
tells its sender when its owner is gone: the kernel refuses a datagram to a socket whose
process died (ECONNREFUSED) or that was removed (ENOENT). Senders never block: a waiter whose
queue is full has wake-ups pending already.

Which waiters to wake is in the file itself (the ``waiters`` table, schema.py), read in the
transaction of the call that changes what they wait for; the socket is bound before its row
is written, so a datagram cannot miss it. A datagram only says "something may have changed":
the waiter looks again with a call of its own, so a spurious or repeated one costs a look and
never loses or doubles anything.

The socket's address is the row's ``address``, a random name in the wake directory. A path
too long for a socket address (about 107 bytes) is reached as ``/proc/self/fd/N/<name>``
through a descriptor of the directory (Linux).
"""

import asyncio
import errno
import os
import socket
import threading

__all__ = ["AsyncSocketWaiter", "SocketWaiter", "WakeDirectory", "alive"]

_MAX_PATH = 107  # a socket address's path, its closing NUL left out
_DEAD = (errno.ECONNREFUSED, errno.ENOENT, errno.ENOTDIR)
_AF_UNIX = getattr(socket, "AF_UNIX", None)


class WakeDirectory:
    """The wake directory of the file at ``database`` (an absolute path), in this process."""

    def __init__(self, database):
        self.path = database + "-wake"
        self._lock = threading.Lock()
        self._descriptor = None  # (pid, fd) of the directory, for paths too long to bind
        self._sender = None  # (pid, socket) that sends this process's wake-ups

    def address(self, name):
        """The socket address of ``name`` as this process reaches it."""
        path = os.path.join(self.path, name)
        if len(os.fsencode(path)) <= _MAX_PATH:
            return path
        return "/proc/self/fd/%d/%s" % (self._directory(), name)

    def _directory(self):
        with self._lock:
            if self._descriptor is None or self._descriptor[0] != os.getpid():
                fd = os.open(self.path, getattr(os, "O_PATH", os.O_RDONLY) | os.O_DIRECTORY)
                self._descriptor = (os.getpid(), fd)
            return self._descriptor[1]

    def bind(self):
        """A new socket bound to a fresh name in the directory (made if missing); returns
        (socket, name)."""
        if _AF_UNIX is None:
            raise OSError(
                errno.EAFNOSUPPORT,
                "waits on the SQLite engine need Unix domain sockets, which this system lacks",
            )
        os.makedirs(self.path, exist_ok=True)
        sock = socket.socket(_AF_UNIX, socket.SOCK_DGRAM)
        try:
            while True:
                name = os.urandom(8).hex()
                try:
                    sock.bind(self.address(name))
                    return sock, name
                except OSError as error:
                    if error.errno != errno.EADDRINUSE:
                        raise
        except BaseException:
            sock.close()
            raise

    def remove(self, name):
        """Removes the socket file ``name``, if it is still there."""
        try:
            os.unlink(os.path.join(self.path, name))
        except OSError:
            pass

    def wake(self, names):
        """Sends each waiter of ``names`` a datagram; returns the names whose waiter is gone.
        Never raises for a waiter: one that cannot be reached is skipped."""
        sender = self._sending_socket()
        dead = []
        for name in names:
            try:
                sender.sendto(b"w", self.address(name))
            except OSError as error:  # EAGAIN: its queue is full of wake-ups already
                if error.errno in _DEAD:
                    dead.append(name)
        return dead

    def _sending_socket(self):
        with self._lock:
            if self._sender is None or self._sender[0] != os.getpid():
                sender = socket.socket(_AF_UNIX, socket.SOCK_DGRAM)
                sender.setblocking(False)
                self._sender = (os.getpid(), sender)
            return self._sender[1]


def alive(directory, name):
    """Whether the waiter of socket ``name`` still has it open: a connect, which sends
    nothing and so wakes nobody, is refused once its process died or it was closed."""
    probe = socket.socket(_AF_UNIX, socket.SOCK_DGRAM)
    try:
        probe.connect(directory.address(name))
        return True
    except OSError as error:
        return error.errno not in _DEAD
    finally:
        probe.close()


class SocketWaiter:
    """A wait's socket, slept on by a thread: bound when the wait first needs to be woken
    (``open``), closed and removed with ``close``. ``later(function, *arguments)`` runs a
    wait's clean-up where its I/O may block: here, at once."""

    def __init__(self, directory):
        self.directory = directory
        self.name = None
        self._socket = None

    def will_open(self):
        """Called by the steps, in the thread or task that waits, before a call that opens."""

    def open(self):
        """Binds the socket, if it is not yet; returns its name."""
        if self._socket is None:
            self._socket, self.name = self.directory.bind()
        return self.name

    def later(self, function, *arguments):
        function(*arguments)

    def close(self):
        sock, self._socket = self._socket, None
        if sock is not None:
            sock.close()
            self.directory.remove(self.name)

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
        self._socket.settimeout(seconds)
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

    def __init__(self, directory, executor):
        super().__init__(directory)
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
        timer = None if seconds is None else loop.call_later(seconds, _settle, future, False)
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
