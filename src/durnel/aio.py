"""durnel.aio: the coordination contract for asyncio programs.

``await state.claim_file(...)`` and the other eleven are coroutines with the arguments,
results and errors of ``durnel.WaitingCoordination``; waiting in one task never blocks the
event loop. ``connect()`` without a URL gives an asyncio view of a new in-process state;
``connect("sqlite:///state.db")`` gives the SQLite engine's asyncio object, and
``connect("redis://host:6379/0")`` the Redis engine's, on a redis.asyncio client of its own
(see ``durnel.connect`` for the URLs). ``view(state)`` gives an asyncio view of an object that
``durnel.connect()`` returned (in-process, or SQLite), so that threads using the object and
tasks using the view share one state and wake each other. Every object here is closed with
``await aclose()`` or an ``async with`` block (``durnel.lifecycle``).
"""

from typing import Optional

from . import engines
from .namespaces import check_namespace
from .protocol import AsyncCoordination, WaitingCoordination

__all__ = ["AsyncCoordination", "connect", "view"]


def connect(url: Optional[str] = None, *, namespace: str = "default") -> AsyncCoordination:
    """An asyncio coordination object: in-process without a URL, on the engine its scheme
    names with one (see ``durnel.connect``). Raises ValueError, besides what
    ``durnel.connect`` raises, for an engine that has no asyncio client."""
    if url is None:
        check_namespace(namespace)
    return engines.for_url(url).connect_async(url, namespace)


def view(state: WaitingCoordination) -> AsyncCoordination:
    """The asyncio view of ``state``, an object that ``durnel.connect()`` returned: in-process,
    or a SQLiteCoordinationState (the view then runs its calls in a thread of its own).
    Closing the view leaves ``state`` open. Raises TypeError for an object whose engine
    gives no view (a Redis object: ``connect`` its URL here instead), ClosedError for a
    closed one."""
    engine = engines.for_object(state)
    if engine is None or engine.view is None:
        raise TypeError("no asyncio view of %s" % type(state).__qualname__)
    return engine.load(engine.view)(state)
