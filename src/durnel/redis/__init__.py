"""The Redis engine: ``RedisCoordinationState`` and the errors that only a server can give.

Needs redis-py (``pip install "durnel_core[redis]"``).
"""

from .engine import LEASE_SECONDS, ForeignDataError, RedisCoordinationState, ServerClockError

__all__ = ["RedisCoordinationState", "ForeignDataError", "ServerClockError", "LEASE_SECONDS"]
