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
call) does not wait for itself, and callbacks are told so.

What no gate can cover: a thread of another library inside SQLite at the fork, or a
connection of another library's to a durnel file open across it.
"""

import os
import threading

__all__ = ["gate", "on_fork"]

_callbacks: dict = {"before": [], "parent": [], "child": []}


class _State:
    __slots__ = ("forker", "inside", "lock", "opened")

    def __init__(self, inside=0):
        self.lock = threading.RLock()  # (a finalizer in the forking thread may pass the gate)
        self.opened = threading.Condition(self.lock)  # the fork is over, or a thread left
        self.inside = inside  # threads inside the gate
        self.forker = None  # the thread that forks, while it does


_state = _State()
_depth = threading.local()  # how deep the calling thread is inside the gate


class _Gate:
    """``with gate:``: no fork of this process happens until the block ends."""

    __slots__ = ()

    def __enter__(self):
        depth = getattr(_depth, "n", 0)
        if not depth:
            state = _state
            with state.lock:
                while state.forker is not None and state.forker != threading.get_ident():
                    state.opened.wait()
                state.inside += 1
        _depth.n = depth + 1

    def __exit__(self, *exc_info):
        depth = _depth.n = _depth.n - 1
        if not depth:
            state = _state
            with state.lock:
                state.inside -= 1
                if state.forker is not None:
                    state.opened.notify_all()


gate = _Gate()


def on_fork(before=None, parent=None, child=None):
    """Registers callbacks that a fork runs with the gate shut: ``before(quiet)``, where
    ``quiet`` says whether no thread is inside the gate (False only when the forking thread
    itself is), ``parent()`` and ``child()``."""
    for when, callback in (("before", before), ("parent", parent), ("child", child)):
        if callback is not None:
            _callbacks[when].append(callback)


def _before():
    state = _state
    state.lock.acquire()  # held across the fork: nobody enters
    state.forker = threading.get_ident()
    mine = 1 if getattr(_depth, "n", 0) else 0
    while state.inside > mine:
        state.opened.wait()
    for callback in _callbacks["before"]:
        callback(not mine)


def _after_in_parent():
    state = _state
    try:
        for callback in _callbacks["parent"]:
            callback()
    finally:
        state.forker = None
        state.opened.notify_all()
        state.lock.release()


def _after_in_child():
    global _state
    _state = _State(1 if getattr(_depth, "n", 0) else 0)
    for callback in _callbacks["child"]:
        callback()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(
        before=_before, after_in_parent=_after_in_parent, after_in_child=_after_in_child
    )
