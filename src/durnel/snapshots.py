"""Snapshots: a read-only picture of one coordination group, on any engine.

``snapshot(state, log_tail=20)`` returns a ``Snapshot``: every agent with its status, every
claim with its holder, stamp, age and seconds left (lapsed claims stay stored, and are listed
as lapsed), every non-empty mailbox with its length and the age of its oldest message, the
last ``log_tail`` events of the activity log, and the engine's clock reading it was taken at.
Ages and seconds left are computed from that one reading, by the lease rule of
``durnel.contract``. Taking a snapshot changes nothing and takes no claim. Redis and SQLite
read one consistent moment, in one step of their own (one read-only function on Redis, one
read transaction on SQLite); the in-process engine reads each shard of its tables at its own
moment, while the program's other threads go on working (``durnel.inprocess.snapshot_reader``).

Each engine's reader is found through the registry (``durnel.engines``), by the object to
read or by a URL, and imported only when it is needed; what a reader must offer is said
there. A closed object (``durnel.lifecycle``) is not read: ClosedError.

Every value is immutable: a frozen dataclass holding tuples of NamedTuples (several times
cheaper to make than dataclasses, and a snapshot can hold thousands). ``as_json(snapshot)``
gives the plain JSON form that ``durnel show --json`` prints (its shape is in the
documentation, docs/command.md).
"""

from dataclasses import dataclass
from typing import Any, NamedTuple, Optional

from . import engines
from .contract import LEASE_SECONDS
from .lifecycle import AsyncClosing, Closing
from .protocol import Status

__all__ = [
    "AgentView",
    "ClaimView",
    "LogEvent",
    "MailboxView",
    "NamespaceView",
    "PresenceView",
    "Snapshot",
    "WaiterView",
    "as_json",
    "event_json",
    "follow_log",
    "namespaces",
    "open_for_reading",
    "snapshot",
    "unreachable_errors",
]

DEFAULT_LOG_TAIL = 20
# The version of the JSON documents of as_json and the durnel command, raised whenever a field
# changes meaning or is removed (a new field alone does not raise it).
JSON_FORMAT = 1


class AgentView(NamedTuple):
    """An agent that has a status: the roster that broadcasts reach."""

    agent: str
    status: Status


class ClaimView(NamedTuple):
    """A stored claim, holding or lapsed. ``stamp`` is when it was taken or last renewed;
    ``age`` and ``seconds_left`` are whole seconds at the snapshot's clock reading."""

    resource: str
    holder: str
    stamp: int
    age: int
    seconds_left: int
    lapsed: bool


class MailboxView(NamedTuple):
    """A mailbox that holds messages: how many, and when the oldest was sent. These are the
    messages that ``inbox()`` would list at the same moment (on Redis, a drained batch whose
    delivery was never settled counts again once its visibility timeout has passed)."""

    agent: str
    length: int
    oldest_sent_at: int
    oldest_age: int


class LogEvent(NamedTuple):
    """One event of the activity log. ``id`` is the event's number in its namespace's log on
    every engine: 1 for the first event ever logged there, one more for each next one, never
    changed or reused (trimming the log removes the oldest events and renumbers nothing; a
    deleted namespace starts again at 1). The other fields are those the event has (None for
    the others): Claimed and Released name ``agent`` and ``resource``, MessageSent
    ``from_agent``, ``to_agent`` and ``content``, BroadcastSent ``from_agent`` and
    ``content``, Revoked (a claim freed by an operator, where an engine can revoke) the
    holder as ``agent``, ``resource`` and who revoked it as ``from_agent``."""

    id: int
    event: str
    at: int
    agent: Optional[str] = None
    resource: Optional[str] = None
    from_agent: Optional[str] = None
    to_agent: Optional[str] = None
    content: Optional[str] = None


class NamespaceView(NamedTuple):
    """One namespace of a file or server, counted: its agents (the roster), its claims
    (lapsed ones too), the messages waiting in its mailboxes and the events its log holds."""

    namespace: str
    agents: int
    claims: int
    messages: int
    log_events: int


class PresenceView(NamedTuple):
    """When an agent was last seen calling, and from where: the engine's clock reading of its
    last recorded call (whole seconds; recording is throttled, so it is exact to about a
    second), its age at the snapshot's reading, and the host, process id and coordination
    object (``object_id``) the call came through. Engines that other processes cannot reach
    record none."""

    agent: str
    last_seen: int
    age: int
    host: str
    pid: int
    object_id: str


class WaiterView(NamedTuple):
    """A call waiting. ``kind`` is "claim" for a claim wait (``key`` the resource key,
    ``position`` its place in the resource's line, 1 first) or "mail" for a message wait
    (``key`` the agent whose mailbox it waits on, ``position`` 0). ``since`` is when it began
    waiting (whole seconds of the engine's clock); ``host`` and ``pid`` are its process where
    the engine knows them, else None."""

    kind: str
    key: str
    position: int
    agent: str
    since: int
    host: Optional[str]
    pid: Optional[int]


