"""The in-process engine: ``durnel_core.CoordinationState``, the object ``durnel.connect()``
returns for it, which adds waits (``InProcessCoordinationState``), and its asyncio view
(``AsyncInProcessCoordinationState``)."""

from .aio import AsyncInProcessCoordinationState, open_async_url
from .engine import InProcessCoordinationState, open_url

__all__ = [
    "AsyncInProcessCoordinationState",
    "InProcessCoordinationState",
    "open_async_url",
    "open_url",
]
