"""The errors of durnel's own, whatever the engine: ``Error``, the base of every error class
that durnel raises, and the engine-neutral classes derived from it.

Each engine raises subclasses of these that also derive from its client library's own error
type where it has one (``durnel.redis.ForeignDataError`` is a redis-py ``ResponseError`` too,
``durnel.sqlite.BusyError`` a ``sqlite3.OperationalError``), so callers can catch
``durnel.Error``, the engine-neutral class or the library's. Each engine's errors are in one
module of its own (``durnel.sqlite.errors``, ``durnel.redis.errors``). The contract's refusals
stay the ``RuntimeError`` that the native module raises, and bad arguments ``TypeError``,
``ValueError`` and ``UnicodeEncodeError``, on every engine.
"""

__all__ = [
    "BusyError",
    "ClockError",
    "ClosedError",
    "Error",
    "ForeignDataError",
    "MissingDependencyError",
    "require",
]


class Error(Exception):
    """The base of every error class of durnel's own, on every engine."""


class ForeignDataError(Error):
    """The storage of a namespace holds data that durnel did not write (another type, or a value
    of another shape). The call changed nothing."""


class ClockError(Error):
    """The clock that stamps claims and messages reads a time before 1970. The call changed
    nothing."""


class BusyError(Error):
    """Another client held the storage's write lock for longer than the engine waits for it.
    The call changed nothing and may be made again."""


class ClosedError(Error):
    """A call on a coordination object after its ``close()`` (or ``aclose()``); the message
    names the object. The call changed nothing."""


class MissingDependencyError(Error, ModuleNotFoundError):
    """An optional dependency of the engine or tool asked for is not installed; the message
    says which extra of ``durnel_core`` brings it."""


def require(module: str, extra: str, what: str):
    """Imports and returns the top-level ``module`` that ``what`` needs; if it is missing,
    raises MissingDependencyError naming the extra to install."""
    import importlib

    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as error:
        if error.name != module:
            raise
        raise MissingDependencyError(
            '%s needs the Python package %r, which is not installed: pip install "durnel_core[%s]"'
            % (what, module, extra),
            name=module,
        ) from None
