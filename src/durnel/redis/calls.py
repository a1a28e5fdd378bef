"""Every call of the Redis engine as plain data: the script, its KEYS and ARGV, built by plain
functions, and the reply read back by plain functions. No I/O happens here, so a sync and an
asyncio engine can share all of it and differ only in how they send a Call.

Keys of namespace N (``Keys``), all readable with ordinary Redis tools:
  durnel:{N}:claims                hash   resource key -> "<last stamp>:<holder>"
  durnel:{N}:status                hash   agent id -> "idle" | "busy"; its keys are the roster
  durnel:{N}:inbox:<agent>         list   '[sent_at, "from", "content"]' (JSON), oldest first
  durnel:{N}:inflight:<agent>      hash   "<session id>:<request id>" -> a batch drained from
                                          that inbox whose delivery is not settled yet
                                          (see lua/drain.lua)
  durnel:{N}:log                   stream event=Claimed|Released|MessageSent|BroadcastSent|
                                          Revoked, ...
  durnel:{N}:session:<sid>         string the latest request of one session and its reply
  durnel:{N}:guard                 never written: declared by broadcast (lua/broadcast.lua)
  durnel:{N}:queue:<resource key>  zset   tickets of the claim's waiters by arrival
                                          (lua/wait_claim.lua)
  durnel:{N}:turns:<resource key>  hash   ticket -> when it last stepped, 'who:<ticket>' ->
                                          '["<agent>","<pid>|<object id>|<host>"]', and 'free' ->
                                          since when the resource is free (lua/wait_claim.lua)
  durnel:{N}:queues                set    the resource keys whose queues may hold tickets
  durnel:{N}:presence              hash   agent -> "<last seen>|<pid>|<object id>|<host>"
                                          (presence.py)
  durnel:{N}:mailwaiters           zset   '<ticket>|["<agent>","<pid>|<object id>|<host>"]'
                                          of the message waits, by when they began
                                          (lua/common.lua's looked())
Sharded pub/sub channels of namespace N (no keys; SPUBLISH with nobody subscribed is free):
  durnel:{N}:wake:inbox:<agent>    a message was queued for the agent
  durnel:{N}:wake:broadcast        a broadcast was queued for everyone
  durnel:{N}:wake:claim:<key>      the claim was released, or its next waiter may go
  durnel:{N}:wake:hub:<hub id>     nothing is sent on it: a subscriber on it keeps that
                                   process's claim tickets alive (hub.py)
"""

import json
from typing import Any, NamedTuple

from redis.exceptions import ResponseError

from ..contract import FILE_PREFIX, LEASE_SECONDS, STATUSES, TASK_PREFIX
from .errors import ForeignDataError, ServerClockError, StaleRequestError
from .scripts import Reply

__all__ = ["Call", "Keys", "key_pattern"]

LEASE = b"%d" % LEASE_SECONDS
# A claim waiter ahead that has not stepped within TURN_GRACE seconds of the resource becoming
# free is taken for paused and loses its turn (lua/wait_claim.lua); a queue expires
# QUEUE_SECONDS after its last step, longer than a live waiter goes without one (waits.py).
TURN_GRACE = 5.0
QUEUE_SECONDS = LEASE_SECONDS + 60
_GRACE_US = b"%d" % int(TURN_GRACE * 1_000_000)
_QUEUE_TTL = b"%d" % QUEUE_SECONDS
FILE = FILE_PREFIX.encode()
TASK = TASK_PREFIX.encode()
REFUSED = (Reply.NO_CLAIM, Reply.NOT_HOLDER)


def key_pattern(namespace: str) -> str:
    """The SCAN/KEYS pattern of exactly the keys of ``namespace``: the glob characters of the
    name (``*``, ``?``, ``[``, ``]``, ``\\``) are escaped, so no other namespace matches."""
    escaped = "".join("\\" + c if c in "*?[]\\" else c for c in namespace)
    return "durnel:{%s}:*" % escaped


