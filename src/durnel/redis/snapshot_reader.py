"""The Redis engine's snapshot reader (see ``durnel.snapshots``): one read-only function for
the whole namespace, the log followed with a blocking read of its stream, the namespaces of a
server or cluster, and a way to open a URL that reaches a cluster through any of its nodes.

``read_snapshot`` runs the library's ``snapshot`` function (``lua/snapshot.lua``) once, with
FCALL_RO: atomic, so one consistent moment of the server, its clock included, and flagged
``no-writes``, so the server itself refuses any write and a replica can answer it. It uses the
engine object's own client (its ``client``) and the key names of its namespace. As it writes
nothing, a call lost to a connection error is simply sent again (once), and one refused while
a cluster slot moves is sent again within the engine's budget (its ``retries``). A mailbox's
length is what ``inbox()`` lists (see the script). Keys holding data durnel did not write
raise ``durnel.redis.ForeignDataError`` naming the key, as the engine's methods do.

Log events are numbered as the script says: by the stream's count of the entries ever added
(XINFO STREAM's entries-added), the newest being that count. ``read_log`` finds the events
after a number with one read-only script (EVAL_RO of LOG_AFTER, kept here: it is no method of
the engine), and waits for new ones with XREAD BLOCK from the newest stream id it saw, so an
event added between the two is not missed.

``read_namespaces`` SCANs for the keys that hold a group's data (``durnel:{N}:status``,
``claims`` and ``log``; a mailbox's agent is always on its namespace's roster) on the server,
or on every primary of a cluster, then counts each namespace found with the snapshot function.
"""

import json
import time
from typing import Optional
from urllib.parse import urlsplit

from redis.exceptions import ClusterError, RedisClusterException, ResponseError
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import TimeoutError as RedisTimeoutError

from ..contract import STATUSES
from ..namespaces import check_namespace
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
from ..urls import redacted
from . import calls, presence, retry
from .engine import RedisCoordinationState
from .engine import open_url as open_engine_url
from .errors import ForeignDataError
from .scripts import LIBRARY, SCRIPTS, Reply

__all__ = ["UNREACHABLE", "open_url", "read_log", "read_namespaces", "read_snapshot"]

UNREACHABLE = (RedisConnectionError, RedisTimeoutError)
FOLLOW_BATCH = 1000  # events read_log returns at most at once

_STATUSES = frozenset(STATUSES)
_EVENT_FIELDS = ("agent", "resource", "from_agent", "to_agent", "content")
_DATA_KEYS = (b"status", b"claims", b"log")  # a namespace exists while one of these does

# The events numbered after ARGV[1], at most ARGV[2] of them, oldest first, read from the
# end of the stream or from its front, whichever is nearer.
# Reply: {number of the first event returned, the newest stream id, entries as XRANGE
# gives them}, or {-1, type} for a key that is no stream, or {-2} for a log with entries
# deleted from its middle (see lua/snapshot.lua).
LOG_AFTER = """#!lua flags=no-writes
local log, after, most = KEYS[1], tonumber(ARGV[1]), tonumber(ARGV[2])
local kind = redis.call('TYPE', log)['ok']
if kind == 'none' then return {after + 1, '0-0', {}} end
if kind ~= 'stream' then return {-1, kind} end
local info = redis.call('XINFO', 'STREAM', log)
local field = {}
for i = 1, #info, 2 do field[info[i]] = info[i + 1] end
local length, newest = field['length'], field['entries-added']
local last = field['last-generated-id']
if length == 0 then return {after + 1, last, {}} end
local function parts(id)
  local ms, seq = string.match(id, '^(%d+)-(%d+)$')
  return tonumber(ms), tonumber(seq)
end
local deleted_ms, deleted_seq = parts(field['max-deleted-entry-id'])
local first_ms, first_seq = parts(field['first-entry'][1])
if deleted_ms > first_ms or (deleted_ms == first_ms and deleted_seq >= first_seq) then
  return {-2, ''}
end
local oldest = newest - length + 1
local first = math.max(after + 1, oldest)
local newer = newest - first + 1
if newer <= 0 then return {first, last, {}} end
local count = math.min(newer, most)
local skip = first - oldest
local entries = {}
if skip + count <= newer then
  local front = redis.call('XRANGE', log, '-', '+', 'COUNT', skip + count)
  for i = skip + 1, skip + count do entries[#entries + 1] = front[i] end
else
  local back = redis.call('XREVRANGE', log, '+', '-', 'COUNT', newer)
  for i = newer, newer - count + 1, -1 do entries[#entries + 1] = back[i] end
end
return {first, last, entries}
"""


