"""The Redis engine's snapshot reader (see ``durnel.snapshots``): one script for the whole
namespace, and the log followed with a blocking read of its stream.

``read_snapshot`` runs ``lua/snapshot.lua`` once (one EVALSHA, atomic: one consistent moment
of the server, its clock included) with the engine's own client and key prefix; it writes
nothing, so a call that fails on a connection error is simply sent again, once. Keys holding
data durnel did not write raise ``durnel.redis.ForeignDataError`` naming the key, as the
engine's methods do.
"""

import json
from typing import Any, Optional

from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import NoScriptError, ResponseError
from redis.exceptions import TimeoutError as RedisTimeoutError

from ..contract import STATUSES
from ..snapshots import AgentView, LogEvent, Snapshot, claim_view, mailbox_view
from .engine import ForeignDataError, RedisCoordinationState, ServerClockError
from .scripts import SCRIPTS, Reply

__all__ = ["UNREACHABLE", "read_log", "read_snapshot"]

UNREACHABLE = (RedisConnectionError, RedisTimeoutError)

_STATUSES = frozenset(STATUSES)
_EVENT_FIELDS = ("agent", "resource", "from_agent", "to_agent", "content")


def _text(value):
    return value.decode("utf-8") if isinstance(value, bytes) else value


def _run(state: RedisCoordinationState, keys, args):
    script = SCRIPTS["snapshot"]
    client = state._client
    for attempt in (0, 1):
        try:
            try:
                return client.evalsha(script.sha, len(keys), *keys, *args)
            except NoScriptError:
                return client.eval(script.source, len(keys), *keys, *args)
        except (RedisConnectionError, RedisTimeoutError):
            if attempt:
                raise
    raise AssertionError("unreachable")


def _pairs(flat):
    """HGETALL's flat (field, value, ...) array; cjson gives {} for an empty one."""
    return zip(flat[0::2], flat[1::2]) if flat else ()


def read_snapshot(state: RedisCoordinationState, log_tail: int) -> Snapshot:
    prefix = state._prefix
    claims_key, statuses_key, log_key = prefix + b"claims", prefix + b"status", prefix + b"log"
    reply = _run(state, (claims_key, statuses_key, log_key), (log_tail, prefix + b"inbox:"))
    tag = _text(reply[0])
    if tag != Reply.OK:
        _raise(reply)
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
            % (statuses_key, agent, next(iter(foreign)))
        )
    claims = []
    for resource, stored in sorted(_pairs(held)):
        stamp, colon, holder = stored.partition(":")
        try:
            if not colon:
                raise ValueError(stored)
            claims.append(claim_view(resource, holder, int(stamp), now))
        except ValueError:
            raise ForeignDataError(
                "durnel key %r: field %s is not a claim" % (claims_key, resource)
            ) from None
    boxes = sorted(zip(boxes[0::3], boxes[1::3], boxes[2::3])) if boxes else ()
    return Snapshot(
        engine="redis",
        namespace=state.namespace,
        now=now,
        agents=tuple(map(AgentView._make, roster)),
        claims=tuple(claims),
        mailboxes=tuple(mailbox_view(agent, n, sent_at, now) for agent, n, sent_at in boxes),
        log=tuple(_event(entry_id, fields) for entry_id, fields in reversed(events or ())),
        log_length=length,
    )


def _raise(reply: Any):
    tag = _text(reply[0])
    if tag == Reply.WRONG_TYPE:
        raise ForeignDataError(
            "durnel key %r holds a %s where durnel keeps a %s; was it written by "
            "something else?" % (_text(reply[1]), _text(reply[2]), _text(reply[3]))
        )
    if tag == Reply.FOREIGN:
        raise ForeignDataError("durnel key %r: %s" % (_text(reply[1]), _text(reply[2])))
    if tag == Reply.CLOCK:
        raise ServerClockError(
            "system clock before unix epoch: the server's TIME reads %s s and %s us"
            % (_text(reply[1]), _text(reply[2]))
        )
    raise ResponseError("unexpected reply from a durnel script: %r" % (reply,))


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
    key = state._prefix + b"log"
    try:
        reply = state._client.xread(
            {key: after or "0-0"}, count=1000, block=max(1, int(block * 1000))
        )
    except ResponseError as error:
        if "WRONGTYPE" in str(error):
            raise ForeignDataError(
                "durnel key %r holds something else where durnel keeps a stream" % (key,)
            ) from None
        raise
    if not reply:
        return ()
    entries = reply[0][1] if isinstance(reply, list) else next(iter(reply.values()))[0]
    return tuple(_event(entry_id, fields) for entry_id, fields in entries)
