"""The engines: each described once, by an ``Engine``, in one registry where ``durnel.connect``,
``durnel.aio``, ``durnel.snapshot`` and the durnel command find it, by its name, by a URL's
scheme or by an object it made.

durnel's own engines (in-process, SQLite, Redis) are registered here. Another engine joins
the same way: ``register(Engine(...))`` from its own code, or an entry point of its
distribution in the group ``durnel.engines`` whose object is its ``Engine``:

    [project.entry-points."durnel.engines"]
    memory = "durnel_memory:ENGINE"

Entry points are loaded the first time a look-up finds no engine among those registered, or
when every engine is listed; one that fails to load is skipped with a RuntimeWarning.

An Engine names what it needs as references, ``"module:attribute"`` strings (or the objects
themselves), imported only when first used, so ``import durnel`` loads no engine and no
client library. What the references must be:

- ``open(url, namespace)``: the object ``durnel.connect(url, namespace=...)`` returns, with the
  nine methods of ``durnel.Coordination``, the waits of ``durnel.WaitingCoordination`` if
  ``waits``, and ``close()``, ``with`` (``durnel.lifecycle``). ``url`` is None for the engine
  that ``connect()`` without a URL gives, the in-process one;
- ``open_async(url, namespace)``: the object ``durnel.aio.connect`` returns, with the same as
  coroutines, ``aclose()``, ``async with``; None when the engine has no asyncio client;
- ``view(state)``: the asyncio view ``durnel.aio.view`` gives of an object of ``open``, with
  which it shares its state; None when it has none;
- ``reader``: what ``durnel.snapshot`` reads the engine's objects with (None: it cannot): an
  object, a module say, with ``read_snapshot(state, log_tail) -> Snapshot``,
  ``read_log(state, after, block) -> tuple of LogEvent`` (the events after the number
  ``after``, None: from the first, waiting up to ``block`` seconds for one), ``UNREACHABLE``
  (the exception classes that mean the storage cannot be reached) and, if ``namespaces``,
  ``read_namespaces(state) -> tuple of NamespaceView`` (see ``durnel.snapshots``);
- ``open_for_reading(url, namespace)``: the object to read a group at a URL with (what
  ``durnel show`` reads), when it must differ from ``open``'s (SQLite's never makes a file);
- ``classes``: the classes of the objects that ``view`` and ``reader`` take (their subclasses
  too): how an object is traced back to its engine.

And what it supports: ``waits`` (its objects have the three waits), ``reachable`` (other
processes reach its groups by URL: the durnel command reads them) and ``namespaces`` (its
reader lists the namespaces of a file or server).
"""

import importlib
import sys
import warnings
from dataclasses import dataclass
from typing import Any, Optional, Union
from urllib.parse import urlsplit

from .urls import redacted

__all__ = [
    "ENTRY_POINT_GROUP",
    "Engine",
    "engines",
    "for_object",
    "for_url",
    "named",
    "register",
]

ENTRY_POINT_GROUP = "durnel.engines"

# "module:attribute" (attribute may be dotted), or the object itself
Reference = Any


@dataclass(frozen=True)
class Engine:
    """One engine, as the registry knows it (see the module's docstring)."""

    name: str
    schemes: tuple[str, ...] = ()
    open: Reference = None
    open_async: Reference = None
    view: Reference = None
    reader: Reference = None
    open_for_reading: Reference = None
    classes: tuple[Reference, ...] = ()
    waits: bool = True
    reachable: bool = False
    namespaces: bool = False

    def __post_init__(self):
        if not isinstance(self.name, str) or not self.name:
            raise ValueError("an engine's name must be a non-empty str, not %r" % (self.name,))
        if isinstance(self.schemes, str) or not all(
            isinstance(s, str) and s == s.lower() and s for s in self.schemes
        ):
            raise ValueError(
                "an engine's schemes must be a tuple of lowercase strs, not %r" % (self.schemes,)
            )
        if self.open is None:
            raise ValueError("engine %r has no opener (open)" % self.name)

    def load(self, reference: Reference) -> Any:
        """The object a reference of this engine stands for (imported when first asked); None
        for None. Raises what importing the engine raises (MissingDependencyError, say)."""
        if not isinstance(reference, str):
            return reference
        found = _loaded.get(reference)
        if found is None:
            module, _, attribute = reference.partition(":")
            found = importlib.import_module(module)
            for part in filter(None, attribute.split(".")):
                found = getattr(found, part)
            _loaded[reference] = found
        return found

    def connect(self, url: Optional[str], namespace: str) -> Any:
        """``open(url, namespace)``."""
        return self.load(self.open)(url, namespace)

    def connect_async(self, url: Optional[str], namespace: str) -> Any:
        """``open_async(url, namespace)``; ValueError when the engine has no asyncio client."""
        if self.open_async is None:
            raise ValueError(
                "the %s engine has no asyncio client; run its calls in a thread "
                "(asyncio.to_thread)" % self.name
            )
        return self.load(self.open_async)(url, namespace)

    def connect_for_reading(self, url: str, namespace: str) -> Any:
        """``open_for_reading(url, namespace)``, else ``open(url, namespace)``."""
        return self.load(self.open_for_reading or self.open)(url, namespace)

    def snapshot_reader(self) -> Any:
        """The engine's reader; TypeError when it has none."""
        if self.reader is None:
            raise TypeError("the %s engine has no snapshot reader" % self.name)
        return self.load(self.reader)

    def made(self, state: Any) -> bool:
        """Whether ``state`` is an object of one of the engine's classes (a class whose
        module was never imported has no objects: it is not imported here)."""
        for reference in self.classes:
            if isinstance(reference, str):
                if reference.partition(":")[0] not in sys.modules:
                    continue
                reference = self.load(reference)
            if isinstance(state, reference):
                return True
        return False


