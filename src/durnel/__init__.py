"""durnel: one coordination contract for agents, in one process or across machines.

``connect()`` gives the in-process engine, the native ``durnel_core.CoordinationState`` with
blocking waits added (``durnel.inprocess``); ``durnel.aio`` gives the same as coroutines;
``connect("sqlite:///state.db", namespace="build")`` gives the same nine methods in a SQLite
file shared by the processes of one machine (``durnel.sqlite.SQLiteCoordinationState``, from
the standard library alone); ``connect("redis://host:6379/0", namespace="build")`` gives them
on a Redis server (``durnel.redis.RedisCoordinationState``, which needs the ``redis`` extra:
``pip install "durnel_core[redis]"``). Agents written against ``Coordination`` run on every
engine. Engines are chosen by the URL's scheme in one registry that other engines join too
(``durnel.engines``). Every object ``connect`` returns is closed with ``close()`` or a
``with`` block, and raises ``ClosedError`` once closed (``durnel.lifecycle``); every error
class of durnel's own derives from ``durnel.Error`` (``durnel.errors``).

``snapshot(state)`` reads a whole group without changing it (agents, claims, mailboxes, the
end of the activity log: ``durnel.snapshots``), on every engine: at one moment on Redis and
SQLite, shard by shard in-process; ``python -m durnel`` (the ``durnel`` command) shows the
groups that other processes can reach (Redis, SQLite) as tables, as JSON or live.

``durnel.__version__`` is the package's version (``durnel.version``), read when first asked.

durnel logs what an operator wants to know (a listener reconnected, a call that failed after
its retries, a waiter found dead, a file migrated) through ``logging.getLogger("durnel")``
and its children, one per engine ("durnel.sqlite", "durnel.redis"); a NullHandler keeps it
silent until the program configures logging (or ``durnel -v`` shows it).
"""

import logging
from typing import TYPE_CHECKING, Optional

from . import engines
from .errors import (
    BusyError,
    ClockError,
    ClosedError,
    Error,
    ForeignDataError,
    MissingDependencyError,
)
from .namespaces import check_namespace
from .protocol import AsyncCoordination, Coordination, Message, Status, WaitingCoordination
from .snapshots import Snapshot, snapshot

__all__ = [
    "AsyncCoordination",
    "BusyError",
    "ClockError",
    "ClosedError",
    "Coordination",
    "Error",
    "ForeignDataError",
    "Message",
    "MissingDependencyError",
    "Snapshot",
    "Status",
    "WaitingCoordination",
    "__version__",
    "connect",
    "snapshot",
]

__version__: str  # set by __getattr__ when first asked

# A library's records go where its program sends them, and nowhere (not even Python's
# last-resort stderr handler) when it sends them nowhere.
logging.getLogger(__name__).addHandler(logging.NullHandler())

if not TYPE_CHECKING:  # a type checker sees __version__ alone, not every name as valid

    def __getattr__(name):
        if name == "__version__":
            from .version import package_version

            globals()["__version__"] = version = package_version()
            return version
        raise AttributeError("module %r has no attribute %r" % (__name__, name))


def connect(url: Optional[str] = None, *, namespace: str = "default") -> WaitingCoordination:
    """A coordination object: in-process without a URL, on the engine its scheme names with one.

    ``url`` is ``sqlite:///relative/path.db`` or ``sqlite:////absolute/path.db`` (options of
    SQLiteCoordinationState may follow as a query), ``redis://[[user]:password@]host[:port]
    [/db]``, ``rediss://...`` (TLS) or ``unix://[[user]:password@]/path/to/socket[?db=N]``,
    or the URL of another registered engine (``durnel.engines``). ``namespace`` names one
    coordination group; groups share nothing. Without a URL every call makes a new, empty
    in-process object, a ``durnel.inprocess.InProcessCoordinationState`` around a new native
    ``durnel_core.CoordinationState`` (the namespace is then only checked, not used). Close
    the object with ``close()``, or use it in a ``with`` block (``durnel.lifecycle``). Raises
    ``ValueError`` for a URL that cannot be parsed or whose scheme no engine serves, and
    ``MissingDependencyError`` (a ``ModuleNotFoundError``) naming the extra to install when
    the engine's client is missing.
    """
    if url is None:
        check_namespace(namespace)
    return engines.for_url(url).connect(url, namespace)
