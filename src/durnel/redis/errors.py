"""The errors that only the Redis engine gives.

Each derives from ``durnel.Error`` (through its engine-neutral class in ``durnel.errors`` where
there is one) and from the redis-py error that stands for the same thing, so callers may
catch either. A server out of reach is redis-py's own ``ConnectionError`` or ``TimeoutError``,
raised once the engine's retries are spent.
"""

from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import RedisError, ResponseError

from .. import errors

__all__ = [
    "ForeignDataError",
    "NotReplicatedError",
    "ServerClockError",
    "SilentError",
    "StaleRequestError",
]


class ForeignDataError(errors.ForeignDataError, ResponseError):
    """A key of the namespace holds data that durnel did not write (another type, or a value
    of another shape). The call changed nothing."""


class ServerClockError(errors.ClockError, ResponseError):
    """The Redis server's clock reads a time before 1970. The call changed nothing."""


class StaleRequestError(errors.Error, ResponseError):
    """The server had already seen a later request of this session, so this one did not run.
    Only a session shared by two callers at once (which the engine never does) gets it."""


class NotReplicatedError(errors.Error, RedisError):
    """With ``replicas``: the call took effect on the primary, but fewer replicas than asked
    acknowledged it in time, so a failover could still lose it. Raised after ``retries``
    attempts (each a replay of the same request and a new WAIT)."""


class SilentError(errors.Error, RedisConnectionError):
    """The pub/sub connection that wakes this process's waiters went silent: the server did
    not answer in time. Waiters raise it once the engine's retries to connect again are
    spent."""


class OtherLoopError(errors.Error):
    """An asyncio object was called from an event loop other than the one that first used
    it: its client's connections belong to that loop. Nothing was sent; make one object per
    event loop."""