class Keys:
    """The key names of one namespace."""

    __slots__ = (
        "prefix",
        "claims",
        "statuses",
        "log",
        "guard",
        "inbox_prefix",
        "broadcast_channel",
        "hub_prefix",
        "presence",
        "queues",
        "mailwaiters",
    )

    def __init__(self, namespace: str):
        prefix = b"durnel:{" + namespace.encode("utf-8") + b"}:"
        self.prefix = prefix
        self.claims = prefix + b"claims"
        self.statuses = prefix + b"status"
        self.log = prefix + b"log"
        self.guard = prefix + b"guard"
        self.inbox_prefix = prefix + b"inbox:"
        self.broadcast_channel = prefix + b"wake:broadcast"
        self.hub_prefix = prefix + b"wake:hub:"
        self.presence = prefix + b"presence"
        self.queues = prefix + b"queues"
        self.mailwaiters = prefix + b"mailwaiters"

    def inbox(self, agent: bytes) -> bytes:
        return self.inbox_prefix + agent

    def inflight(self, agent: bytes) -> bytes:
        return self.prefix + b"inflight:" + agent

    def queue(self, resource: bytes) -> bytes:
        return self.prefix + b"queue:" + resource

    def turns(self, resource: bytes) -> bytes:
        return self.prefix + b"turns:" + resource

    def inbox_channel(self, agent: bytes) -> bytes:
        return self.prefix + b"wake:inbox:" + agent

    def claim_channel(self, resource: bytes) -> bytes:
        return self.prefix + b"wake:claim:" + resource


class Call(NamedTuple):
    script: str
    keys: tuple[bytes, ...]
    args: tuple[bytes, ...]
    settles: tuple  # the (in-flight hash, request id) pairs this call settles (Session.settled)


class Options(NamedTuple):
    ttl: bytes  # request ttl, seconds
    maxlen: bytes  # log cap, b"" for none
    visibility: bytes  # visibility timeout of drained batches, seconds
    presence: Any  # the object's Presence (presence.py)


def _call(script, session, keys, args, options=None, agent=None, mail=b""):
    """The Call, with the session's settling; with ``agent``, who calls, as its control
    (lua/common.lua's noted()): its presence (presence.py), a message wait's look ``mail``
    and the object its claims die with, or only b"" when none of it is due."""
    extra_keys, extra_args = session.settling()
    settles = tuple(zip(extra_keys, extra_args))
    if agent is None:
        return Call(script, keys + extra_keys, args + extra_args, settles)
    presence = options.presence
    record = presence.record(agent)
    if not (record or mail or presence.ephemeral or script == "wait_claim"):
        return Call(script, keys + extra_keys, args + extra_args + (b"",), settles)
    control = b"%s|%s|%s|%s" % (b"1" if record else b"0", mail, presence.mortal(), presence.where())
    return Call(
        script, keys + extra_keys + (presence.key,), args + extra_args + (agent, control), settles
    )


# ---- builders: each call's KEYS and ARGV in the order of its script's header ----


def claim(keys, options, session, request, agent, resource):
    return _call(
        "claim",
        session,
        (keys.claims, keys.statuses, keys.log, session.key),
        (session.sid, request, options.ttl, options.maxlen, agent, resource, LEASE),
        options,
        agent,
    )


def renew(keys, options, session, request, agent, resource):
    return _call(
        "renew",
        session,
        (keys.claims, session.key),
        (session.sid, request, options.ttl, agent, resource),
        options,
        agent,
    )


def release(keys, options, session, request, agent, resource):
    return _call(
        "release",
        session,
        (keys.claims, keys.statuses, keys.log, session.key),
        (
            session.sid,
            request,
            options.ttl,
            options.maxlen,
            agent,
            resource,
            keys.claim_channel(resource),
        ),
        options,
        agent,
    )


def send(keys, options, session, request, sender, recipient, text):
    return _call(
        "send",
        session,
        (keys.statuses, keys.log, session.key, keys.inbox(recipient)),
        (
            session.sid,
            request,
            options.ttl,
            options.maxlen,
            sender,
            recipient,
            text,
            keys.inbox_channel(recipient),
        ),
        options,
        sender,
    )


def broadcast(keys, options, session, request, sender, text):
    return _call(
        "broadcast",
        session,
        (keys.statuses, keys.log, session.key, keys.guard),
        (
            session.sid,
            request,
            options.ttl,
            options.maxlen,
            sender,
            text,
            keys.inbox_prefix,
            keys.broadcast_channel,
        ),
        options,
        sender,
    )