def _text(value):
    return value.decode("utf-8") if isinstance(value, bytes) else value


def _retried(state: RedisCoordinationState, send):
    """``send()``, a read: sent again once after a lost reply, and within the engine's budget
    while a cluster slot moves."""
    lost = moving = 0
    while True:
        try:
            return send()
        except UNREACHABLE:
            if lost:
                raise
            lost = 1
        except (ResponseError, ClusterError) as error:
            wait = retry.backoff(moving, state.retries) if retry.moving(error) else None
            if wait is None:
                raise
            time.sleep(wait)
            moving += 1


def _run(state: RedisCoordinationState, keys, args):
    function = SCRIPTS["snapshot"].function
    client = state.client

    def send():
        try:
            return client.fcall_ro(function, len(keys), *keys, *args)
        except ResponseError as error:
            if not retry.missing_library(error):
                raise
            client.function_load(LIBRARY.source, replace=True)  # a new server or node
            return client.fcall_ro(function, len(keys), *keys, *args)

    return _retried(state, send)


def _pairs(flat):
    """HGETALL's flat (field, value, ...) array; cjson gives {} for an empty one."""
    return zip(flat[0::2], flat[1::2]) if flat else ()


def _read(state: RedisCoordinationState, keys: calls.Keys, namespace: str, log_tail: int):
    """The snapshot function's reply for ``namespace``, decoded: (now, roster, claims,
    mailboxes, log length, log tail newest first, number of the newest event, presence,
    claim waiters, mail waiters)."""
    reply = _run(
        state,
        (keys.claims, keys.statuses, keys.log, keys.presence, keys.queues, keys.mailwaiters),
        (
            log_tail,
            keys.inbox_prefix,
            keys.inflight(b""),
            b"%d" % state.visibility_timeout,
            keys.queue(b""),
            keys.turns(b""),
            keys.hub_prefix,
        ),
    )
    if calls.tag(reply) != Reply.OK:
        calls.outcome(reply)  # raises what the reply stands for
    try:
        return json.loads(reply[1])
    except ValueError:  # invalid UTF-8 in a key or value: only foreign data has that
        raise ForeignDataError(
            "durnel namespace %r holds text that is not UTF-8, which durnel never writes"
            % namespace
        ) from None


