"""The nine methods of the Redis engine without their I/O, shared by the sync engine
(engine.py) and its asyncio twin (aio.py), which differ only in how they send a Call.

For each method, a function that converts the arguments (TypeError or UnicodeEncodeError
before anything is sent, so a bad argument changes nothing) and builds its Call with the
session's next request id, and one that reads the reply into the method's result or raises
what the reply stands for: the contract's RuntimeError texts, or the engine's errors.
"""

from ..arguments import utf8
from ..contract import (
    BROADCAST_RECIPIENT,
    claim_refusal,
    release_refusal,
    renew_refusal,
)
from . import calls, liveness
from .scripts import Reply

__all__ = [
    "broadcast",
    "broadcast_result",
    "claim",
    "claim_result",
    "drain",
    "drained",
    "inbox",
    "listed",
    "release",
    "release_result",
    "renew",
    "renew_result",
    "revoke",
    "revoke_result",
    "send",
    "sent",
    "status",
    "status_result",
]

# parameter names, as the native methods' errors name them
_PARAMETER = {calls.FILE: "path", calls.TASK: "task_id"}


def claim(keys, options, session, kind, agent_id, name):
    agent = utf8("agent_id", agent_id)
    resource = kind + utf8(_PARAMETER[kind], name)
    return calls.claim(keys, options, session, session.next_request(), agent, resource)


def claim_result(reply, keys, prefix, agent_id, name):
    if calls.tag(reply) == Reply.HELD:
        holder = calls.text(reply[1], keys.claims)
        raise RuntimeError(claim_refusal(prefix, holder, str.__str__(name)))
    calls.outcome(reply)
    if len(reply) > 2:  # the claim of a dead object's holder, taken over
        freed(calls.text(reply[2], keys.claims), prefix + str.__str__(name), agent_id)
    return str.__str__(agent_id)


def freed(holder, resource, agent_id):
    """Logs a claim taken over because its holder's object died (liveness.py)."""
    liveness.log.info(
        "%s took over %s from %s, whose object stopped keeping its claims alive",
        agent_id,
        resource,
        holder,
    )


def renew(keys, options, session, agent_id, resource_key):
    agent = utf8("agent_id", agent_id)
    resource = utf8("resource_key", resource_key)
    return calls.renew(keys, options, session, session.next_request(), agent, resource)


def renew_result(reply, keys, agent_id, resource_key):
    if calls.tag(reply) in calls.REFUSED:
        holder = calls.refused_holder(reply, keys.claims)
        raise RuntimeError(renew_refusal(agent_id, resource_key, holder))
    calls.outcome(reply)
    return str.__str__(agent_id)


def release(keys, options, session, agent_id, resource_key):
    agent = utf8("agent_id", agent_id)
    resource = utf8("resource_key", resource_key)
    return calls.release(keys, options, session, session.next_request(), agent, resource)


def release_result(reply, keys, agent_id):
    if calls.tag(reply) in calls.REFUSED:
        holder = calls.refused_holder(reply, keys.claims)
        raise RuntimeError(release_refusal(agent_id, holder))
    calls.outcome(reply)


def send(keys, options, session, from_agent, to_agent, content):
    sender = utf8("from_agent", from_agent)
    recipient = utf8("to_agent", to_agent)
    text = utf8("content", content)
    return calls.send(keys, options, session, session.next_request(), sender, recipient, text)


def sent(reply, from_agent, to_agent, content):
    sent_at = calls.outcome(reply)
    return (str.__str__(from_agent), str.__str__(to_agent), str.__str__(content), sent_at)


def broadcast(keys, options, session, from_agent, content):
    sender = utf8("from_agent", from_agent)
    text = utf8("content", content)
    return calls.broadcast(keys, options, session, session.next_request(), sender, text)


def broadcast_result(reply, from_agent, content):
    sent_at = calls.outcome(reply)
    return (str.__str__(from_agent), BROADCAST_RECIPIENT, str.__str__(content), sent_at)


def inbox(keys, options, session, agent_id):
    return calls.inbox(keys, options, session, utf8("agent_id", agent_id))


def listed(reply, call, agent_id):
    return calls.messages(reply, str.__str__(agent_id), call.keys[0])


def drain(keys, options, session, agent_id, mail=b""):
    agent = utf8("agent_id", agent_id)
    return calls.drain(keys, options, session, session.next_request(), agent, mail)


def drained(reply, call, session, agent_id):
    """The drained messages; a batch that arrived is the session's to settle (Session)."""
    messages = calls.messages(reply, str.__str__(agent_id), call.keys[0])
    if messages:
        session.delivered(call.keys[1], call.args[1])
    return messages


def revoke(keys, options, session, resource_key, by):
    resource = utf8("resource_key", resource_key)
    who = utf8("by", by)
    return calls.revoke(keys, options, session, session.next_request(), resource, who)


def revoke_result(reply, keys, resource_key):
    """The holder whose claim was revoked."""
    if calls.tag(reply) == Reply.NO_CLAIM:
        raise RuntimeError("no claim on %s to revoke" % str.__str__(resource_key))
    if calls.tag(reply) == Reply.OK:
        return calls.text(reply[1], keys.claims)
    return calls.outcome(reply)  # raises


def status(keys, options, session, agent_id):
    return calls.status(keys, options, session, utf8("agent_id", agent_id))


def status_result(reply, keys, agent_id):
    return calls.status_value(reply, keys.statuses, agent_id)
