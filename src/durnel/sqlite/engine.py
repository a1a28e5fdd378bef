"""SQLiteCoordinationState: the coordination contract in one SQLite file, for agents that are
threads and processes of one machine, with nothing to install or start.

Guarantees, beyond what the in-process engine gives:

- every call is one transaction: ``BEGIN IMMEDIATE`` ... ``COMMIT`` for the calls that may
  write, one read transaction for ``inbox``, ``status`` and a drain of an empty inbox; a
  takeover changes the claim, the new holder's status and both log events together or not
  at all, across processes, and a process killed at any point leaves every call applied
  whole or not at all (WAL mode);
- a call waits for another connection's write lock up to ``busy_timeout`` seconds, then
  raises BusyError having changed nothing (see transactions.py);
- any number of objects, threads and processes may use one file at once; each thread of
  each process has its own connection (see connections.py);
- the file is readable with ordinary tools: ``sqlite3 state.db 'select * from claims'``.

Stamps are whole seconds of this machine's wall clock, ``time.time()`` with the fraction
dropped, read once per call after the write lock is taken; the lease rules are the native
ones (300 s, age >= 300 lapses, a clock that went back makes a claim young, lapsed claims
stay until taken over or released).

The file (see schema.py for the DDL; every table has a ``namespace`` column, and namespaces
share the file and nothing else):
  claims    (namespace, resource) -> holder, stamp       held and lapsed claims
  statuses  (namespace, agent) -> status                  its rows are the broadcast roster
  messages  id, namespace, recipient, sender, content, sent_at, broadcast: every inbox,
            oldest (lowest id) first
  log       (namespace, seq) -> event, agent, resource, from_agent, to_agent, content, at
"""

import os
from typing import Any, Optional
from urllib.parse import parse_qsl, urlsplit

from ..arguments import plain
from ..contract import (
    BROADCAST_RECIPIENT,
    FILE_PREFIX,
    TASK_PREFIX,
    claim_refusal,
    release_refusal,
    renew_refusal,
)
from ..namespaces import check_namespace
from ..protocol import Message, Status
from . import calls
from .connections import Connections
from .transactions import read, write

__all__ = ["DEFAULT_BUSY_TIMEOUT", "SQLiteCoordinationState", "open_url"]

DEFAULT_BUSY_TIMEOUT = 5.0
SYNCHRONOUS = ("NORMAL", "FULL")


