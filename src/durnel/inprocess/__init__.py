"""The in-process engine: ``durnel_core.CoordinationState``, and the object ``durnel.connect()``
returns for it, which adds waits."""

from .engine import InProcessCoordinationState

__all__ = ["InProcessCoordinationState"]