_loaded: dict[str, Any] = {}  # reference -> what it stands for
_BY_NAME: dict[str, Engine] = {}
_BY_SCHEME: dict[str, Engine] = {}
_entry_points_loaded = False


def register(engine: Engine) -> Engine:
    """Adds ``engine`` to the registry and returns it. Registering the same engine again does
    nothing; ValueError when another engine has its name or one of its schemes."""
    if not isinstance(engine, Engine):
        raise TypeError("register takes an Engine, not %s" % type(engine).__qualname__)
    known = _BY_NAME.get(engine.name)
    if known == engine:
        return known
    if known is not None:
        raise ValueError("another engine is registered as %r" % engine.name)
    for scheme in engine.schemes:
        if scheme in _BY_SCHEME:
            raise ValueError(
                "the %s engine serves %s:// already" % (_BY_SCHEME[scheme].name, scheme)
            )
    _BY_NAME[engine.name] = engine
    for scheme in engine.schemes:
        _BY_SCHEME[scheme] = engine
    return engine


def _load_entry_points() -> bool:
    """Registers the engines of the group's entry points, once; whether this was the first
    time."""
    global _entry_points_loaded
    if _entry_points_loaded:
        return False
    _entry_points_loaded = True
    from importlib import metadata

    if sys.version_info >= (3, 10):
        points = metadata.entry_points(group=ENTRY_POINT_GROUP)
    else:  # a dict of every group
        points = metadata.entry_points().get(ENTRY_POINT_GROUP, ())
    for point in points:
        try:
            register(point.load())
        except Exception as error:
            warnings.warn(
                "durnel: the engine of entry point %r (%s) could not be registered: %s"
                % (point.name, point.value, error),
                RuntimeWarning,
                stacklevel=3,
            )
    return True


def engines() -> tuple[Engine, ...]:
    """Every engine, in the order they were registered (entry points' last)."""
    _load_entry_points()
    return tuple(_BY_NAME.values())


def named(name: str) -> Engine:
    """The engine registered as ``name``; ValueError if there is none."""
    engine = _BY_NAME.get(name)
    if engine is None and _load_entry_points():
        engine = _BY_NAME.get(name)
    if engine is None:
        raise ValueError("no engine is registered as %r" % (name,))
    return engine


def for_url(url: Optional[str]) -> Engine:
    """The engine that serves ``url``'s scheme; for None, the in-process engine, which
    ``durnel.connect()`` without a URL gives. TypeError for a URL that is neither None nor a
    str, ValueError for one that cannot be parsed or whose scheme no engine serves."""
    if url is None:
        return _BY_NAME["inprocess"]
    if not isinstance(url, str):
        raise TypeError("url must be a str or None, not %s" % type(url).__qualname__)
    try:
        scheme = urlsplit(url).scheme
    except ValueError as error:
        raise ValueError(
            "cannot parse the coordination URL %r: %s" % (redacted(url), error)
        ) from None
    engine = _BY_SCHEME.get(scheme)
    if engine is None and _load_entry_points():
        engine = _BY_SCHEME.get(scheme)
    if engine is None:
        raise ValueError(
            "unsupported coordination URL %r: the scheme must be one of %s"
            % (redacted(url), ", ".join(s + "://" for s in _BY_SCHEME))
        )
    return engine


def for_object(state: Any) -> Optional[Engine]:
    """The engine that made ``state`` (by ``classes``), or None."""
    for engine in _BY_NAME.values():
        if engine.made(state):
            return engine
    if _load_entry_points():
        return for_object(state)
    return None


def _own(
    name: str,
    schemes: tuple[str, ...],
    package: str,
    classes: tuple[str, ...],
    *,
    reachable: bool,
    namespaces: bool,
    view: Union[str, None],
    open_for_reading: Union[str, None] = None,
) -> Engine:
    """One of durnel's engines, laid out as the package ``package``: its openers in the
    package, its asyncio object in ``aio``, its reader in ``snapshot_reader``."""
    return register(
        Engine(
            name=name,
            schemes=schemes,
            open=package + ":open_url",
            open_async=package + ":open_async_url",
            view=view,
            reader=package + ".snapshot_reader",
            open_for_reading=open_for_reading,
            classes=classes,
            reachable=reachable,
            namespaces=namespaces,
        )
    )


_own(
    "inprocess",
    (),
    "durnel.inprocess",
    (
        "durnel_core:CoordinationState",
        "durnel.inprocess.engine:InProcessCoordinationState",
        "durnel.inprocess.aio:AsyncInProcessCoordinationState",
    ),
    reachable=False,
    namespaces=False,
    view="durnel.inprocess.aio:view",
)
_own(
    "sqlite",
    ("sqlite",),
    "durnel.sqlite",
    ("durnel.sqlite.engine:SQLiteCoordinationState",),
    reachable=True,
    namespaces=True,
    view="durnel.sqlite.aio:view",
    open_for_reading="durnel.sqlite.snapshot_reader:open_url",
)
_own(
    "redis",
    ("redis", "rediss", "unix"),
    "durnel.redis",
    ("durnel.redis.engine:RedisCoordinationState",),
    reachable=True,
    namespaces=True,
    view=None,  # its asyncio twin needs a client of its own (redis.asyncio)
    open_for_reading="durnel.redis.snapshot_reader:open_url",
)
