"""The SQLite engine's snapshot reader (see ``durnel.snapshots``): the whole namespace in one
read transaction, the log followed by polling, and a way to open a file for reading that
never makes one.

``read_snapshot`` reads the statuses, claims, mailboxes, log, presence and waiters of the
namespace inside one ``BEGIN`` ... ``COMMIT`` on the calling thread's connection (the engine's
``read_transaction``): a WAL read transaction, so one consistent moment of the file, taking no
write lock and waiting for none. Its clock reading is this machine's wall clock (the one that
stamps claims here), read inside the transaction. A claim whose holder's process has ended
(``ephemeral_claims``) is shown lapsed, as the next claim would find it; waiters whose process
has ended (rows that the next sweep removes) are left out, the others listed in line order with
their agent, since when they wait, and their process.

``read_namespaces`` counts every namespace of the file in one read transaction too. An
event's number is its ``seq``, which the engine numbers per namespace without gaps.

SQLite has no blocking read: ``read_log`` asks ``PRAGMA data_version`` every POLL_SECONDS,
which changes only when another connection has committed, and queries the log only then.

``open_url`` opens a ``sqlite:`` URL as the engine does, but refuses a path where there is no
file, or an empty one, instead of making a durnel file there: ``durnel show
sqlite:///typo.db`` must not leave a new file behind.
"""

import errno
import os
import time
from typing import Optional
from urllib.parse import urlsplit

from ..snapshots import (
    AgentView,
    LogEvent,
    NamespaceView,
    PresenceView,
    Snapshot,
    WaiterView,
    claim_views,
    mailbox_views,
)
from . import processes
from .engine import SQLiteCoordinationState
from .engine import open_url as open_engine_url
from .errors import BusyError, StorageError
from .transactions import wall_seconds

__all__ = [
    "POLL_SECONDS",
    "UNREACHABLE",
    "open_url",
    "read_log",
    "read_namespaces",
    "read_snapshot",
]

# a file that cannot be opened, read or found, or stays locked (WAL recovery) too long
UNREACHABLE = (OSError, StorageError, BusyError)
POLL_SECONDS = 0.1

_STATUSES = "SELECT agent, status FROM statuses WHERE namespace = ? ORDER BY agent"
_CLAIMS = (
    "SELECT resource, holder, stamp, pid, process FROM claims WHERE namespace = ? ORDER BY resource"
)
_PRESENCE = (
    "SELECT agent, last_seen, host, pid, object_id FROM presence WHERE namespace = ? ORDER BY agent"
)
# "claim" sorts before "mail", and a line's tickets are its order.
_WAITERS = (
    "SELECT kind, key, agent, since, host, pid, process FROM waiters WHERE namespace = ? "
    "ORDER BY kind, key, ticket"
)
# Counted on the inboxes index alone; then the sent_at of each inbox's lowest id, its oldest
# message as inbox() lists it (the clock may have gone back: not always the smallest sent_at).
_MAILBOXES = (
    "SELECT recipient, length, (SELECT sent_at FROM messages WHERE id = oldest) FROM "
    "(SELECT recipient, count(*) AS length, min(id) AS oldest FROM messages "
    "WHERE namespace = ? GROUP BY recipient) ORDER BY recipient"
)
# Log rows are numbered without gaps (each is the namespace's max(seq) + 1, and trimming
# removes the oldest), so two look-ups of the primary key count them, however long the log.
# (One SELECT of both max and min would scan the namespace's log: SQLite turns an aggregate
# into one look-up only when it is alone.)
_SEQ_SPAN = (
    "ifnull((SELECT max(seq) FROM log WHERE namespace = {0}) - "
    "(SELECT min(seq) FROM log WHERE namespace = {0}) + 1, 0)"
)
_LOG_SPAN = "SELECT " + _SEQ_SPAN.format("?1")
# Every namespace with its counts. The log's namespaces are found one index seek each (a
# skip-scan written out), not by reading every event.
_NAMESPACES = (
    "WITH RECURSIVE logged(namespace) AS ("
    " SELECT min(namespace) FROM log"
    " UNION ALL SELECT (SELECT min(namespace) FROM log WHERE namespace > logged.namespace)"
    " FROM logged WHERE logged.namespace IS NOT NULL),"
    " counts(namespace, agents, claims, messages, events) AS ("
    " SELECT namespace, count(*), 0, 0, 0 FROM statuses GROUP BY namespace"
    " UNION ALL SELECT namespace, 0, count(*), 0, 0 FROM claims GROUP BY namespace"
    " UNION ALL SELECT namespace, 0, 0, count(*), 0 FROM messages GROUP BY namespace"
    " UNION ALL SELECT namespace, 0, 0, 0, " + _SEQ_SPAN.format("logged.namespace") + " "
    " FROM logged WHERE namespace IS NOT NULL)"
    " SELECT namespace, sum(agents), sum(claims), sum(messages), sum(events) FROM counts"
    " GROUP BY namespace ORDER BY namespace"
)
_EVENTS = "SELECT seq, event, at, agent, resource, from_agent, to_agent, content FROM log "
_TAIL = _EVENTS + "WHERE namespace = ? ORDER BY seq DESC LIMIT ?"
_AFTER = _EVENTS + "WHERE namespace = ? AND seq > ? ORDER BY seq LIMIT 1000"


