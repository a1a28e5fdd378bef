"""RedisCoordinationState: the coordination contract on a Redis server, for agents in many
processes or on many machines.

Guarantees, beyond what the in-process engine gives:

- every method is one server-side script, run with EVALSHA in one round trip and atomic: a
  takeover changes the claim, the new holder's status and both log events together or not
  at all, and a broadcast reaches exactly the agents registered when it runs;
- every stamp is the server's own clock (TIME) in whole seconds, so agents whose machines
  disagree on the time still see the same leases;
- a call whose reply is lost (the connection dropped or timed out after the server ran it)
  is retried with the same request id, and the script recognises the request and returns its
  first result: a send is delivered once, a drain returns the same messages, a claim is not
  refused as held by its own caller. After ``retries`` failed attempts the call raises
  redis-py's ``ConnectionError`` or ``TimeoutError``, never a ``RuntimeError``;
- all keys of a namespace share the hash tag ``{namespace}`` and so one cluster slot.

Keys of namespace N (all readable with ordinary Redis tools):
  durnel:{N}:claims               hash   resource key -> "<last stamp>:<holder>"
  durnel:{N}:status               hash   agent id -> "idle" | "busy"; its keys are the roster
  durnel:{N}:inbox:<agent>        list   '[sent_at, "from", "content"]' (JSON), oldest first
  durnel:{N}:log                  stream event=Claimed|Released|MessageSent|BroadcastSent, ...
  durnel:{N}:session:<sid>        string the latest request of one client thread and its reply
  durnel:{N}:drained:<sid>:<agent> list  the last drain of that inbox by that thread
Session keys expire ``request_ttl`` seconds (default 600) after their last use; claims,
statuses, inboxes and the log never expire (``log_maxlen`` caps the log, approximately).
"""

import json
import os
import secrets
import threading
import time
from typing import Any, Optional, Union, cast

import redis
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import NoScriptError, ResponseError
from redis.exceptions import TimeoutError as RedisTimeoutError

from .. import errors
from ..arguments import utf8
from ..contract import (
    BROADCAST_RECIPIENT,
    FILE_PREFIX,
    LEASE_SECONDS,
    STATUSES,
    TASK_PREFIX,
    claim_refusal,
    release_refusal,
    renew_refusal,
)
from ..namespaces import check_namespace
from ..protocol import Message, Status
from ..urls import redacted
from .scripts import SCRIPTS, Reply

__all__ = ["ForeignDataError", "RedisCoordinationState", "ServerClockError", "open_url"]

DEFAULT_REQUEST_TTL = 600
DEFAULT_RETRIES = 6
DEFAULT_BACKOFF = 0.05  # seconds before the first retry; doubles each time, at most 1 s
LEASE = b"%d" % LEASE_SECONDS
FILE = FILE_PREFIX.encode()
TASK = TASK_PREFIX.encode()


class ForeignDataError(errors.ForeignDataError, ResponseError):
    """A key of the namespace holds data that durnel did not write (another type, or a value
    of another shape). The call changed nothing."""


class ServerClockError(errors.ClockError, ResponseError):
    """The Redis server's clock reads a time before 1970. The call changed nothing."""


REFUSED = (Reply.NO_CLAIM, Reply.NOT_HOLDER)


def _text(value):
    return value.decode("utf-8") if isinstance(value, bytes) else value


def _refused_holder(reply):
    """The holder a renewal or release was refused for; None when there was no claim."""
    return _text(reply[1]) if _text(reply[0]) == Reply.NOT_HOLDER else None


class _Session(threading.local):
    """One client thread's identity towards the server: a random id and a request counter.
    A forked child gets a session of its own on its first call."""

    pid = None

    def renew_if_forked(self, prefix):
        pid = os.getpid()
        if self.pid != pid:
            self.pid = pid
            self.sid = secrets.token_hex(8).encode()
            self.key = prefix + b"session:" + self.sid
            self.counter = 0
            self.received_drains = {}  # agent id -> id of the last drain whose reply arrived


