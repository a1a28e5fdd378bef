"""The server-side scripts, one per method, and the reply tags they share with the engine.

A script is ``lua/<name>.lua`` after ``lua/common.lua``, after a prelude that defines the Lua
table ``REPLY`` from ``Reply`` below: the tags are written once, here, and both sides use
their names. Each script is sent by its SHA-1 (EVALSHA); a server that does not know it yet
gets the source once (EVAL, which also caches it), so no call ever needs a separate round trip
to load a script.
"""

import hashlib
import os

__all__ = ["SCRIPTS", "Reply", "Script"]

LUA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lua")
NAMES = ("claim", "renew", "release", "send", "broadcast", "inbox", "drain", "status", "snapshot")


class Reply:
    """The first element of every script's reply: what the rest of the reply holds."""

    OK = "o"  # success: claim and renew return the caller's agent id, release None
    SENT = "t"  # <seconds>: a send or broadcast and its stamp
    HELD = "h"  # <holder>: a claim refused while the stored claim holds
    NO_CLAIM = "n"  # renew or release found no claim on the key
    NOT_HOLDER = "m"  # <holder>: renew or release of another agent's claim
    LISTED = "l"  # <message>...: inbox, oldest first
    DRAINED = "d"  # <message>...: drain_inbox, oldest first
    STATUS = "s"  # <status>
    WRONG_TYPE = "w"  # <key> <type found> <type wanted>: nothing changed
    FOREIGN = "x"  # <key> <what is wrong>: nothing changed
    CLOCK = "c"  # <seconds> <microseconds>: the server clock reads before 1970; nothing changed

    @classmethod
    def names(cls):
        return {name: tag for name, tag in vars(cls).items() if name.isupper()}


def _read(name):
    with open(os.path.join(LUA_DIR, name + ".lua"), encoding="utf-8") as handle:
        return handle.read()


def _prelude():
    fields = ", ".join("%s = '%s'" % item for item in Reply.names().items())
    return "local REPLY = {%s}\n" % fields


class Script:
    __slots__ = ("name", "sha", "source")

    def __init__(self, name, source):
        self.name = name
        self.source = source
        self.sha = hashlib.sha1(source.encode("utf-8")).hexdigest()


def _load_all():
    head = _prelude() + _read("common")
    return {name: Script(name, head + "\n" + _read(name)) for name in NAMES}


SCRIPTS = _load_all()
