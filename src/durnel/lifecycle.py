"""One lifecycle for every coordination object that ``durnel.connect()``, ``durnel.aio.connect()``
and ``durnel.aio.view()`` return, whatever its engine:

- ``close()`` (a synchronous object) or ``await aclose()`` (an asyncio one) lets go of what
  the object holds (connections, threads, a listener); closing again does nothing;
- the object is a context manager (``with``), or an asynchronous one (``async with``), that
  closes it on the way out, however the block ends;
- once closed, every method of the object raises ``durnel.ClosedError`` naming it, having
  done nothing, and ``closed`` is True. A wait that sleeps while its object is closed ends
  with ClosedError too (how soon is each engine's to say).

Being closable costs an open object's calls nothing: no flag is tested per call. ``close()``
puts on the instance itself, for each method of the object, a stand-in that raises ClosedError
(an instance attribute hides the class's method of the same name), then lets go of the
object's resources. A method fetched from the object before it was closed is not bound to
refuse: the in-process object's are the native object's own, which closing leaves as they
are. What an engine hands back after a call that was interrupted (a drain's messages, a claim
nobody learnt of) is handed back on a closed object too.
"""

from typing import Any, Callable, ClassVar, TypeVar

from .errors import ClosedError

__all__ = ["AsyncClosing", "Closing", "ClosedError"]

_Sync = TypeVar("_Sync", bound="Closing")
_Async = TypeVar("_Async", bound="AsyncClosing")


def _stand_in(message: str) -> Callable[..., Any]:
    def closed(*args, **kwargs):
        raise ClosedError(message)

    return closed


def _async_stand_in(message: str) -> Callable[..., Any]:
    async def closed(*args, **kwargs):
        raise ClosedError(message)

    return closed


class _Lifecycle:
    # The methods that the stand-ins replace: every public call, and what other objects of
    # the same engine call on this one (an asyncio view on its synchronous object); and the
    # plain functions that every call of the object goes through (replaced by plain
    # stand-ins, on an asyncio object too), so that a method fetched before the object was
    # closed raises ClosedError as well.
    _CLOSED_METHODS: ClassVar[tuple[str, ...]] = ()
    _CLOSED_HELPERS: ClassVar[tuple[str, ...]] = ()
    _closed = False

    @property
    def closed(self) -> bool:
        """Whether the object has been closed."""
        return self._closed

    def _closed_error(self) -> ClosedError:
        """The ClosedError of a call on this object (its repr names it)."""
        return ClosedError("%r is closed" % (self,))

    def _shut(self, stand_in: Callable[[str], Callable[..., Any]]) -> bool:
        """Marks the object closed and puts the stand-ins in place; False if it already was."""
        if self._closed:
            return False
        message = str(self._closed_error())  # the stand-ins hold a text, never the object
        self._closed = True
        for name in self._CLOSED_METHODS:
            setattr(self, name, stand_in(message))
        for name in self._CLOSED_HELPERS:
            setattr(self, name, _stand_in(message))
        return True


class Closing(_Lifecycle):
    """The lifecycle of a synchronous coordination object: ``close()``, ``with``."""

    def close(self) -> None:
        """Lets go of what the object holds; every later call raises ClosedError. Closing an
        object that is closed does nothing."""
        if self._shut(_stand_in):
            self._let_go()

    def _let_go(self) -> None:
        """What closing frees, once: the engine's own."""

    def __enter__(self: _Sync) -> _Sync:
        if self._closed:
            raise self._closed_error()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


class AsyncClosing(_Lifecycle):
    """The lifecycle of an asyncio coordination object: ``await aclose()``, ``async with``."""

    async def aclose(self) -> None:
        """Lets go of what the object holds; every later call raises ClosedError. Closing an
        object that is closed does nothing."""
        if self._shut(_async_stand_in):
            await self._let_go()

    async def _let_go(self) -> None:
        """What closing frees, once: the engine's own."""

    async def __aenter__(self: _Async) -> _Async:
        if self._closed:
            raise self._closed_error()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()
