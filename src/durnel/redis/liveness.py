"""Claims that die with their holder on Redis (``ephemeral_claims``): each such object keeps
an alive key, ``durnel:{N}:alive:<object id>``, with a TTL of ALIVE_TTL seconds, and every
claim taken or renewed through it names the object (lua/common.lua's ``tie``). A claim whose
object's alive key is gone counts as lapsed in every function and in snapshots, so it is free
for others at most ALIVE_TTL seconds (plus the moment a waiter looks: about a second) after
its process died, was killed, or stopped calling and keeping.

Who sets the key: the calls themselves (with the presence record, at most once a second per
agent: lua/common.lua's ``noted``), and a keeper between them, every KEEP_EVERY seconds:
one daemon thread per process for the sync objects (``KEEPER``, which keeps each object on a
short thread of its own, so that a stalled server delays no other), one task per asyncio
object on its loop. ``close()`` deletes the key, so the object's claims lapse at once. A process
paused (SIGSTOP, a debugger) keeps its claims for at most ALIVE_TTL seconds: a pause longer
than that loses them, as would its death. A keeper that cannot reach the server logs it
(warning, on "durnel.redis") and tries again at its next turn.
"""

import logging
import os
import threading
import weakref

__all__ = ["ALIVE_TTL", "KEEP_EVERY", "KEEPER", "alive_key", "parse_flag", "split_url"]

ALIVE_TTL = 15  # seconds an object's claims outlive its last sign of life
KEEP_EVERY = ALIVE_TTL / 3

log = logging.getLogger("durnel.redis")


def alive_key(keys, object_id: str) -> bytes:
    return keys.prefix + b"alive:" + object_id.encode()


def parse_flag(text: str) -> bool:
    """True or False, written as 1/0, true/false, yes/no or on/off."""
    lowered = text.lower()
    if lowered in ("1", "true", "yes", "on"):
        return True
    if lowered in ("0", "false", "no", "off"):
        return False
    raise ValueError("ephemeral_claims in a URL must be 1 or 0 (true or false), not %r" % text)


def split_url(url: str):
    """``url`` without its ``ephemeral_claims`` query option, and that option (None when
    absent), so that the rest goes to redis-py as it is."""
    from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit

    parts = urlsplit(url)
    if "ephemeral_claims" not in parts.query:
        return url, None
    kept, flag = [], None
    for name, value in parse_qsl(parts.query, keep_blank_values=True):
        if name == "ephemeral_claims":
            flag = parse_flag(value)
        else:
            kept.append((name, value))
    return urlunsplit(parts._replace(query=urlencode(kept))), flag


class Keeper:
    """The process's thread that sets the alive keys of its sync objects again; started with
    the first such object (and again in a forked child)."""

    def __init__(self):
        self._objects: weakref.WeakSet = weakref.WeakSet()
        self._lock = threading.Lock()
        self._pid = None
        self._wake = threading.Event()

    def add(self, engine):
        with self._lock:
            self._objects.add(engine)
            if self._pid != os.getpid():
                self._pid = os.getpid()
                self._wake = threading.Event()
                threading.Thread(target=self._run, name="durnel-redis-keeper", daemon=True).start()

    def _run(self):
        # Each object is kept on a thread of its own: a server that stalls holds its call for
        # the client's socket timeout (30 s, twice ALIVE_TTL), and must not let the claims of
        # objects on other servers lapse meanwhile. An object whose last keep has not returned
        # is skipped.
        keeping: weakref.WeakSet = weakref.WeakSet()
        while True:
            self._wake.wait(KEEP_EVERY)
            with self._lock:
                engines = [engine for engine in self._objects if engine not in keeping]
                keeping.update(engines)
            for engine in engines:
                threading.Thread(
                    target=self._keep, args=(engine, keeping), name="durnel-redis-keep", daemon=True
                ).start()

    def _keep(self, engine, keeping):
        try:
            engine._keep_alive()
        finally:
            with self._lock:
                keeping.discard(engine)


KEEPER = Keeper()
