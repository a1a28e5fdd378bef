"""A session: one client thread's (or task's) identity towards the server.

A session is a random id and a counter that numbers its calls (request ids only grow: the
scripts refuse a request older than the session's latest, and replay the latest one), plus
the drains whose replies arrived and that the server has not yet been told about. It does
no I/O: the sync engine keeps one per thread, the asyncio twin one per task. Whatever settles
a session's drains (settling.py) holds it, so a session whose owner is gone (a thread that
ended, an object dropped) is kept until its drains are settled, and no longer.
"""

import os
import secrets
import time

__all__ = ["Session"]


class Session:
    __slots__ = ("key", "pid", "sid", "counter", "unsettled", "delivered_at", "__weakref__")

    def __init__(self, prefix: bytes):
        self.pid = os.getpid()
        self.sid = secrets.token_hex(8).encode()
        self.key = prefix + b"session:" + self.sid
        self.counter = 0
        # in-flight hash key -> request id of the drain whose reply arrived from that inbox
        self.unsettled: dict[bytes, bytes] = {}
        # when (time.monotonic) the oldest of them arrived: their settle's deadline counts
        # from it (settling.deadline)
        self.delivered_at = 0.0

    def next_request(self) -> bytes:
        self.counter += 1
        return b"%d" % self.counter

    def settling(self):
        """The extra KEYS and ARGV that settle the drains whose replies arrived."""
        items = tuple(self.unsettled.items())  # one step: another thread may settle meanwhile
        return tuple(k for k, _ in items), tuple(r for _, r in items)

    def settled(self, pairs):
        """The server has run a call that carried `pairs` ((key, request) from settling());
        a key whose drain has changed since stays unsettled."""
        for key, request in pairs:
            if self.unsettled.get(key) == request:
                self.unsettled.pop(key, None)

    def delivered(self, inflight: bytes, request: bytes):
        """A drain's reply arrived with messages: settle it with the next call."""
        if not self.unsettled:
            self.delivered_at = time.monotonic()
        self.unsettled[inflight] = request
