"""What the Redis engine's twins (``RedisCoordinationState``, ``AsyncRedisCoordinationState``)
share as objects: their options, checked once and the same way, and their client.

Every option is checked before anything is made: a bad one raises TypeError or ValueError
naming it, and no client is made or changed. A client passed in has its own redis-py retries
turned off (retry.py); one made from a URL is the engine's, closed with the object.
"""

from typing import Any

from ..namespaces import check_namespace
from . import calls, retry
from .liveness import split_url
from .presence import Presence

__all__ = ["DEFAULT_REQUEST_TTL", "DEFAULT_VISIBILITY_TIMEOUT", "Settings"]

DEFAULT_REQUEST_TTL = 600
DEFAULT_VISIBILITY_TIMEOUT = 60
# bounds of what Redis takes: XADD's MAXLEN, and WAIT's timeout (in ms, added to its clock)
_LARGEST_COUNT = 2**63 - 1
_LONGEST_REPLICA_TIMEOUT = 1e9  # seconds (31 years)


class Settings:
    """The options and the client of either twin (``_set_up``), and what they show of them."""

    namespace: str
    _keys: calls.Keys
    _options: calls.Options
    _retries: int
    _replicas: int
    _replica_timeout_ms: int
    _client: Any
    _owns_client: bool
    _cluster: bool

    def _set_up(
        self,
        client_or_url,
        client_for,
        cluster_class,
        close_client,
        namespace,
        log_maxlen,
        request_ttl,
        visibility_timeout,
        retries,
        replicas,
        replica_timeout,
        ephemeral_claims=False,
    ):
        """Checks the options, then sets them and the client (``client_for(url)`` for a URL;
        a cluster's if it is a ``cluster_class``)."""
        check_namespace(namespace)
        if log_maxlen is not None and (
            type(log_maxlen) is not int or not 1 <= log_maxlen <= _LARGEST_COUNT
        ):
            raise ValueError(
                "log_maxlen must be an int from 1 to 2**63 - 1, or None, not %r" % (log_maxlen,)
            )
        for name, value in (
            ("request_ttl", request_ttl),
            ("visibility_timeout", visibility_timeout),
        ):
            if type(value) is not int or value < 1:
                raise ValueError("%s must be a positive int (seconds), not %r" % (name, value))
        if type(retries) is not int or retries < 0:
            raise ValueError("retries must be an int >= 0, not %r" % (retries,))
        if type(replicas) is not int or replicas < 0:
            raise ValueError("replicas must be an int >= 0, not %r" % (replicas,))
        if (
            not isinstance(replica_timeout, (int, float))
            or not 0 < replica_timeout <= _LONGEST_REPLICA_TIMEOUT
        ):
            raise ValueError(
                "replica_timeout must be a number of seconds above 0 and at most %g, not %r"
                % (_LONGEST_REPLICA_TIMEOUT, replica_timeout)
            )
        if type(ephemeral_claims) is not bool:
            raise ValueError("ephemeral_claims must be True or False, not %r" % (ephemeral_claims,))
        made = isinstance(client_or_url, str)
        if made:
            client_or_url, in_url = split_url(client_or_url)
            ephemeral_claims = ephemeral_claims or bool(in_url)
        client = client_for(client_or_url) if made else client_or_url
        if not made:
            retry.leave_retries_to_the_engine(client)
        self.namespace = namespace
        self._keys = calls.Keys(namespace)
        self._options = calls.Options(
            str(request_ttl).encode(),
            b"" if log_maxlen is None else str(log_maxlen).encode(),
            str(visibility_timeout).encode(),
            Presence(self._keys.presence, ephemeral_claims),
        )
        self._retries = retries
        self._replicas = replicas
        self._replica_timeout_ms = max(1, int(replica_timeout * 1000))
        self._client = client
        self._owns_client = made if close_client is None else bool(close_client)
        self._cluster = isinstance(client, cluster_class)

    @property
    def client(self) -> Any:
        """The redis-py client (redis.asyncio's, for the asyncio object) that the object
        sends its calls with."""
        return self._client

    @property
    def object_id(self) -> str:
        """This object's id (16 hex digits, a new one in a forked child), as the presence of
        the agents calling through it records it."""
        return self._options.presence.current_id()

    @property
    def ephemeral_claims(self) -> bool:
        """Whether the claims taken or renewed through this object die with it (liveness.py)."""
        return self._options.presence.ephemeral

    @property
    def retries(self) -> int:
        """How many times a call is sent again before its connection error is raised."""
        return self._retries

    @property
    def visibility_timeout(self) -> int:
        """Seconds a drained batch whose delivery was not settled stays in flight."""
        return int(self._options.visibility)

    def __repr__(self):
        return "<%s namespace=%r on %r>" % (type(self).__name__, self.namespace, self._client)
