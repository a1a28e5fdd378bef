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
are woken by the calls of any thread or process on the file (see wakes.py). The rows of
waiters whose process died go at the next wait, send, broadcast or release of any object on
the file (at most one look a second per object; see ``_sweep``). A drain whose messages never
reached their caller (an asyncio task cancelled while its drain ran, see aio.py) puts them
back in the file, in front of the inbox, in their order: nothing taken from the file is kept
only in one process's memory.

Files that durnel makes (the database; SQLite gives its ``-wal`` and ``-shm`` the database's
mode) are readable and writable by their owner only, unless ``file_mode`` says otherwise;
the mode of a file that exists is left as it is.

``close()`` (``durnel.lifecycle``) closes the connection of the calling thread; those of other
threads close when their thread ends or the object goes. Waits sleeping on a closed object
raise ClosedError at their next look (within ``waits.LOOK_EVERY`` seconds). What a cancelled
asyncio call took is handed back to the file even after the object is closed.

Presence: the calls of an agent (claims, renewals, releases, sends and broadcasts by it, its
inbox and drains, its waits; not ``status``, a read about anyone) record when it was last
seen, the host, the pid and ``object_id`` (16 hex digits, this object's, a new one in a
forked child) in the ``presence`` table, in the call's own transaction. An object records an
agent at most once every PRESENCE_EVERY seconds, so ``last_seen`` is exact to about a second
and ``inbox`` stays a read (but once a second per agent and object, when the write lock is
free at once: a read never waits for it, and one that cannot write, on a full disk say,
reads as before and records nothing).

Claims that die with their holder: an object opened with ``ephemeral_claims=True`` (or
``?ephemeral_claims=1``) ties the claims taken or renewed through it to its process. While
the process runs (stopped by SIGSTOP or a debugger included) they behave as any other claim;
once it has ended they count as lapsed: the next claim by anyone takes them over at once (a
takeover, logged as one, and logged on "durnel.sqlite"), the first waiter for one is served
within about ``waits.LIVENESS`` seconds (1 s) plus a call, and snapshots show them lapsed.
A process that this one cannot see (another PID namespace) counts as alive: its claims lapse
with their leases. Renewals and releases by the holder work as for any lapsed claim.

Beyond the contract, for an operator: ``revoke(resource_key, by)`` frees a claim whoever
holds it, and ``delete_namespace()`` deletes every row of the namespace.

Logged on ``logging.getLogger("durnel.sqlite")`` (info; silent unless the program configures
logging): a waiter found dead and removed, a file migrated to this schema version, a first
waiter passed over (its process is paused), a claim freed because its holder's process
ended.

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
  waiters   ticket -> namespace, kind, key, address, pid, process, agent, host, since: the
            waits that sleep, in arrival order
  presence  (namespace, agent) -> last_seen, host, pid, object_id
