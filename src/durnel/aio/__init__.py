"""durnel.aio: the coordination contract for asyncio programs.

``await state.claim_file(...)`` and the other eleven are coroutines with the arguments,
results and errors of ``durnel.WaitingCoordination``; waiting in one task never blocks the
event loop. ``connect()`` without a URL gives an asyncio view of a new in-process state;
``view(state)`` gives one of an existing ``durnel.connect()`` object, so that threads using
the object and tasks using the view share one state and wake each other.
``connect("sqlite:///state.db")`` gives the SQLite engine's asyncio object.
"""

import sys
from typing import Optional

from ..namespaces import check_namespace
from ..protocol import AsyncCoordination

__all__ = ["AsyncCoordination", "connect", "view"]


def connect(url: Optional[str] = None, *, namespace: str = "default") -> AsyncCoordination:
    """An asyncio coordination object: in-process without a URL, on the engine its scheme
    names with one (see ``durnel.connect``)."""
    if url is None:
        check_namespace(namespace)
        from ..inprocess.aio import AsyncInProcessCoordinationState

        return AsyncInProcessCoordinationState()
    from .. import urls

    return urls.open_url(url, namespace, asynchronous=True)


def view(state) -> AsyncCoordination:
    """The asyncio view of ``state``, an object that ``durnel.connect()`` returned: in-process,
    or a SQLiteCoordinationState (the view then runs its calls in a thread of its own)."""
    from ..inprocess import InProcessCoordinationState

    if isinstance(state, InProcessCoordinationState):
        from ..inprocess.aio import AsyncInProcessCoordinationState

        return AsyncInProcessCoordinationState(state)
    sqlite_engine = sys.modules.get("durnel.sqlite.engine")  # loaded if state is one of its
    if sqlite_engine is not None and isinstance(state, sqlite_engine.SQLiteCoordinationState):
        from ..sqlite.aio import AsyncSQLiteCoordinationState

        return AsyncSQLiteCoordinationState(state)
    raise TypeError("no asyncio view of %s" % type(state).__qualname__)