def inbox(keys, options, session, agent):
    return _call(
        "inbox",
        session,
        (keys.inbox(agent), keys.inflight(agent)),
        (session.sid, options.visibility),
        options,
        agent,
    )


def drain(keys, options, session, request, agent, mail=b""):
    """A drain; a message wait's look with ``mail``: b"+<ticket>" while it waits on,
    b"-<ticket>" for its last (lua/common.lua's looked())."""
    return _call(
        "drain",
        session,
        (keys.inbox(agent), keys.inflight(agent), session.key),
        (session.sid, request, options.ttl, options.visibility, b""),
        options,
        agent,
        mail,
    )


def unwait(keys, ticket):
    """Takes a message wait's ticket out of the mail waiters (lua/unwait.lua)."""
    return Call("unwait", (keys.mailwaiters,), (ticket,), ())


def retried(call):
    """``call`` as its retry sends it: a drain's retry enters its session even when it finds
    nothing (lua/drain.lua, D4); every other call is sent again as it was."""
    if call.script != "drain":
        return call
    args = call.args
    return call._replace(args=args[:4] + (b"1",) + args[5:])


def status(keys, options, session, agent):
    return _call("status", session, (keys.statuses,), (session.sid, agent))


def wait_claim(keys, options, session, request, agent, resource, queue, ticket, arrival):
    """One step of a claim wait (lua/wait_claim.lua): ``queue`` False tries without queueing."""
    return _call(
        "wait_claim",
        session,
        (
            keys.claims,
            keys.statuses,
            keys.log,
            session.key,
            keys.queue(resource),
            keys.turns(resource),
        ),
        (
            session.sid,
            request,
            options.ttl,
            options.maxlen,
            agent,
            resource,
            LEASE,
            b"queue" if queue else b"try",
            ticket,
            arrival,
            keys.hub_prefix,
            keys.claim_channel(resource),
            _GRACE_US,
            _QUEUE_TTL,
        ),
        options,
        agent,
    )


def revoke(keys, options, session, request, resource, by):
    return Call(
        "revoke",
        (keys.claims, keys.log, session.key),
        (
            session.sid,
            request,
            options.ttl,
            options.maxlen,
            resource,
            by,
            keys.claim_channel(resource),
        ),
        (),
    )


def abandon_claim(keys, options, session, claim_call):
    """Hands back what ``claim_call`` (a claim or a wait's step) took, and its ticket
    (lua/abandon_claim.lua); carries no settling, so it may run beside any call of the
    session."""
    args = claim_call.args
    agent, resource = args[4], args[5]
    ticket = args[8] if claim_call.script == "wait_claim" else b""
    return Call(
        "abandon_claim",
        (
            keys.claims,
            keys.statuses,
            keys.log,
            session.key,
            keys.queue(resource),
            keys.turns(resource),
        ),
        (
            session.sid,
            args[1],
            options.ttl,
            options.maxlen,
            agent,
            resource,
            ticket,
            keys.claim_channel(resource),
        ),
        (),
    )


def abandon(keys, options, session, drain_call):
    """Gives the batch of ``drain_call`` back (lua/abandon.lua); carries no settling, so it
    may run beside any call of the session."""
    inbox, inflight = drain_call.keys[0], drain_call.keys[1]
    agent = inbox[len(keys.inbox_prefix) :]
    return Call(
        "abandon",
        (inbox, inflight, session.key),
        (session.sid, drain_call.args[1], options.ttl, keys.inbox_channel(agent)),
        (),
    )


# ---- replies ----


def text(value, key=None):
    """A reply element as str; bytes that are not UTF-8 are foreign data of `key`."""
    if not isinstance(value, bytes):
        return value
    try:
        return value.decode("utf-8")
    except UnicodeDecodeError:
        raise ForeignDataError(
            "durnel key %r holds %r, which is not text that durnel wrote"
            % (text(key) if key is not None else "?", value)
        ) from None


def tag(reply):
    return text(reply[0])


def refused_holder(reply, key):
    """The holder a renewal or release was refused for; None when there was no claim."""
    return text(reply[1], key) if tag(reply) == Reply.NOT_HOLDER else None