class RedisCoordinationState:
    """The nine methods of ``durnel_core.CoordinationState`` on a Redis server.

    ``client_or_url`` is a redis-py client (``redis.Redis`` or ``redis.cluster.RedisCluster``;
    replies may be bytes or decoded str) or a ``redis://``, ``rediss://`` or ``unix://`` URL,
    from which a client of its own is made (closed by ``close()``). ``namespace`` names the
    coordination group. ``log_maxlen`` caps the activity log at about that many events
    (``XADD MAXLEN ~``); by default it is never trimmed. ``request_ttl`` is how long, in
    seconds, a request can still be recognised when retried. ``retries`` is how many times a
    call is sent again after a connection error or time-out before that error is raised.
    """

    def __init__(
        self,
        client_or_url: Union[str, Any],
        namespace: str = "default",
        *,
        log_maxlen: Optional[int] = None,
        request_ttl: int = DEFAULT_REQUEST_TTL,
        retries: int = DEFAULT_RETRIES,
    ) -> None:
        check_namespace(namespace)
        if log_maxlen is not None and (type(log_maxlen) is not int or log_maxlen < 1):
            raise ValueError("log_maxlen must be a positive int or None, not %r" % (log_maxlen,))
        if type(request_ttl) is not int or request_ttl < 1:
            raise ValueError(
                "request_ttl must be a positive int (seconds), not %r" % (request_ttl,)
            )
        if type(retries) is not int or retries < 0:
            raise ValueError("retries must be an int >= 0, not %r" % (retries,))
        self._owns_client = isinstance(client_or_url, str)
        self._client: Any = _client_for(client_or_url) if self._owns_client else client_or_url
        self.namespace = namespace
        prefix = b"durnel:{" + namespace.encode("utf-8") + b"}:"
        self._prefix = prefix
        self._claims = prefix + b"claims"
        self._statuses = prefix + b"status"
        self._log = prefix + b"log"
        self._inbox_prefix = prefix + b"inbox:"
        self._maxlen = b"" if log_maxlen is None else str(log_maxlen).encode()
        self._ttl = str(request_ttl).encode()
        self._retries = retries
        self._session = _Session()

    # ---- claims ----
    # Each call's ARGV is listed in the order of its script's header (lua/<name>.lua).

    def claim_file(self, agent_id: str, path: str) -> str:
        return self._claim(agent_id, utf8("agent_id", agent_id), FILE_PREFIX, path, "path")

    def claim_task(self, agent_id: str, task_id: str) -> str:
        return self._claim(agent_id, utf8("agent_id", agent_id), TASK_PREFIX, task_id, "task_id")

    def _claim(self, agent_id, agent: bytes, prefix: str, name, parameter: str) -> str:
        resource = (FILE if prefix == FILE_PREFIX else TASK) + utf8(parameter, name)
        session, request = self._next_request()
        reply = self._run(
            "claim",
            (self._claims, self._statuses, self._log, session.key),
            # ARGV: request id, request ttl, log maxlen, agent, resource key, lease
            (request, self._ttl, self._maxlen, agent, resource, LEASE),
        )
        if _text(reply[0]) == Reply.HELD:
            raise RuntimeError(claim_refusal(prefix, _text(reply[1]), str.__str__(name)))
        self._outcome(reply)
        return str.__str__(agent_id)

    def renew_claim(self, agent_id: str, resource_key: str) -> str:
        agent = utf8("agent_id", agent_id)
        resource = utf8("resource_key", resource_key)
        session, request = self._next_request()
        reply = self._run(
            "renew",
            (self._claims, session.key),
            # ARGV: request id, request ttl, agent, resource key
            (request, self._ttl, agent, resource),
        )
        if _text(reply[0]) in REFUSED:
            raise RuntimeError(renew_refusal(agent_id, resource_key, _refused_holder(reply)))
        self._outcome(reply)
        return str.__str__(agent_id)

    def release(self, agent_id: str, resource_key: str) -> None:
        agent = utf8("agent_id", agent_id)
        resource = utf8("resource_key", resource_key)
        session, request = self._next_request()
        reply = self._run(
            "release",
            (self._claims, self._statuses, self._log, session.key),
            # ARGV: request id, request ttl, log maxlen, agent, resource key
            (request, self._ttl, self._maxlen, agent, resource),
        )
        if _text(reply[0]) in REFUSED:
            raise RuntimeError(release_refusal(agent_id, _refused_holder(reply)))
        self._outcome(reply)

    # ---- mailboxes ----

    def send_message(self, from_agent: str, to_agent: str, content: str) -> Message:
        sender = utf8("from_agent", from_agent)
        recipient = utf8("to_agent", to_agent)
        text = utf8("content", content)
        session, request = self._next_request()
        sent_at = self._outcome(
            self._run(
                "send",
                (self._statuses, self._log, session.key, self._inbox_prefix + recipient),
                # ARGV: request id, request ttl, log maxlen, from, to, content
                (request, self._ttl, self._maxlen, sender, recipient, text),
            )
        )
        return (str.__str__(from_agent), str.__str__(to_agent), str.__str__(content), sent_at)

    def broadcast(self, from_agent: str, content: str) -> Message:
        sender = utf8("from_agent", from_agent)
        text = utf8("content", content)
        session, request = self._next_request()
        sent_at = self._outcome(
            self._run(
                "broadcast",
                (self._statuses, self._log, session.key),
                # ARGV: request id, request ttl, log maxlen, from, content, inbox key prefix
                (request, self._ttl, self._maxlen, sender, text, self._inbox_prefix),
            )
        )
        return (str.__str__(from_agent), BROADCAST_RECIPIENT, str.__str__(content), sent_at)

    def inbox(self, agent_id: str) -> list[Message]:
        agent = utf8("agent_id", agent_id)
        key = self._inbox_prefix + agent
        reply = self._run("inbox", (key,), ())
        return self._messages(reply, str.__str__(agent_id), key)

    def drain_inbox(self, agent_id: str) -> list[Message]:
        agent = utf8("agent_id", agent_id)
        session, request = self._next_request()
        key = self._inbox_prefix + agent
        drained = self._prefix + b"drained:" + session.sid + b":" + agent
        received = session.received_drains.get(agent, b"")
        # ARGV: request id, request ttl, id of the last drain whose reply arrived
        reply = self._run("drain", (key, drained), (request, self._ttl, received))
        messages = self._messages(reply, str.__str__(agent_id), key)
        session.received_drains[agent] = request
        return messages

    # ---- statuses ----

    def status(self, agent_id: str) -> Status:
        agent = utf8("agent_id", agent_id)
        # ARGV: agent
        reply = self._run("status", (self._statuses,), (agent,))
        if _text(reply[0]) != Reply.STATUS:
            self._outcome(reply)  # raises
        value = _text(reply[1])
        if value not in STATUSES:
            raise ForeignDataError(
                "durnel key %r: agent %r has the status %r, which durnel "
                "never writes" % (self._statuses, agent_id, value)
            )
        return cast(Status, value)

    # ---- the client ----

    def close(self) -> None:
        """Closes the client made from a URL; a client passed in is left to its owner."""
        if self._owns_client:
            self._client.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        return "<RedisCoordinationState namespace=%r on %r>" % (self.namespace, self._client)

    def _next_request(self):
        session = self._session
        session.renew_if_forked(self._prefix)
        session.counter += 1
        return session, b"%d" % session.counter

    def _run(self, name, keys, args):
        """Runs script `name` once, retrying the very same request after a connection error
        or a time-out; the script replays a request it has already run."""
        script = SCRIPTS[name]
        client = self._client
        attempt = 0
        while True:
            try:
                try:
                    return client.evalsha(script.sha, len(keys), *keys, *args)
                except NoScriptError:
                    # Not in this server's script cache (a restart, a failover, SCRIPT FLUSH):
                    # EVAL runs it and caches it again.
                    return client.eval(script.source, len(keys), *keys, *args)
            except (RedisConnectionError, RedisTimeoutError):
                if attempt >= self._retries:
                    raise
                time.sleep(min(DEFAULT_BACKOFF * (1 << attempt), 1.0))
                attempt += 1

    def _outcome(self, reply: Any) -> Any:
        """The value of a script's reply, or the exception that it stands for."""
        tag = _text(reply[0])
        if tag == Reply.OK:
            return None
        if tag == Reply.SENT:
            return int(reply[1])
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

    def _messages(self, reply, recipient, key):
        if _text(reply[0]) not in (Reply.LISTED, Reply.DRAINED):
            self._outcome(reply)  # raises
        messages = []
        for blob in reply[1:]:
            try:
                sent_at, sender, content = json.loads(blob)
                if type(sent_at) is not int or type(sender) is not str or type(content) is not str:
                    raise ValueError(blob)
            except (TypeError, ValueError):
                raise ForeignDataError(
                    "durnel key %r holds %r, which is not a message that durnel wrote" % (key, blob)
                ) from None
            messages.append((sender, recipient, content, sent_at))
        return messages


def _client_for(url):
    """A redis-py client for `url`, whose failed calls are retried by the engine alone."""
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    try:
        return redis.Redis.from_url(
            url, socket_connect_timeout=5, socket_timeout=30, retry=Retry(NoBackoff(), 0)
        )
    except ValueError as error:
        raise ValueError("bad coordination URL %r: %s" % (redacted(url), error)) from None


def open_url(url: str, namespace: str) -> RedisCoordinationState:
    """The engine for a ``redis://``, ``rediss://`` or ``unix://`` URL (see ``durnel.urls``)."""
    return RedisCoordinationState(url, namespace)