class SQLiteCoordinationState:
    """The nine methods of ``durnel_core.CoordinationState`` in the SQLite file at ``path``.

    ``path`` (a str or path-like; relative to the working directory of the moment) is made a
    durnel file on first use if it does not exist or is empty. ``namespace`` names the
    coordination group. ``log_maxlen`` keeps only the namespace's latest that many log events
    (default: all). ``busy_timeout`` is how many seconds a call waits for another
    connection's write lock before it raises BusyError. ``synchronous`` is ``"NORMAL"``
    (every committed call survives any crash of a process; a power loss or a crash of the
    machine may lose the last ones) or ``"FULL"`` (they survive those too, at the cost of an
    fsync per writing call).

    The file is opened, checked (or made) here, so that a bad path or a file that is not
    durnel's raises at once; each further thread and process opens its own connection.
    """

    def __init__(
        self,
        path: Any,
        namespace: str = "default",
        *,
        log_maxlen: Optional[int] = None,
        busy_timeout: float = DEFAULT_BUSY_TIMEOUT,
        synchronous: str = "NORMAL",
    ) -> None:
        check_namespace(namespace)
        path = os.fspath(path)
        if not isinstance(path, str):
            raise TypeError("path must be a str or a path-like of str, not %r" % (path,))
        if path in ("", ":memory:"):
            raise ValueError(
                "path must name a file, not %r: a database that lives only in one connection "
                "cannot be seen by any other process (durnel.connect() without a URL gives "
                "the in-process engine)" % (path,)
            )
        if log_maxlen is not None and (type(log_maxlen) is not int or log_maxlen < 1):
            raise ValueError("log_maxlen must be a positive int or None, not %r" % (log_maxlen,))
        if type(busy_timeout) not in (int, float) or not busy_timeout >= 0:
            raise ValueError(
                "busy_timeout must be a number of seconds >= 0, not %r" % (busy_timeout,)
            )
        if not isinstance(synchronous, str) or synchronous.upper() not in SYNCHRONOUS:
            raise ValueError("synchronous must be 'NORMAL' or 'FULL', not %r" % (synchronous,))
        self.path = os.path.abspath(path)
        self.namespace = namespace
        self.log_maxlen = log_maxlen
        self._connections = Connections(
            self.path, repr(self.path), float(busy_timeout), synchronous.upper()
        )
        self._where = self._connections.where
        self._busy_timeout = float(busy_timeout)
        self._connections.cursor()

    # ---- claims ----

    def claim_file(self, agent_id: str, path: str) -> str:
        return self._claim(FILE_PREFIX, plain("agent_id", agent_id), plain("path", path))

    def claim_task(self, agent_id: str, task_id: str) -> str:
        return self._claim(TASK_PREFIX, plain("agent_id", agent_id), plain("task_id", task_id))

    def _claim(self, prefix: str, agent: str, name: str) -> str:
        outcome = self._write(calls.claim, (prefix + name, agent))
        if outcome is not True:
            raise RuntimeError(claim_refusal(prefix, outcome, name))
        return agent

    def renew_claim(self, agent_id: str, resource_key: str) -> str:
        agent = plain("agent_id", agent_id)
        resource = plain("resource_key", resource_key)
        outcome = self._write(calls.renew, (resource, agent))
        if outcome is not True:
            raise RuntimeError(renew_refusal(agent, resource, outcome))
        return agent

    def release(self, agent_id: str, resource_key: str) -> None:
        agent = plain("agent_id", agent_id)
        resource = plain("resource_key", resource_key)
        outcome = self._write(calls.release, (resource, agent))
        if outcome is not True:
            raise RuntimeError(release_refusal(agent, outcome))

    # ---- mailboxes ----

    def send_message(self, from_agent: str, to_agent: str, content: str) -> Message:
        sender = plain("from_agent", from_agent)
        recipient = plain("to_agent", to_agent)
        text = plain("content", content)
        return (sender, recipient, text, self._write(calls.send, (sender, recipient, text)))

    def broadcast(self, from_agent: str, content: str) -> Message:
        sender = plain("from_agent", from_agent)
        text = plain("content", content)
        return (sender, BROADCAST_RECIPIENT, text, self._write(calls.broadcast, (sender, text)))

    def inbox(self, agent_id: str) -> list[Message]:
        agent = plain("agent_id", agent_id)
        return self._read(calls.inbox, agent)

    def drain_inbox(self, agent_id: str) -> list[Message]:
        agent = plain("agent_id", agent_id)
        # An empty inbox is found without the write lock: agents poll their inboxes.
        if not self._read(calls.inbox, agent):
            return []
        return self._write(calls.drain, (agent,))

    # ---- statuses ----

    def status(self, agent_id: str) -> Status:
        stored = self._read(calls.status, plain("agent_id", agent_id))
        return "idle" if stored is None else stored

    # ---- the connections ----

    def close(self) -> None:
        """Closes the calling thread's connection (a later call opens another); those of other
        threads close when their thread ends or this object goes."""
        self._connections.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        return "<SQLiteCoordinationState namespace=%r in %r>" % (self.namespace, self.path)

    def _write(self, call, arguments):
        return write(
            self._connections.cursor(),
            self._where,
            self._busy_timeout,
            call,
            self.namespace,
            self.log_maxlen,
            arguments,
        )

    def _read(self, call, agent):
        return read(
            self._connections.cursor(),
            self._where,
            self._busy_timeout,
            call,
            self.namespace,
            (agent,),
        )


_OPTIONS = {"busy_timeout": float, "log_maxlen": int, "synchronous": str}


def open_url(url: str, namespace: str) -> SQLiteCoordinationState:
    """The engine for ``sqlite:///relative/path.db`` (relative to the working directory) or
    ``sqlite:////absolute/path.db``, with the keyword arguments of SQLiteCoordinationState
    as query options (``?synchronous=FULL&busy_timeout=10``). The path is taken as written,
    without percent-decoding."""
    parts = urlsplit(url)
    forms = "sqlite:///relative/path.db or sqlite:////absolute/path.db"
    if parts.netloc:
        raise ValueError(
            "%r names a host (%r): a SQLite URL names a file on this machine, %s"
            % (url, parts.netloc, forms)
        )
    path = parts.path[1:] if parts.path.startswith("/") else parts.path
    if path == parts.path != "" or parts.fragment:
        raise ValueError("%r is not a SQLite URL of durnel's: %s" % (url, forms))
    if path in ("", ":memory:"):
        raise ValueError(
            "%r names no file: a database in one process's memory cannot be seen by any other "
            "process; durnel.connect() without a URL gives the in-process engine, and %s "
            "a file for several processes" % (url, forms)
        )
    options = {}
    for name, value in parse_qsl(parts.query, keep_blank_values=True):
        if name not in _OPTIONS or name in options:
            raise ValueError(
                "%r: unknown or repeated option %r (options: %s)"
                % (url, name, ", ".join(sorted(_OPTIONS)))
            )
        try:
            options[name] = _OPTIONS[name](value)
        except ValueError:
            raise ValueError(
                "%r: option %s=%r is not a %s" % (url, name, value, _OPTIONS[name].__name__)
            ) from None
    return SQLiteCoordinationState(path, namespace, **options)
