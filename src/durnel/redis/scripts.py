"""The server-side scripts, one per method and three more (a claim waiter's step, and what a
drain or a claim that its caller gave up on hands back), as one Redis function library, and
the reply tags they share with the engine.

The library is ``lua/common.lua`` after a prelude that defines the Lua table ``REPLY`` from
``Reply`` below (the tags are written once, here, and both sides use their names), then each
``lua/<name>.lua`` as the body of a function registered as ``durnel_<version>_<name>``. The
version is the start of the library's SHA-1, so servers can hold the libraries of several
durnel versions at once and each client calls its own. The library's head runs once, when it
is loaded (FUNCTION LOAD); a call is one FCALL that runs only its function's body. A server
that does not have the library yet (a new server, a restart without persistence, a new
cluster node) answers a call with an error; the engine then loads the library and sends the
call again, so no call ever needs a round trip of its own to prepare.

The functions of NOTED run through common.lua's ``noted()``, which takes the caller's presence
off their last KEYS and ARGV and records it once they have answered (presence.py).

The functions of READ_ONLY are registered with the flag ``no-writes``: they are called with
FCALL_RO, the server refuses any write they would attempt, and replicas run them too.
"""

import hashlib
import os
import re

from .liveness import ALIVE_TTL

__all__ = ["LIBRARY", "SCRIPTS", "Library", "Reply", "Script"]

LUA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lua")
NAMES = (
    "claim",
    "renew",
    "release",
    "send",
    "broadcast",
    "inbox",
    "drain",
    "status",
    "wait_claim",
    "abandon",
    "abandon_claim",
    "snapshot",
    "revoke",
    "unwait",
)
READ_ONLY = ("snapshot",)
# The calls that carry their caller's presence (presence.py): run through common.lua's noted()
NOTED = ("claim", "renew", "release", "send", "broadcast", "inbox", "drain", "wait_claim")
_SETTLE = re.compile(r"settle\(KEYS, ARGV, (\d+), (\d+)\)")


class Reply:
    """The first element of every script's reply: what the rest of the reply holds."""

    OK = "o"  # success: claim and renew return the caller's agent id, release None; a claim
    # carries the stamp it was taken at
    SENT = "t"  # <seconds>: a send or broadcast and its stamp
    HELD = "h"  # <holder>: a claim refused while the stored claim holds
    NO_CLAIM = "n"  # renew or release found no claim on the key
    NOT_HOLDER = "m"  # <holder>: renew or release of another agent's claim
    LISTED = "l"  # <message>...: inbox, oldest first
    DRAINED = "d"  # <message>...: drain_inbox, oldest first
    IN_FLIGHT = "f"  # <us>: nothing to drain; another session's batch is takeable in <us>
    STATUS = "s"  # <status>
    WRONG_TYPE = "w"  # <key> <type found> <type wanted>: nothing changed
    FOREIGN = "x"  # <key> <what is wrong>: nothing changed
    CLOCK = "c"  # <seconds> <microseconds>: the server clock reads before 1970; nothing changed
    STALE = "z"  # the request is older than its session's latest: nothing ran
    # wait_claim's refusals (lua/wait_claim.lua):
    WAIT_HELD = "e"  # <stamp> <now s> <now us> <arrival> <holder>: held; this waiter is next
    WAIT_QUEUED = "q"  # <arrival>: another waiter is ahead in the queue

    @classmethod
    def names(cls):
        return {name: tag for name, tag in vars(cls).items() if name.isupper()}


def _read(name):
    with open(os.path.join(LUA_DIR, name + ".lua"), encoding="utf-8") as handle:
        return handle.read()


def _prelude():
    fields = ", ".join("%s = '%s'" % item for item in Reply.names().items())
    return "local REPLY = {%s}\nlocal ALIVE_TTL = %d\n" % (fields, ALIVE_TTL)


class Script:
    """One method's function: ``function`` is the name to FCALL."""

    __slots__ = ("name", "function")

    def __init__(self, name, function):
        self.name = name
        self.function = function


class Library:
    """The library's name, its source for FUNCTION LOAD and its functions by method name."""

    def __init__(self):
        head = _prelude() + _read("common")
        bodies = {name: _read(name) for name in NAMES}
        digest = hashlib.sha1(head.encode("utf-8"))
        for name in NAMES:
            digest.update(b"\0" + name.encode() + b"\0" + bodies[name].encode("utf-8"))
            if name in READ_ONLY:
                digest.update(b"\0no-writes")
            if name in NOTED:
                digest.update(b"\0noted")
        self.name = "durnel_" + digest.hexdigest()[:12]
        parts = ["#!lua name=%s\n" % self.name, head]
        for name in NAMES:
            if name in NOTED:  # the body's own settling, for a refusal before it runs
                settles = _SETTLE.search(bodies[name])
                assert settles is not None, "%s.lua settles no earlier drain" % name
                first_key, first_arg = settles.groups()
                form = "\ndo local body = function(KEYS, ARGV)\n%s\nend\n"
                form += "redis.register_function('%s_%s', function(KEYS, ARGV)\n"
                form += "return noted(body, KEYS, ARGV, %s, %s) end) end\n"
                parts.append(form % (bodies[name], self.name, name, first_key, first_arg))
                continue
            elif name in READ_ONLY:
                form = "\nredis.register_function{function_name = '%s_%s', flags = {'no-writes'},"
                form += "\ncallback = function(KEYS, ARGV)\n%s\nend}\n"
            else:
                form = "\nredis.register_function('%s_%s', function(KEYS, ARGV)\n%s\nend)\n"
            parts.append(form % (self.name, name, bodies[name]))
        self.source = "".join(parts)
        self.scripts = {name: Script(name, "%s_%s" % (self.name, name)) for name in NAMES}


LIBRARY = Library()
SCRIPTS = LIBRARY.scripts
