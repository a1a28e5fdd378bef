"""When the Redis engine sends a call again, and how long it waits first: the policy that the
sync engine and its asyncio twin share, without their I/O.

A call is sent again, with the very same request id (the scripts replay a request they have
already run: lua/common.lua), after a connection error, a time-out, a replica that did not
acknowledge in time, or a cluster slot on the move; at most ``retries`` times, waiting 50 ms
before the first and twice as long before each next one, at most a second. Anything else is
raised at once; a call that raises once its retries are spent is logged (warning, on
"durnel.redis").

A client's own retries are turned off (``leave_retries_to_the_engine``): redis-py sends a
failed command again as it was first sent, so its retry of a drain would carry no mark of
being one (lua/drain.lua, D4), and a delayed copy of the first attempt arriving after it could
then take newer messages into flight; its retries would also multiply the engine's budget.
"""

import logging

from redis.exceptions import (
    AskError,
    ClusterDownError,
    ClusterError,
    MovedError,
    ResponseError,
    TryAgainError,
)
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import TimeoutError as RedisTimeoutError

from .errors import NotReplicatedError

log = logging.getLogger("durnel.redis")

__all__ = [
    "leave_retries_to_the_engine",
    "DEFAULT_BACKOFF",
    "DEFAULT_RETRIES",
    "LOST",
    "RETRIED",
    "backoff",
    "delay",
    "missing_library",
]

DEFAULT_RETRIES = 6
DEFAULT_BACKOFF = 0.05  # seconds before the first retry; doubles each time, at most 1 s


# redis-py's cluster errors, raised while a slot moves between nodes (ClusterError: its own
# budget of redirections ran out)
_MOVING = (AskError, ClusterDownError, ClusterError, MovedError, TryAgainError)
# Errors inside a script, or from a client that does not follow redirections, while the
# namespace's slot moves: the script did not run (see lua/broadcast.lua), so it is retried.
_MOVING_TEXTS = ("TRYAGAIN", "ASK ", "MOVED ", "CLUSTERDOWN", "non local key")

# The errors a caller catches to ask delay() about; LOST: the reply may have been lost
LOST = (RedisConnectionError, RedisTimeoutError, NotReplicatedError)
RETRIED = LOST + (ResponseError, ClusterError)


def moving(error):
    if isinstance(error, _MOVING):
        return True
    if type(error) is not ResponseError:
        return False
    message = str(error)
    return any(text in message for text in _MOVING_TEXTS)


def delay(error, attempt, retries):
    """Seconds to wait before the next attempt after ``error`` ended attempt number ``attempt``
    (from 0); None: raise the error."""
    if not (isinstance(error, LOST) or moving(error)):
        return None
    wait = backoff(attempt, retries)
    if wait is None:
        log.warning("a call gave up after %d retries: %s: %s", retries, type(error).__name__, error)
    return wait


def backoff(attempt, retries):
    """Seconds to wait before attempt number ``attempt + 1``; None once ``retries`` are spent."""
    if attempt >= retries:
        return None
    return min(DEFAULT_BACKOFF * (1 << attempt), 1.0)


def missing_library(error):
    """Whether ``error`` says that the server lacks the function library (a new server, a
    restart without persistence, a new node): load it, then send the call again."""
    return isinstance(error, ResponseError) and "function not found" in str(error).lower()


def leave_retries_to_the_engine(client):
    """Turns off the redis-py retries of ``client`` (sync or asyncio, plain or cluster), for
    every user of the client and of its connection pool."""
    import redis.asyncio.retry
    import redis.retry
    from redis.backoff import NoBackoff

    if not callable(getattr(client, "set_retry", None)):
        raise TypeError("client_or_url must be a redis-py client or a URL, not %r" % (client,))
    asynchronous = type(client).__module__.startswith("redis.asyncio")
    kind = redis.asyncio.retry.Retry if asynchronous else redis.retry.Retry
    none = kind(NoBackoff(), 0)
    try:
        client.set_retry(none)
    except AttributeError:  # redis-py's BlockingConnectionPool lacks what set_retry looks at
        pool = client.connection_pool
        pool.connection_kwargs["retry"] = none
        for connection in getattr(pool, "_connections", ()):
            connection.retry = none