"""

import logging
import os
import socket
import sqlite3
import stat
import time
import weakref
from typing import Any, Callable, Optional, TypeVar
from urllib.parse import parse_qsl, urlsplit

from ..arguments import plain
from ..contract import (
    BROADCAST_RECIPIENT,
    FILE_PREFIX,
    METHODS,
    TASK_PREFIX,
    WAITS,
    claim_refusal,
    release_refusal,
    renew_refusal,
)
from ..lifecycle import Closing
from ..namespaces import check_namespace
from ..protocol import Message, Status
from ..waiting import run_waits
from . import processes, sql, waits, wakes
from .checkpoints import keep_small
from .connections import Connections
from .errors import BusyError, StorageError
from .transactions import read, retry, write
from .wakes import SocketWaiter, WakePlace

__all__ = ["DEFAULT_BUSY_TIMEOUT", "SQLiteCoordinationState", "open_url"]

DEFAULT_BUSY_TIMEOUT = 5.0
DEFAULT_FILE_MODE = 0o600
SYNCHRONOUS = ("NORMAL", "FULL")
SWEEP_EVERY = 1.0  # seconds between two looks of one object for the rows of dead waiters
PRESENCE_EVERY = 1.0  # seconds between two records of one agent's presence by one object
_KEPT_AGENTS = 4096  # agents whose last record an object remembers before it starts afresh

_log = logging.getLogger("durnel.sqlite")
_monotonic = time.monotonic
_host: list = []  # this machine's name, read once
_objects: "weakref.WeakSet[SQLiteCoordinationState]" = weakref.WeakSet()

_Read = TypeVar("_Read")


class SQLiteCoordinationState(Closing):
    """The nine methods of ``durnel_core.CoordinationState`` in the SQLite file at ``path``.

    ``path`` (a str or path-like; relative to the working directory of the moment) is made a
    durnel file on first use if it does not exist or is empty. ``namespace`` names the
    coordination group. ``log_maxlen`` keeps only the namespace's latest that many log events
    (default: all). ``busy_timeout`` is how many seconds a call waits for another
    connection's write lock before it raises BusyError. ``synchronous`` is ``"NORMAL"``
    (every committed call survives any crash of a process; a power loss or a crash of the
    machine may lose the last ones) or ``"FULL"`` (they survive those too, at the cost of an
    fsync per writing call). ``file_mode`` is the mode of the file if this makes it (0o600:
    its owner's alone), whatever the umask; an existing file keeps its mode. SQLite gives the
    ``-wal`` and ``-shm`` files the database's mode, and so does durnel a wake directory,
    where there is one (wakes.py), with search permission. ``ephemeral_claims`` ties the
    claims taken or renewed through this object to its process: they lapse when it ends
    (see the module's docstring).

    The file is opened, checked (or made) here, so that a bad path or a file that is not
    durnel's raises at once; each further thread and process opens its own connection.
    """

    _CLOSED_METHODS = METHODS + WAITS + ("read_transaction", "revoke", "delete_namespace")

    def __init__(
        self,
        path: Any,
        namespace: str = "default",
        *,
        log_maxlen: Optional[int] = None,
        busy_timeout: float = DEFAULT_BUSY_TIMEOUT,
        synchronous: str = "NORMAL",
        file_mode: int = DEFAULT_FILE_MODE,
        ephemeral_claims: bool = False,
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
        if type(file_mode) is not int or not 0 <= file_mode <= 0o777:
            raise ValueError(
                "file_mode must be an int of permission bits (0o000 to 0o777), not %r"
                % (file_mode,)
            )
        if type(ephemeral_claims) is not bool:
            raise ValueError("ephemeral_claims must be True or False, not %r" % (ephemeral_claims,))
        self.path = os.path.abspath(path)
        self.namespace = namespace
        self.log_maxlen = log_maxlen
        self.file_mode = file_mode
        self._connections = Connections(
            self.path, repr(self.path), float(busy_timeout), synchronous.upper(), file_mode
        )
        self._where = self._connections.where
        self.busy_timeout = float(busy_timeout)
        self._next_sweep = 0.0
        self.ephemeral_claims = ephemeral_claims
        self.object_id = os.urandom(8).hex()
        self._seen: dict[str, float] = {}  # agent -> when its presence is next recorded
        with self._connections:  # opens the file, and checks it
            pass
        # A wake directory, where there is one, is for those who may use the file: its mode,
        # with search permission wherever it gives read permission.
        mode = stat.S_IMODE(os.stat(self.path).st_mode)
        self._wakes = WakePlace(self.path, mode | (mode & 0o444) >> 2)
        _objects.add(self)

    # ---- claims ----

    def claim_file(self, agent_id: str, path: str) -> str:
        return self._claim(FILE_PREFIX, plain("agent_id", agent_id), plain("path", path))

    def claim_task(self, agent_id: str, task_id: str) -> str:
        return self._claim(TASK_PREFIX, plain("agent_id", agent_id), plain("task_id", task_id))

    def _claim(self, prefix: str, agent: str, name: str) -> str:
        notes: list = []
        mortal = processes.this_process() if self.ephemeral_claims else None
        outcome = self._write(sql.claim, (prefix + name, agent, mortal, notes), agent)
        if notes:
            _tell(notes)
        if outcome is not True:
            raise RuntimeError(claim_refusal(prefix, outcome, name))
        return agent

    def renew_claim(self, agent_id: str, resource_key: str) -> str:
        agent = plain("agent_id", agent_id)
        resource = plain("resource_key", resource_key)
        outcome = self._write(sql.renew, (resource, agent, self._mortal()), agent)
        if outcome is not True:
            raise RuntimeError(renew_refusal(agent, resource, outcome))
        return agent

    def release(self, agent_id: str, resource_key: str) -> None:
        agent = plain("agent_id", agent_id)
        resource = plain("resource_key", resource_key)
        outcome, waiting = self._write(sql.release, (resource, agent), agent)
        if outcome is not True:
            raise RuntimeError(release_refusal(agent, outcome))
        if waiting:
            self._wake(waiting)
        if time.monotonic() >= self._next_sweep:
            self._sweep()

    # ---- mailboxes ----

    def send_message(self, from_agent: str, to_agent: str, content: str) -> Message:
        sender = plain("from_agent", from_agent)
        recipient = plain("to_agent", to_agent)
        text = plain("content", content)
        now, waiting = self._write(sql.send, (sender, recipient, text), sender)
        if waiting:
            self._wake(waiting)
        if time.monotonic() >= self._next_sweep:
            self._sweep()
        return (sender, recipient, text, now)

    def broadcast(self, from_agent: str, content: str) -> Message:
        sender = plain("from_agent", from_agent)
        text = plain("content", content)
        now, waiting = self._write(sql.broadcast, (sender, text), sender)
        if waiting:
            self._wake(waiting)
        if time.monotonic() >= self._next_sweep:
            self._sweep()
        return (sender, BROADCAST_RECIPIENT, text, now)

    def inbox(self, agent_id: str) -> list[Message]:
        agent = plain("agent_id", agent_id)
        if self._seen.get(agent, 0.0) <= _monotonic():  # (inline: a read is a few us)
            presence = (agent, _host_name(), os.getpid(), self.object_id)
            try:
                return self._noted(sql.seen_reading, presence, (sql.inbox, agent), 0.0)
            except (BusyError, StorageError):
                self._unnoted(agent)
        return self._read(sql.inbox, agent)

    def drain_inbox(self, agent_id: str) -> list[Message]:
        return messages_of(self._drain_waiting(plain("agent_id", agent_id), None)[0])

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
    # Those that start something refuse a closed object; those that hand back what a call
    # took (_restore, _leave, _release_quietly) never do.

    def _drain_waiting(self, agent, ticket):
        """Drains ``agent``'s mailbox, and if that finds messages, the mail waiter ``ticket``
        (if any) leaves in the same transaction: (rows as sql.drain gives them, whether the
        waiter is still listed). An empty mailbox is found without the write lock: agents
        poll their inboxes."""
        if self._closed:
            raise self._closed_error()
        if self._seen.get(agent, 0.0) <= _monotonic():
            presence = (agent, _host_name(), os.getpid(), self.object_id)
            try:
                return self._noted(sql.seen, presence, (sql.drain_waiting, agent, ticket), 0.0)
            except (BusyError, StorageError):
                self._unnoted(agent)
        has_mail, listed = self._read(sql.look, agent, ticket)
        if has_mail:
            return self._write(sql.drain_waiting, (agent, ticket))
        if ticket is not None:  # a wait's look: the moment to shrink a -wal left large
            with self._connections as cursor:
                keep_small(cursor, idle=True)
        return [], bool(listed)

    def _restore(self, agent, rows):
        """Puts drained ``rows`` that never reached their caller back in front of ``agent``'s
        inbox (see sql.restore). They exist nowhere else: a file busy for longer than
        ``busy_timeout`` is waited for again."""
        while True:
            try:
                return self._write(sql.restore, (agent, rows))
            except BusyError:
                continue

    def _join(self, waiter, kind, key):
        """``waiter`` (its socket bound first) waits for ``key``: its ticket."""
        if self._closed:
            raise self._closed_error()
        if time.monotonic() >= self._next_sweep:
            self._sweep()
        place = (waiter.open(),) + processes.this_process() + (key, _host_name())
        return self._write(sql.join, (kind, key) + place)

    def _leave(self, ticket, kind, key):
        """The waiter ``ticket`` no longer waits; the claim waiters that this moves in the
        first two places of their line are woken. Never raises: a row left behind is a
        stale one, which ``_sweep`` or a sender finds so and removes."""
        try:
            woken = self._write(sql.leave, (ticket, kind, key))
            if woken:
                self._wake(woken)
        except Exception:
            pass

    def _claim_turn(self, resource, agent, ticket, gone, passed, waiter):
        """One turn of a claim wait (see sql.claim_turn), taking out the waiter ahead that
        is ``gone`` (its row, or None) and its socket file, if it has one, and the first in
        line ``passed`` (a ticket, or None) if the resource is still free; a waiter without a
        ticket joins the line only if its socket is bound."""
        if self._closed:
            raise self._closed_error()
        me = None
        if waiter.name is not None:
            me = (waiter.name,) + processes.this_process() + (agent, _host_name())
        out = None if gone is None else gone[0]
        notes: list = []
        arguments = (resource, agent, ticket, me, out, passed, self._mortal(), notes)
        result, woken = self._write(sql.claim_turn, arguments, agent)
        if gone is not None:
            self._wakes.remove(gone[1])
        if notes:
            _tell(notes)
        if woken:
            self._wake(woken)
        return result

    def _claim_turn_opening(self, resource, agent, ticket, gone, passed, waiter):
        waiter.open()
        if time.monotonic() >= self._next_sweep:
            self._sweep()
        return self._claim_turn(resource, agent, ticket, gone, passed, waiter)

    def _gone(self, waiter):
        """Whether the waiter of a row (ticket, address, pid, process) is gone (wakes.py)."""
        return self._wakes.gone(waiter)

    def _holder_gone(self, held):
        """Whether the process (pid, process) that a claim dies with has ended."""
        return processes.judge(*held) == processes.DEAD

    def _release_quietly(self, agent, resource):
        """Releases a claim made for a caller that never learnt of it; never raises."""
        try:  # the class's own release: the object may be closed meanwhile
            SQLiteCoordinationState.release(self, agent, resource)
        except Exception:
            pass

    def _wake(self, waiters):
        """Wakes ``waiters`` (rows) after a commit; removes those that are gone, and wakes
        those that this moved up in a line. Never raises: the call it follows has taken
        effect."""
        while waiters:
            gone = self._wakes.wake(waiters)
            if not gone:
                return
            waiters = self._evict(gone)

    def _evict(self, gone):
        """Removes the rows of the waiters ``gone`` and their socket files, if they have
        any; returns the waiters to wake for it (or none, if it failed)."""
        try:
            woken = self._write(sql.evict, ([row[0] for row in gone],))
        except Exception:
            return []
        for row in gone:
            self._wakes.remove(row[1])
        _log.info(
            "removed %d waiter(s) of %s whose wait or process had ended: %s",
            len(gone),
            self.path,
            ", ".join("ticket %s (pid %s)" % (row[0], row[2]) for row in gone),
        )
        return woken

    def _sweep(self):
        """Removes the rows of waiters whose process has ended, in every namespace, and of
        this process's waits that ended without removing theirs; wakes those that this
        moves up. One look (a read, and a check per process that waits) at most every
        SWEEP_EVERY seconds per object; never raises."""
        self._next_sweep = time.monotonic() + SWEEP_EVERY
        try:
            mine = processes.this_process()
            gone = []
            for pid, process in self._read(sql.waiting_processes):
                if (pid, process) == mine:
                    gone.extend(wakes.stale(self._read(sql.waiters_of, pid, process)))
                elif processes.judge(pid, process) == processes.DEAD:
                    gone.extend(self._read(sql.waiters_of, pid, process))
            if gone:
                self._wake(self._evict(gone))
        except Exception:
            pass

    # ---- for an operator, beyond the contract ----

    def revoke(self, resource_key: str, by: str) -> str:
        """Frees the claim on ``resource_key`` (``"file:<path>"`` or ``"task:<task id>"``)
        whoever holds it, held or lapsed, in one transaction: logs a Revoked event (``agent``
        the holder, ``resource`` the key, ``from_agent`` ``by``), leaves the holder's status
        as it was (as a takeover does), and wakes the first waiter for the resource. Returns
        the holder; RuntimeError when there is no claim on the key."""
        resource = plain("resource_key", resource_key)
        who = plain("by", by)
        holder, waiting = self._write(sql.revoke, (resource, who))
        if holder is None:
            raise RuntimeError("no claim on " + resource + " to revoke")
        if waiting:
            self._wake(waiting)
        return holder

    def delete_namespace(self) -> int:
        """Deletes every row of this object's namespace (claims, statuses, messages, log,
        waiters, presence) in one transaction, and nothing of any other namespace; returns
        how many rows were deleted. Waits sleeping in the namespace are woken and go on
        waiting (their rows made again); agents still calling leave new rows behind."""
        deleted, waiting = self._write(sql.delete_namespace, ())
        if waiting:
            self._wake(waiting)
        return deleted

    # ---- statuses ----

    def status(self, agent_id: str) -> Status:
        stored = self._read(sql.status, plain("agent_id", agent_id))
        return "idle" if stored is None else stored

    # ---- reading the file ----

    def read_transaction(self, read: Callable[[sqlite3.Cursor], _Read]) -> _Read:
        """``read(cursor)`` inside one read transaction (``BEGIN`` ... ``COMMIT``) on the
        calling thread's connection: one consistent moment of the file, taking no write lock
        and waiting for none; begun again while the file is busy (WAL recovery by another
        connection), for up to ``busy_timeout`` seconds, then BusyError. ``read`` must only
        read, and may be run more than once. This is how ``durnel.snapshot`` reads the file;
        the tables are described in the module's docstring."""

        def attempt():
            with self._connections as cursor:
                cursor.execute("BEGIN")
                try:
                    return read(cursor)
                finally:
                    if cursor.connection.in_transaction:
                        cursor.execute("COMMIT")  # a read transaction: COMMIT only ends it

        return retry(self._where, self.busy_timeout, attempt)

    # ---- the connections ----

    def _let_go(self) -> None:
        self._connections.close()

    def __repr__(self):
        return "<SQLiteCoordinationState namespace=%r in %r>" % (self.namespace, self.path)

    def _write(self, call, arguments, agent=None):
        """``call`` in a write transaction; with the presence of ``agent`` if this object
        last recorded it PRESENCE_EVERY seconds ago or more (the check inline: it comes with
        every call)."""
        if agent is not None and self._seen.get(agent, 0.0) <= _monotonic():
            presence = (agent, _host_name(), os.getpid(), self.object_id)
            return self._noted(sql.seen, presence, (call,) + arguments)
        return write(
            self._connections,
            self._where,
            self.busy_timeout,
            call,
            self.namespace,
            self.log_maxlen,
            arguments,
        )

    def _noted(self, seen, presence, arguments, busy_timeout=None):
        """A write transaction that records ``presence`` (by ``seen``: sql.seen or
        sql.seen_reading) and makes the call of ``arguments``, waiting for the write lock
        up to ``busy_timeout`` (None: the object's)."""
        result = write(
            self._connections,
            self._where,
            self.busy_timeout if busy_timeout is None else busy_timeout,
            seen,
            self.namespace,
            self.log_maxlen,
            (presence,) + arguments,
        )
        if len(self._seen) >= _KEPT_AGENTS:
            self._seen.clear()
        self._seen[presence[0]] = _monotonic() + PRESENCE_EVERY
        return result

    def _unnoted(self, agent):
        """A read that was to record ``agent``'s presence could not write (the write lock
        was taken, or the file could not be written: a full disk, say): it stays a read,
        which waits for no write lock, and the next try is PRESENCE_EVERY seconds away."""
        self._seen[agent] = _monotonic() + PRESENCE_EVERY

    def _mortal(self):
        """What a claim taken or renewed now dies with: this process, or nothing."""
        return processes.this_process() if self.ephemeral_claims else None

    def _read(self, call, *arguments):
        return read(
            self._connections,
            self._where,
            self.busy_timeout,
            call,
            self.namespace,
            arguments,
        )


def _host_name():
    if not _host:
        _host.append(socket.gethostname())
    return _host[0]


def _tell(notes):
    """Logs what a transaction's ``notes`` (sql.py) say it did."""
    for note in notes:
        what, namespace, resource = note[:3]
        if what == "freed":
            _log.info(
                "freed the claim of %s on %s in namespace %s: its holder's process %d ended",
                note[3],
                resource,
                namespace,
                note[4],
            )
        elif what == "passed":
            _log.info(
                "passed over the first waiter (ticket %d) for %s in namespace %s: the resource "
                "stayed free while its process did not take it (paused?)",
                note[3],
                resource,
                namespace,
            )
        else:
            _log.info(
                "removed the waiter (ticket %d) for %s in namespace %s: its wait or process "
                "had ended",
                note[3],
                resource,
                namespace,
            )


def _forget_in_child():
    # A forked child is another process: its objects get ids of their own, and record
    # their agents' presence anew.
    for state in list(_objects):
        state.object_id = os.urandom(8).hex()
        state._seen = {}


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_in_child)


