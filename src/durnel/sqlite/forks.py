"""A fork of a process that uses the SQLite engine: the gate that every use of a connection
passes, and what runs while it is shut.

A forked child has one thread, and a copy of everything else: of SQLite's own bookkeeping
included. A thread inside SQLite at the fork leaves its mutexes held and its locks noted in
the child's copy, where nothing will ever release them (the child hangs, or every write is
busy for ever); and even between calls, the copy notes the locks of the parent's open
connections, which the child does not hold (fcntl locks are not inherited), so a connection
the child opens believes itself covered by them, takes none, and another process may then
take itself for the file's last user and remove the ``-wal`` under the child.

So every use of a connection (a transaction, opening or closing one) runs inside ``gate``
(``with gate:``), which any number of threads pass at once; ``os.fork()`` shuts it, waits
until no thread is inside, and runs the ``before`` callbacks registered here (the engine
closes every connection of the process: the child inherits no SQLite state of its files,
and each thread of either process opens a new connection on its next call); once the fork is
made, ``parent`` callbacks run in the parent and ``child`` callbacks in the child (which
makes the engine's locks anew), then the gate opens. A thread that calls in meanwhile waits
at the gate. A thread that forks from inside the gate (a signal handler that interrupted a
call) does not wait for itself, and callbacks are told so. Passing the open gate takes no
lock (a few hundred nanoseconds): each thread counts its own depth, and a fork reads every
thread's count.

What no gate can cover: a thread of another library inside SQLite at the fork, or a
connection of another library's to a durnel file open across it.
"""

import os
import threading
import weakref
from typing import Optional

__all__ = ["gate", "on_fork"]

_callbacks: dict = {"before": [], "parent": [], "child": []}


class _Place:
    """A thread's place at the gate: how deep inside it the thread is. Only its own thread
    writes it; a thread that forks reads every one."""

    __slots__ = ("__weakref__", "depth")

    def __init__(self):
        self.depth = 0


class _Local(threading.local):
    place: Optional[_Place] = None


_local = _Local()
_places: "weakref.WeakSet[_Place]" = weakref.WeakSet()  # every thread's, while it lives
_lock = threading.Lock()
_changed = threading.Condition(_lock)  # a thread left the gate, or the fork is over
# Shut while a fork is made, by the thread that makes it. A thread notes itself inside, then
# looks whether the gate is shut; the forking thread shuts it, then looks who is inside:
# one of the two sees the other (the interpreter's lock orders every read and write).
_shut: list = [False, None]  # shut, the forking thread's id


def _place():
    with _lock:
        place = _local.place = _Place()
        _places.add(place)
    return place


def _step_back(place):
    """The gate is shut: waits outside until it opens (or the thread is the one forking)."""
    with _lock:
        while _shut[0] and _shut[1] != threading.get_ident():
            place.depth = 0
            _changed.notify_all()
            _changed.wait(0.1)
            place.depth = 1


class _Gate:
    """``with gate:``: no fork of this process happens until the block ends."""

    __slots__ = ()

    def __enter__(self):
        place = _local.place or _place()
        depth = place.depth
        place.depth = depth + 1
        if not depth and _shut[0]:
            _step_back(place)

    def __exit__(self, *exc_info):
        place: _Place = _local.place  # type: ignore[assignment]
        depth = place.depth = place.depth - 1
        if not depth and _shut[0]:
            with _lock:
                _changed.notify_all()


gate = _Gate()


def on_fork(before=None, parent=None, child=None):
    """Registers callbacks that a fork runs with the gate shut: ``before(quiet)``, where
    ``quiet`` says whether no thread is inside the gate (False only when the forking thread
    itself is), ``parent()`` and ``child()``."""
    for when, callback in (("before", before), ("parent", parent), ("child", child)):
        if callback is not None:
            _callbacks[when].append(callback)


def _before():
    mine = _local.place
    with _lock:
        _shut[:] = [True, threading.get_ident()]
        while any(place.depth for place in list(_places) if place is not mine):
            _changed.wait(0.1)
    for callback in _callbacks["before"]:
        callback(not (mine and mine.depth))


def _after_in_parent():
    try:
        for callback in _callbacks["parent"]:
            callback()
    finally:
        with _lock:
            _shut[:] = [False, None]
            _changed.notify_all()


def _after_in_child():
    global _lock, _changed
    _lock = threading.Lock()
    _changed = threading.Condition(_lock)
    _shut[:] = [False, None]
    for callback in _callbacks["child"]:
        callback()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(
        before=_before, after_in_parent=_after_in_parent, after_in_child=_after_in_child
    )