@dataclass(frozen=True)
class Snapshot:
    """One coordination group at the clock reading ``now`` (whole seconds of the engine's
    clock, the one that stamps claims). Agents, claims, mailboxes and presence are sorted by
    name; the log tail is oldest first, and ``log_length`` counts every event the log holds;
    waiters are sorted by kind, key and position."""

    engine: str
    namespace: str
    now: int
    agents: tuple[AgentView, ...]
    claims: tuple[ClaimView, ...]
    mailboxes: tuple[MailboxView, ...]
    log: tuple[LogEvent, ...]
    log_length: int
    lease_seconds: int = LEASE_SECONDS
    presence: tuple[PresenceView, ...] = ()
    waiters: tuple[WaiterView, ...] = ()


def claim_views(rows, now: int) -> tuple[ClaimView, ...]:
    """The claims of (resource, holder, stamp) ``rows`` seen at ``now``, in their order: a
    clock that went back makes a claim young, never negative. (One loop for all, inlined: a
    snapshot can hold thousands.)"""
    new, lease = tuple.__new__, LEASE_SECONDS
    views = []
    for resource, holder, stamp in rows:
        age = now - stamp if now > stamp else 0
        if age < lease:
            views.append(new(ClaimView, (resource, holder, stamp, age, lease - age, False)))
        else:
            views.append(new(ClaimView, (resource, holder, stamp, age, 0, True)))
    return tuple(views)


def mailbox_views(rows, now: int) -> tuple[MailboxView, ...]:
    """The mailboxes of (agent, length, oldest sent_at) ``rows`` seen at ``now``."""
    new = tuple.__new__
    return tuple(
        new(MailboxView, (agent, length, sent_at, now - sent_at if now > sent_at else 0))
        for agent, length, sent_at in rows
    )


# ---- the readers of each engine ----


def _reader(state: Any) -> Any:
    engine = engines.for_object(state)
    if engine is None or engine.reader is None:
        raise TypeError(
            "cannot take a snapshot of a %s: no engine's snapshot reader serves it"
            % type(state).__qualname__
        )
    if isinstance(state, (Closing, AsyncClosing)) and state.closed:
        raise state._closed_error()
    return engine.snapshot_reader()


def snapshot(state: Any, *, log_tail: int = DEFAULT_LOG_TAIL) -> Snapshot:
    """A read-only Snapshot of the group that ``state`` (a coordination object from
    ``durnel.connect``) works on, with the last ``log_tail`` events of its log (0 for none).
    Raises TypeError for an object no engine reads, ClosedError for a closed one, ValueError
    for a bad ``log_tail``,
    ``durnel.ForeignDataError`` naming a key that holds data durnel did not write, and the
    engine's client errors when its server is out of reach.
    """
    if type(log_tail) is not int or log_tail < 0:
        raise ValueError("log_tail must be an int >= 0, not %r" % (log_tail,))
    return _reader(state).read_snapshot(state, log_tail)


def follow_log(state: Any, after: Optional[int], block: float) -> tuple[LogEvent, ...]:
    """The log events after the event number ``after`` (None: from the first), oldest first,
    waiting up to ``block`` seconds for one when there is none yet; an empty tuple when none
    came."""
    if after is not None and (type(after) is not int or after < 0):
        raise ValueError("after must be an event number (an int >= 0) or None, not %r" % (after,))
    return _reader(state).read_log(state, after, block)


def namespaces(state: Any) -> tuple[NamespaceView, ...]:
    """Every namespace of the file or server that ``state`` works on (whatever its own
    namespace), sorted by name, with its counts, read without writing anything: a namespace
    is listed while it holds an agent, a claim, a message or a log event."""
    reader = _reader(state)
    engine = engines.for_object(state)
    if engine is None or not engine.namespaces:
        raise TypeError(
            "cannot list the namespaces of a %s: its engine's reader does not"
            % type(state).__qualname__
        )
    return reader.read_namespaces(state)


def unreachable_errors(state: Any) -> tuple:
    """The exception classes that mean ``state``'s storage cannot be reached."""
    return tuple(_reader(state).UNREACHABLE)


def open_for_reading(url: str, namespace: str = "default") -> Any:
    """The coordination object of the group at ``url``, to take snapshots of: what
    ``durnel.connect`` gives, except that it never makes storage where there is none (a
    SQLite URL naming no file raises FileNotFoundError)."""
    return engines.for_url(url).connect_for_reading(url, namespace)


# ---- JSON ----


def event_json(event: LogEvent) -> dict[str, Any]:
    return {key: value for key, value in event._asdict().items() if value is not None}


def as_json(shot: Snapshot) -> dict[str, Any]:
    """The snapshot as plain JSON values (lists and dicts, fields as named above), with the
    version of this shape, JSON_FORMAT, as ``format``."""
    return {
        "format": JSON_FORMAT,
        "engine": shot.engine,
        "namespace": shot.namespace,
        "now": shot.now,
        "lease_seconds": shot.lease_seconds,
        "agents": [a._asdict() for a in shot.agents],
        "claims": [c._asdict() for c in shot.claims],
        "mailboxes": [m._asdict() for m in shot.mailboxes],
        "log": [event_json(e) for e in shot.log],
        "log_length": shot.log_length,
        "presence": [p._asdict() for p in shot.presence],
        "waiters": [w._asdict() for w in shot.waiters],
    }