def read_snapshot(state: RedisCoordinationState, log_tail: int) -> Snapshot:
    keys = calls.Keys(state.namespace)
    claims_key, statuses_key = keys.claims, keys.statuses
    shot = _read(state, keys, state.namespace, log_tail)
    now, roster, held, boxes, length, events, newest, seen, lines, mail, orphans = shot
    roster = sorted(_pairs(roster))  # (str, str) tuples: C comparisons, no key function
    foreign = {status for _, status in roster} - _STATUSES
    if foreign:
        agent = next(agent for agent, status in roster if status in foreign)
        raise ForeignDataError(
            "durnel key %r: agent %r has the status %r, which durnel never writes"
            % (_text(statuses_key), agent, next(iter(foreign)))
        )
    rows = []
    for resource, stored in sorted(_pairs(held)):
        stamp, colon, holder = stored.partition(":")
        # as the scripts read a claim: digits only, at most 15, no leading zero
        if not (colon and stamp.isdigit() and stamp.isascii() and len(stamp) <= 15) or (
            stamp[0] == "0" and len(stamp) > 1
        ):
            raise ForeignDataError(
                "durnel key %r: field %s is not a claim" % (_text(claims_key), resource)
            )
        rows.append((resource, holder, int(stamp)))
    boxes = sorted(zip(boxes[0::3], boxes[1::3], boxes[2::3])) if boxes else ()
    events = events or ()
    return Snapshot(
        engine="redis",
        namespace=state.namespace,
        now=now,
        agents=tuple(map(AgentView._make, roster)),
        claims=_orphaned(claim_views(rows, now), orphans),
        mailboxes=mailbox_views(boxes, now),
        log=tuple(
            _event(newest - i, entry_id, fields)
            for i, (entry_id, fields) in reversed(tuple(enumerate(events)))
        ),
        log_length=length,
        presence=_presence(seen, now, keys.presence),
        waiters=_claim_waiters(lines, keys) + _mail_waiters(mail, keys),
    )


def _orphaned(claims, orphans):
    """``claims`` with those whose holder's object died (liveness.py) shown lapsed."""
    if not orphans:
        return claims
    dead = frozenset(orphans)
    return tuple(
        c._replace(seconds_left=0, lapsed=True) if c.resource in dead else c for c in claims
    )


def _presence(seen, now, key) -> tuple[PresenceView, ...]:
    views = []
    for agent, stored in sorted(_pairs(seen)):
        record = presence.parse(stored)
        if record is None:
            raise ForeignDataError(
                "durnel key %r: field %s is not a presence record" % (_text(key), agent)
            )
        last_seen, pid, object_id, host = record
        age = now - last_seen if now > last_seen else 0
        views.append(PresenceView(agent, last_seen, age, host, pid, object_id))
    return tuple(views)


def _waiter(kind, key, position, since, record, where):
    """A WaiterView from a waiter's record ('["<agent>","<pid>|<object id>|<host>"]', as
    lua/common.lua's caller_record writes it); ForeignDataError naming ``where`` for another."""
    try:
        agent, caller = json.loads(record)
        pid, _, rest = caller.partition("|")
        _, _, host = rest.partition("|")
        if not (isinstance(agent, str) and pid.isascii() and pid.isdigit()):
            raise ValueError(record)
    except (TypeError, ValueError, AttributeError):
        raise ForeignDataError(
            "durnel key %r holds %r, which is not a waiter that durnel recorded" % (where, record)
        ) from None
    return WaiterView(
        kind, key if kind == "claim" else agent, position, agent, since, host, int(pid)
    )


def _claim_waiters(lines, keys) -> tuple[WaiterView, ...]:
    """The claim waiters, in line order, from the script's [resource, position, arrival
    (us), record or null]; a ticket without its record (its queue was written by an earlier
    durnel) is listed with '?' for its agent."""
    views = []
    for resource, position, arrival, who in lines or ():
        since = int(float(arrival)) // 1_000_000
        if who is None:
            views.append(WaiterView("claim", resource, position, "?", since, None, None))
        else:
            where = _text(keys.turns(resource.encode("utf-8")))
            views.append(_waiter("claim", resource, position, since, who, where))
    return tuple(views)


def _mail_waiters(mail, keys) -> tuple[WaiterView, ...]:
    """The message waits, by agent and since, from the script's [member, since]."""
    views = []
    for member, since in mail or ():
        _, _, record = member.partition("|")
        views.append(_waiter("mail", None, 0, int(float(since)), record, _text(keys.mailwaiters)))
    return tuple(sorted(views, key=lambda view: (view.key, view.since)))