def outcome(reply: Any) -> Any:
    """The value of a script's reply, or the exception that it stands for."""
    kind = tag(reply)
    if kind == Reply.OK:
        return None
    if kind == Reply.SENT:
        return int(reply[1])
    if kind == Reply.WRONG_TYPE:
        raise ForeignDataError(
            "durnel key %r holds a %s where durnel keeps a %s; was it written by "
            "something else?" % (_shown(reply[1]), text(reply[2]), text(reply[3]))
        )
    if kind == Reply.FOREIGN:
        raise ForeignDataError("durnel key %r: %s" % (_shown(reply[1]), _shown(reply[2])))
    if kind == Reply.CLOCK:
        raise ServerClockError(
            "system clock before unix epoch: the server's TIME reads %s s and %s us"
            % (text(reply[1]), text(reply[2]))
        )
    if kind == Reply.STALE:
        raise StaleRequestError(
            "the server has seen a later request of this session; this one did not run"
        )
    raise ResponseError("unexpected reply from a durnel script: %r" % (reply,))


def _shown(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else value


def messages(reply, recipient, key):
    """The messages of an inbox or drain reply, as (sender, recipient, content, sent_at)."""
    kind = tag(reply)
    if kind not in (Reply.LISTED, Reply.DRAINED):
        if kind == Reply.IN_FLIGHT:
            return []
        outcome(reply)  # raises
    result = []
    for blob in reply[1:]:
        try:
            sent_at, sender, content = json.loads(blob)
            if type(sent_at) is not int or type(sender) is not str or type(content) is not str:
                raise ValueError(blob)
        except (TypeError, ValueError):
            raise ForeignDataError(
                "durnel key %r holds %r, which is not a message that durnel wrote"
                % (_shown(key), blob)
            ) from None
        result.append((sender, recipient, content, sent_at))
    return result


def takeable_in(reply):
    """Seconds until another session's batch in flight becomes takeable, from an empty drain's
    reply (lua/drain.lua); None when there is none."""
    if tag(reply) != Reply.IN_FLIGHT:
        return None
    return int(reply[1]) / 1e6


class ClaimStep(NamedTuple):
    """A wait_claim reply: claimed, or why not and what the waiter needs to sleep on it."""

    claimed: bool
    queued: bool  # another waiter is ahead
    arrival: bytes  # the ticket's place in the queue; b"" if it is not queued
    holder: Any  # str, while the claim holds; None when it is free (a waiter ahead); when
    # claimed, the holder of a dead object's claim taken over (liveness.py), else None
    lapses_in: Any  # seconds until the holder's lease lapses, by the server's clock


def claim_step(reply, claims_key, lease=LEASE_SECONDS):
    kind = tag(reply)
    if kind == Reply.OK:  # with the holder of a dead object's claim taken over, if it was one
        stamp, _, holder = _raw(reply[1]).partition(b" ") if len(reply) > 1 else (b"", b"", b"")
        return ClaimStep(True, False, b"", text(holder, claims_key) if holder else None, None)
    if kind == Reply.WAIT_QUEUED:
        parts = _raw(reply[1]).split(b" ", 4)
        if len(parts) == 1:  # the resource is free: the waiter ahead has its turn
            return ClaimStep(False, True, parts[0], None, None)
        arrival, stamp, seconds, micros, holder = parts
        queued = True
    elif kind == Reply.WAIT_HELD:
        stamp, seconds, micros, arrival, holder = _raw(reply[1]).split(b" ", 4)
        queued = False
    else:
        outcome(reply)  # raises
    now = int(seconds) + int(micros) / 1e6
    return ClaimStep(False, queued, arrival, text(holder, claims_key), int(stamp) + lease - now)


def _raw(value):
    return value if isinstance(value, bytes) else value.encode("utf-8")


def status_value(reply, statuses, agent_id):
    if tag(reply) != Reply.STATUS:
        outcome(reply)  # raises
    value = reply[1]
    shown = value.decode("utf-8", "replace") if isinstance(value, bytes) else value
    if isinstance(value, bytes):
        try:
            value = value.decode("utf-8")
        except UnicodeDecodeError:
            value = None
    if value not in STATUSES:
        raise ForeignDataError(
            "durnel key %r: agent %r has the status %r, which durnel never writes"
            % (_shown(statuses), agent_id, shown)
        )
    return value
