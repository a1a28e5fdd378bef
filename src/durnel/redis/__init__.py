"""The Redis engine: ``RedisCoordinationState``, its asyncio twin ``AsyncRedisCoordinationState``
and the errors that only a server can give.

Needs redis-py (``pip install "durnel_core[redis]"``); without it, importing this package
raises ``durnel.MissingDependencyError`` saying so.
"""

from ..errors import require

require("redis", "redis", "durnel's Redis engine")

from ..contract import LEASE_SECONDS  # noqa: E402
from .aio import AsyncRedisCoordinationState, open_async_url  # noqa: E402
from .calls import key_pattern  # noqa: E402
from .engine import RedisCoordinationState, open_url  # noqa: E402
from .errors import (  # noqa: E402
    ForeignDataError,
    NotReplicatedError,
    OtherLoopError,
    ServerClockError,
    SilentError,
    StaleRequestError,
)

__all__ = [
    "LEASE_SECONDS",
    "AsyncRedisCoordinationState",
    "ForeignDataError",
    "NotReplicatedError",
    "OtherLoopError",
    "RedisCoordinationState",
    "ServerClockError",
    "SilentError",
    "StaleRequestError",
    "key_pattern",
    "open_async_url",
    "open_url",
]