def _event(number, entry_id, flat) -> LogEvent:
    """A log event from its number, its stream id and its (field, value, ...) list or dict."""
    fields = dict(_pairs(flat)) if isinstance(flat, list) else flat
    fields = {_text(k): _text(v) for k, v in fields.items()}
    try:
        at = int(fields["at"])
        event = fields["event"]
    except (KeyError, ValueError):
        raise ForeignDataError(
            "durnel log entry %s is not an event that durnel wrote: %r" % (_text(entry_id), fields)
        ) from None
    return LogEvent(number, event, at, *(fields.get(name) for name in _EVENT_FIELDS))


def _after(state: RedisCoordinationState, after: int):
    """(the events numbered after ``after``, the newest stream id)."""
    key = calls.Keys(state.namespace).log
    first, last, *rest = _retried(
        state, lambda: state.client.eval_ro(LOG_AFTER, 1, key, after, FOLLOW_BATCH)
    )
    if first == -1:
        raise ForeignDataError(
            "durnel key %r holds a %s where durnel keeps a stream" % (_text(key), _text(last))
        )
    if first == -2:
        raise ForeignDataError(
            "durnel key %r: entries were deleted from its middle (XDEL), which durnel never "
            "does" % _text(key)
        )
    entries = rest[0]
    return tuple(_event(first + i, e[0], e[1]) for i, e in enumerate(entries)), last


def read_log(
    state: RedisCoordinationState, after: Optional[int], block: float
) -> tuple[LogEvent, ...]:
    """The events numbered after ``after``; when there is none, XREAD BLOCK on the log stream
    from the newest entry seen, waiting up to ``block`` seconds for the next one."""
    events, last = _after(state, after or 0)
    if events or block <= 0:
        return events
    log = calls.Keys(state.namespace).log
    woken = state.client.xread({log: last}, count=1, block=max(1, int(block * 1000)))
    return _after(state, after or 0)[0] if woken else ()


def read_namespaces(state: RedisCoordinationState) -> tuple[NamespaceView, ...]:
    """Every namespace of the server (of every primary of a cluster client), counted."""
    found = set()
    for key in state.client.scan_iter(match="durnel:{*}:*", count=1000):
        key = key if isinstance(key, bytes) else key.encode("utf-8")
        close = key.find(b"}:", 8)
        if close > 8 and key[close + 2 :] in _DATA_KEYS:
            found.add(key[8:close])
    views = []
    for raw in sorted(found):
        try:
            namespace = check_namespace(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            raise ForeignDataError(
                "durnel key %r is named for a namespace that durnel cannot write"
                % _text(b"durnel:{" + raw + b"}:status")
            ) from None
        _, roster, held, boxes, length = _read(state, calls.Keys(namespace), namespace, 0)[:5]
        view = NamespaceView(
            namespace,
            len(roster) // 2 if roster else 0,
            len(held) // 2 if held else 0,
            sum(boxes[1::3]) if boxes else 0,
            length,
        )
        if any(view[1:]):  # not emptied since the scan
            views.append(view)
    return tuple(sorted(views))


def open_url(url: str, namespace: str) -> RedisCoordinationState:
    """The engine for ``url`` (see ``durnel.redis.open_url``); when the server it names is a
    node of a cluster, the engine on a cluster client made from the same URL instead, so that
    every namespace is read on its own node and a listing covers every primary."""
    state = open_engine_url(url, namespace)
    if urlsplit(url).scheme not in ("redis", "rediss"):
        return state
    try:
        clustered = state.client.info("cluster").get("cluster_enabled")
    except ResponseError:  # INFO renamed or refused: a plain server, as far as we can tell
        clustered = False
    except BaseException:
        state.close()
        raise
    if not clustered:
        return state
    state.close()
    from redis.cluster import RedisCluster

    try:
        client = RedisCluster.from_url(url, socket_connect_timeout=5, socket_timeout=30)
    except RedisClusterException as error:  # a db other than 0, or no node answers
        raise ValueError("cannot read %s as a cluster: %s" % (redacted(url), error)) from None
    return RedisCoordinationState(client, namespace, close_client=True)