_event = LogEvent._make


def read_snapshot(state: SQLiteCoordinationState, log_tail: int) -> Snapshot:
    namespace = (state.namespace,)

    def read(cursor):
        agents = tuple(map(AgentView._make, cursor.execute(_STATUSES, namespace)))
        # read once the first statement has fixed the transaction's moment: no stamp it
        # reads can be later than this reading (unless the clock went back)
        now = wall_seconds()
        rows = cursor.execute(_CLAIMS, namespace).fetchall()
        claims = claim_views((row[:3] for row in rows), now)
        if any(row[4] is not None for row in rows):
            claims = tuple(
                view._replace(seconds_left=0, lapsed=True) if _ended(row[3], row[4]) else view
                for view, row in zip(claims, rows)
            )
        mailboxes = mailbox_views(cursor.execute(_MAILBOXES, namespace), now)
        presence = tuple(
            PresenceView(agent, seen, now - seen if now > seen else 0, host, pid, object_id)
            for agent, seen, host, pid, object_id in cursor.execute(_PRESENCE, namespace)
        )
        waiters = _waiter_views(cursor.execute(_WAITERS, namespace).fetchall())
        (length,) = cursor.execute(_LOG_SPAN, namespace).fetchone()
        log: tuple[LogEvent, ...] = ()
        if log_tail:
            log = tuple(map(_event, cursor.execute(_TAIL, (state.namespace, log_tail))))[::-1]
        return Snapshot(
            "sqlite",
            state.namespace,
            now,
            agents,
            claims,
            mailboxes,
            log,
            length,
            presence=presence,
            waiters=waiters,
        )

    return state.read_transaction(read)


def _ended(pid, process):
    return process is not None and processes.judge(pid, process) == processes.DEAD


def _waiter_views(rows):
    """The waiters of rows (kind, key, agent, since, host, pid, process) in line order, those
    whose process has ended left out; a claim line numbered from 1, mail waiters 0. A row
    that an older durnel wrote has no agent, host or since: the agent is then its key (mail)
    or "?", the rest unknown."""
    verdicts: dict = {}
    views = []
    line, place = None, 0
    for kind, key, agent, since, host, pid, process in rows:
        if (pid, process) not in verdicts:
            verdicts[pid, process] = processes.judge(pid, process)
        if verdicts[pid, process] == processes.DEAD:
            continue
        if kind == "claim":
            place = place + 1 if line == key else 1
            line = key
        views.append(
            WaiterView(
                kind,
                key,
                place if kind == "claim" else 0,
                agent or (key if kind == "mail" else "?"),
                since,
                host or None,
                pid,
            )
        )
    return tuple(views)


def read_log(
    state: SQLiteCoordinationState, after: Optional[int], block: float
) -> tuple[LogEvent, ...]:
    """The events after the event number ``after``, polling for up to ``block`` seconds."""
    arguments = (state.namespace, after or 0)
    deadline = time.monotonic() + block
    seen = None
    while True:

        def look(cursor, seen=seen):
            version = cursor.execute("PRAGMA data_version").fetchone()[0]
            if version == seen:
                return version, []
            return version, cursor.execute(_AFTER, arguments).fetchall()

        seen, events = state.read_transaction(look)
        if events:
            return tuple(map(_event, events))
        left = deadline - time.monotonic()
        if left <= 0:
            return ()
        time.sleep(min(POLL_SECONDS, left))


def read_namespaces(state: SQLiteCoordinationState) -> tuple[NamespaceView, ...]:
    """Every namespace of the file, in one read transaction."""
    return state.read_transaction(
        lambda cursor: tuple(map(NamespaceView._make, cursor.execute(_NAMESPACES)))
    )


def open_url(url: str, namespace: str) -> SQLiteCoordinationState:
    """The engine for ``url`` (see ``durnel.sqlite.open_url``) on a durnel file that exists;
    FileNotFoundError naming the path when there is none, or only an empty file."""
    parts = urlsplit(url)
    path = parts.path[1:] if parts.path.startswith("/") else parts.path
    # the engine's own parsing judges everything but the file's presence
    if not parts.netloc and path not in ("", ":memory:") and not _has_data(path):
        raise FileNotFoundError(
            errno.ENOENT,
            "there is no durnel file at %s (a reader does not make one)" % os.path.abspath(path),
        )
    return open_engine_url(url, namespace)


def _has_data(path):
    try:
        return os.path.getsize(path) > 0 or os.path.isdir(path)
    except OSError:
        return False
