"""The server-side scripts, one per method: lua/<name>.lua after the shared lua/common.lua.

Each is sent by its SHA-1 (EVALSHA); a server that does not know it yet gets the source once
(EVAL, which also caches it), so no call ever needs a separate round trip to load a script.
"""

import hashlib
import os

__all__ = ["SCRIPTS", "Script"]

LUA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lua")
NAMES = ("claim", "renew", "release", "send", "broadcast", "inbox", "drain", "status")


def _read(name):
    with open(os.path.join(LUA_DIR, name + ".lua"), encoding="utf-8") as handle:
        return handle.read()


class Script:
    __slots__ = ("name", "source", "sha")

    def __init__(self, name, source):
        self.name = name
        self.source = source
        self.sha = hashlib.sha1(source.encode("utf-8")).hexdigest()


def _load_all():
    common = _read("common")
    return {name: Script(name, common + "\n" + _read(name)) for name in NAMES}


SCRIPTS = _load_all()
