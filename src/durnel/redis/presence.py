"""Presence on Redis: who called last, when and from where, recorded by the calls' own
functions (no round trip of its own), at most once every PRESENCE_EVERY seconds per object
and agent.

Every call of an agent (claims, renewals, releases, sends and broadcasts by it, its inbox and
drains, its waits; not ``status``, a read about anyone) carries three trailing arguments
after everything else: the presence hash ``durnel:{N}:presence`` as its last key, and the
agent and its record as its last two arguments. The library's wrapper (scripts.py) takes them
off before the function's body runs, and once the body has answered with anything but an
error (a refusal is an answer: the agent was seen) writes the field
``<agent> -> "<last_seen>|<pid>|<object_id>|<host>"`` with the server's clock; an empty
record means that this object recorded the agent less than PRESENCE_EVERY seconds ago, and
nothing is written. The host comes last: it may hold '|'.

A presence hash of another type refuses the call (ForeignDataError) before the body runs,
with the call's settling done as the body would have done it; a field durnel did not write
is refused by the snapshot that reads it.
"""

import os
import socket
import time

__all__ = ["PRESENCE_EVERY", "Presence", "parse"]

PRESENCE_EVERY = 1.0  # seconds between two records of one agent by one object
_KEPT_AGENTS = 4096  # agents remembered per object before the memory starts again

_host = None


def _host_name() -> bytes:
    global _host
    if _host is None:
        _host = socket.gethostname().encode("utf-8", "replace")
    return _host


class Presence:
    """One coordination object's identity (``object_id``: 16 hex digits, a new one in a
    forked child) and when each of its agents is next to be recorded."""

    __slots__ = ("key", "ephemeral", "object_id", "_pid", "_where", "_next")

    def __init__(self, key: bytes, ephemeral: bool = False):
        self.key = key  # the namespace's presence hash
        self.ephemeral = ephemeral  # claims die with the object (liveness.py)
        self._start()

    def _start(self):
        self._pid = os.getpid()
        self.object_id = os.urandom(8).hex()
        self._where = b"%d|%s|%s" % (self._pid, self.object_id.encode(), _host_name())
        self._next: dict[bytes, float] = {}

    def record(self, agent: bytes) -> bool:
        """Whether this call is to record ``agent``'s presence: not within PRESENCE_EVERY
        seconds of this object's last record of it (in this process)."""
        now = time.monotonic()
        if self._pid != os.getpid():
            self._start()
        elif self._next.get(agent, 0.0) > now:
            return False
        if len(self._next) >= _KEPT_AGENTS:
            self._next.clear()
        self._next[agent] = now + PRESENCE_EVERY
        return True

    def where(self) -> bytes:
        """``<pid>|<object_id>|<host>`` of this object, as a claim ticket records it."""
        if self._pid != os.getpid():
            self._start()
        return self._where

    def current_id(self) -> str:
        """The object id, a new one in a forked child."""
        if self._pid != os.getpid():
            self._start()
        return self.object_id

    def mortal(self) -> bytes:
        """What the claims of this call die with: this object's id, or b"" (liveness.py)."""
        return self.current_id().encode() if self.ephemeral else b""


def parse(value: str):
    """(last_seen, pid, object_id, host) of a stored record, or None if durnel did not write
    it."""
    parts = value.split("|", 3)
    if len(parts) != 4:
        return None
    seen, pid, object_id, host = parts
    if not (seen.isascii() and seen.isdigit() and pid.isascii() and pid.isdigit()):
        return None
    if len(object_id) != 16 or not all(c in "0123456789abcdef" for c in object_id):
        return None
    return int(seen), int(pid), object_id, host