def messages_of(rows):
    """The messages of rows that sql.drain gives."""
    return [row[:4] for row in rows]


def octal(text):
    """An int written in octal digits (a file mode: 600, 0600 or 0o600)."""
    digits = text[2:] if text[:2].lower() == "0o" else text
    if not digits or digits.strip("01234567"):
        raise ValueError(text)
    return int(digits, 8)


def flag(text):
    """True or False, written as 1/0, true/false, yes/no or on/off."""
    value = {"1": True, "true": True, "yes": True, "on": True}.get(text.lower())
    if value is None and text.lower() not in ("0", "false", "no", "off"):
        raise ValueError(text)
    return bool(value)


# name -> (conversion, what it takes)
_OPTIONS: dict[str, tuple[Callable[[str], Any], str]] = {
    "busy_timeout": (float, "a float"),
    "log_maxlen": (int, "an int"),
    "synchronous": (str, "a str"),
    "file_mode": (octal, "an octal file mode"),
    "ephemeral_claims": (flag, "1 or 0 (true or false)"),
}


def open_url(url: str, namespace: str) -> SQLiteCoordinationState:
    """The engine for ``sqlite:///relative/path.db`` (relative to the working directory) or
    ``sqlite:////absolute/path.db``, with the keyword arguments of SQLiteCoordinationState
    as query options (``?synchronous=FULL&busy_timeout=10``, ``file_mode=0640`` in octal
    digits, ``ephemeral_claims=1``). The path is taken as written, without percent-decoding."""
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
        convert, kind = _OPTIONS[name]
        try:
            options[name] = convert(value)
        except ValueError:
            raise ValueError("%r: option %s=%r is not %s" % (url, name, value, kind)) from None
    return SQLiteCoordinationState(path, namespace, **options)
