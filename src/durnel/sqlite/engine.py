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

The waits of ``durnel.WaitingCoordination`` (see waits.py) sleep on a socket of their own and
are woken by the calls of any thread or process on the file (see wakes.py). A drain whose
messages never reached their caller (an asyncio task cancelled while its drain ran, see
aio.py) hands them back to the object: its next ``drain_inbox`` or ``wait_for_messages`` of
that agent returns them first, and its ``inbox`` shows them first.

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
  waiters   ticket -> namespace, kind, key, address   the waits that sleep, in arrival order
"""

import os
import threading
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
from ..waiting import run_waits
from . import calls, waits
from .connections import Connections
from .transactions import read, write
from .wakes import SocketWaiter, WakeDirectory

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
        self._wakes = WakeDirectory(self.path)
        self._handed_back = {}  # agent -> messages drained for a caller that never got them
        self._handed_back_lock = threading.Lock()
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
        outcome, waiting = self._write(calls.release, (resource, agent))
        if outcome is not True:
            raise RuntimeError(release_refusal(agent, outcome))
        if waiting:
            self._wake(waiting)

    # ---- mailboxes ----

    def send_message(self, from_agent: str, to_agent: str, content: str) -> Message:
        sender = plain("from_agent", from_agent)
        recipient = plain("to_agent", to_agent)
        text = plain("content", content)
        now, waiting = self._write(calls.send, (sender, recipient, text))
        if waiting:
            self._wake(waiting)
        return (sender, recipient, text, now)

    def broadcast(self, from_agent: str, content: str) -> Message:
        sender = plain("from_agent", from_agent)
        text = plain("content", content)
        now, waiting = self._write(calls.broadcast, (sender, text))
        if waiting:
            self._wake(waiting)
        return (sender, BROADCAST_RECIPIENT, text, now)

    def inbox(self, agent_id: str) -> list[Message]:
        agent = plain("agent_id", agent_id)
        messages = self._read(calls.inbox, agent)
        if self._handed_back:
            with self._handed_back_lock:
                messages = self._handed_back.get(agent, []) + messages
        return messages

    def drain_inbox(self, agent_id: str) -> list[Message]:
        return self.drain_waiting(plain("agent_id", agent_id), None)[0]

    # ---- waits ----

    def wait_for_messages(self, agent_id: str, timeout: Optional[float] = None) -> list[Message]:
        return self._wait(waits.message_waits(self, agent_id, timeout))

    def wait_claim_file(self, agent_id: str, path: str, timeout: Optional[float] = None) -> str:
        return self._wait(waits.claim_waits(self, FILE_PREFIX, agent_id, path, timeout))

    def wait_claim_task(self, agent_id: str, task_id: str, timeout: Optional[float] = None) -> str:
        return self._wait(waits.claim_waits(self, TASK_PREFIX, agent_id, task_id, timeout))

    def _wait(self, steps):
        waiter = SocketWaiter(self._wakes)
        try:
            return run_waits(steps, waiter)
        finally:
            waiter.close()

    # The calls that the waits' steps make (see waits.py), each one transaction or none.

    def drain_waiting(self, agent, ticket):
        """Drains ``agent``'s mailbox (what was handed back first), and if that finds
        messages, the mail waiter ``ticket`` (if any) leaves in the same transaction:
        (messages, whether the waiter still waits)."""
        back = self._take_back(agent) if self._handed_back else None
        try:
            # An empty inbox is found without the write lock: agents poll their inboxes.
            if self._read(calls.inbox, agent):
                messages, waiting = self._write(calls.drain_waiting, (agent, ticket))
            else:
                messages, waiting = [], ticket is not None
        except BaseException:
            if back:
                self.hand_back(agent, back, first=True)
            raise
        if back:
            if waiting:
                self.leave(ticket, "mail", agent)
            return back + messages, False
        return messages, waiting

    def join(self, waiter, kind, key):
        """``waiter`` (its socket bound first) waits for ``key``: its ticket."""
        return self._write(calls.join, (kind, key, waiter.open()))

    def leave(self, ticket, kind, key):
        """The waiter ``ticket`` no longer waits; the next in line for a claim is woken if the
        turn is now its own. Never raises: a row left behind belongs to a closed socket, and
        whoever finds it so removes it."""
        try:
            woken = self._write(calls.leave, (ticket, kind, key))
            if woken:
                self._wake(woken)
        except Exception:
            pass

    def claim_turn(self, resource, agent, ticket, gone, waiter):
        """One turn of a claim wait (see calls.claim_turn); a waiter without a ticket joins
        the line only if its socket is bound."""
        result, woken = self._write(calls.claim_turn, (resource, agent, ticket, waiter.name, gone))
        if woken:
            self._wake(woken)
        return result

    def claim_turn_opening(self, resource, agent, ticket, gone, waiter):
        waiter.open()
        return self.claim_turn(resource, agent, ticket, gone, waiter)

    def hand_back(self, agent, messages, first=False):
        """Keeps drained ``messages`` that never reached their caller for the next drain of
        ``agent`` through this object (before those handed back already, if ``first``)."""
        with self._handed_back_lock:
            kept = self._handed_back.get(agent, [])
            self._handed_back[agent] = list(messages) + kept if first else kept + list(messages)

    def release_quietly(self, agent, resource):
        """Releases a claim made for a caller that never learnt of it; never raises."""
        try:
            self.release(agent, resource)
        except Exception:
            pass

    def _take_back(self, agent):
        with self._handed_back_lock:
            return self._handed_back.pop(agent, None)

    def _wake(self, names):
        """Wakes the waiters of ``names`` after a commit; removes those whose socket is gone,
        and wakes those that this moved to the front of a line. Never raises: the call it
        follows has taken effect."""
        while names:
            dead = self._wakes.wake(names)
            if not dead:
                return
            try:
                names = self._write(calls.evict, (dead,))
            except Exception:
                return
            for name in dead:
                self._wakes.remove(name)

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
