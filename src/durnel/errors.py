"""The errors that only the engines of this package can give, whatever their storage.

Each engine raises a subclass of these that also derives from its client library's own error
type where it has one (``durnel.redis.ForeignDataError`` is a redis-py ``ResponseError`` too),
so callers can catch either the engine-neutral class or the library's.
"""

__all__ = ["BusyError", "ClockError", "ForeignDataError", "MissingDependencyError", "require"]


class ForeignDataError(Exception):
    """The storage of a namespace holds data that durnel did not write (another type, or a value
    of another shape). The call changed nothing."""


class ClockError(Exception):
    """The clock that stamps claims and messages reads a time before 1970. The call changed
    nothing."""


class BusyError(Exception):
    """Another client held the storage's write lock for longer than the engine waits for it.
    The call changed nothing and may be made again."""


class MissingDependencyError(ModuleNotFoundError):
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
