"""The Redis engine's snapshot reader (see ``durnel.snapshots``): one read-only function for
the whole namespace, and the log followed with a blocking read of its stream.

``read_snapshot`` runs the library's ``snapshot`` function (``lua/snapshot.lua``) once, with
FCALL_RO: atomic, so one consistent moment of the server, its clock included, and flagged
``no-writes``, so the server itself refuses any write and a replica can answer it. It uses the
engine object's own client and keys. As it writes nothing, a call lost to a connection error
is simply sent again (once), and one refused while a cluster slot moves is sent again within
the engine's budget. A mailbox's length is what ``inbox()`` lists (see the script). Keys
holding data durnel did not write raise ``durnel.redis.ForeignDataError`` naming the key, as
the engine's methods do.
"""

import json
import time
from typing import Optional

from redis.exceptions import ClusterError, ResponseError
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import TimeoutError as RedisTimeoutError

from ..contract import STATUSES
from ..snapshots import AgentView, LogEvent, Snapshot, claim_views, mailbox_views
from . import calls, retry
from .calls import ForeignDataError
from .engine import RedisCoordinationState
from .scripts import LIBRARY, SCRIPTS, Reply

__all__ = ["UNREACHABLE", "read_log", "read_snapshot"]

UNREACHABLE = (RedisConnectionError, RedisTimeoutError)

_STATUSES = frozenset(STATUSES)
_EVENT_FIELDS = ("agent", "resource", "from_agent", "to_agent", "content")


def _text(value):
    return value.decode("utf-8") if isinstance(value, bytes) else value


def _run(state: RedisCoordinationState, keys, args):
    function = SCRIPTS["snapshot"].function
    client = state._client
    lost = moving = 0
    while True:
        try:
            try:
                return client.fcall_ro(function, len(keys), *keys, *args)
            except ResponseError as error:
                if not retry.missing_library(error):
                    raise
                client.function_load(LIBRARY.source, replace=True)  # a new server or node
                return client.fcall_ro(function, len(keys), *keys, *args)
        except UNREACHABLE:
            if lost:
                raise
            lost = 1
        except (ResponseError, ClusterError) as error:
            wait = retry.backoff(moving, state._retries) if retry.moving(error) else None
            if wait is None:
                raise
            time.sleep(wait)
            moving += 1


def _pairs(flat):
    """HGETALL's flat (field, value, ...) array; cjson gives {} for an empty one."""
    return zip(flat[0::2], flat[1::2]) if flat else ()


def read_snapshot(state: RedisCoordinationState, log_tail: int) -> Snapshot:
    keys = state._keys
    claims_key, statuses_key = keys.claims, keys.statuses
    reply = _run(
        state,
        (claims_key, statuses_key, keys.log),
        (log_tail, keys.inbox_prefix, keys.inflight(b""), state._options.visibility),
    )
    if calls.tag(reply) != Reply.OK:
        calls.outcome(reply)  # raises what the reply stands for
    try:
        now, roster, held, boxes, length, events = json.loads(reply[1])
    except ValueError:  # invalid UTF-8 in a key or value: only foreign data has that
        raise ForeignDataError(
            "durnel namespace %r holds text that is not UTF-8, which durnel never writes"
            % state.namespace
        ) from None
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
    return Snapshot(
        engine="redis",
        namespace=state.namespace,
        now=now,
        agents=tuple(map(AgentView._make, roster)),
        claims=claim_views(rows, now),
        mailboxes=mailbox_views(boxes, now),
        log=tuple(_event(entry_id, fields) for entry_id, fields in reversed(events or ())),
        log_length=length,
    )


def _event(entry_id, flat) -> LogEvent:
    """A log entry from its stream id and its (field, value, ...) list or dict."""
    fields = dict(_pairs(flat)) if isinstance(flat, list) else flat
    fields = {_text(k): _text(v) for k, v in fields.items()}
    try:
        at = int(fields["at"])
        event = fields["event"]
    except (KeyError, ValueError):
        raise ForeignDataError(
            "durnel log entry %s is not an event that durnel wrote: %r" % (_text(entry_id), fields)
        ) from None
    return LogEvent(_text(entry_id), event, at, *(fields.get(name) for name in _EVENT_FIELDS))


def read_log(
    state: RedisCoordinationState, after: Optional[str], block: float
) -> tuple[LogEvent, ...]:
    """XREAD BLOCK on the log stream: the events after ``after``, waiting up to ``block``
    seconds for the first one."""
    key = state._keys.log
    try:
        reply = state._client.xread(
            {key: after or "0-0"}, count=1000, block=max(1, int(block * 1000))
        )
    except ResponseError as error:
        if "WRONGTYPE" in str(error):
            raise ForeignDataError(
                "durnel key %r holds something else where durnel keeps a stream" % _text(key)
            ) from None
        raise
    if not reply:
        return ()
    entries = reply[0][1] if isinstance(reply, list) else next(iter(reply.values()))[0]
    return tuple(_event(entry_id, fields) for entry_id, fields in entries)
