"""Shared fixtures: a fresh coordination object of each engine, the same under a frozen wall
clock, real redis-servers, and a runner for snippets that need an interpreter of their own.

Engines. The suites take their engines from the registry (durnel.engines): an engine joins
them by being registered, as the dict engine of plugins/ does through an entry point once
that directory is on sys.path. Each engine gives the variants of ``VARIANTS``: its
synchronous object, named as the engine ("inprocess", "sqlite", "redis", "dict"), from
durnel.connect(url), and its asyncio object ("aio-<engine>") from durnel.aio.connect(url),
driven through SyncOverAsync. The URL is the engine's place in this run (PLACES: a SQLite file
for the whole run, one redis-server; any other engine's first scheme alone, "dict://").
EXTRA adds "native" (durnel_core.CoordinationState itself), "cluster" and "aio-cluster" (Redis
on a three-primary Cluster). What a variant supports comes from its engine unless EXTRA says
otherwise.

A module marked ``pytestmark = pytest.mark.every_engine`` runs its tests that take ``state`` or
``clocked`` once per variant; ``waits`` on the variants whose objects wait. Every other module,
and every test marked ``native_only``, runs against the native object alone; ``redis_only``
keeps a test to the Redis variants, ``sqlite_only`` to the synchronous SQLite one,
``snapshots`` to the objects ``durnel.snapshot`` reads, ``reachable_only`` to the synchronous
objects of the engines other processes reach (what the durnel command reads); ``clocked``
runs on CLOCKED_ENGINES, whose clock a test can move. Each Redis or SQLite test gets a
namespace of its own on servers shared by the run, and every object ``state`` makes is closed
after its test. Without redis-server or redis-py the Redis variants are skipped, except under
CI=true, where they fail. DURNEL_ENGINES=native (variants, comma-separated) limits a run to
those, for runs about the native module alone (the portable core, the sanitizers, aarch64).
"""

import asyncio
import os
import subprocess
import sys
import threading
import uuid
from typing import Callable, NamedTuple

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "plugins"))  # the dict engine's distribution

import durnel  # noqa: E402
import durnel.aio  # noqa: E402
import durnel.engines  # noqa: E402
import durnel_core  # noqa: E402
from faketime_helpers import ClockedState, RedisClocked, find_libfaketime, set_clock  # noqa: E402

MODULE_DIR = os.path.dirname(os.path.abspath(durnel_core.__file__))


class Variant(NamedTuple):
    """One way the suites run an engine: ``make(request, namespace)`` gives the object under
    test (an asyncio one wrapped in SyncOverAsync), closed after the test by ``close``."""

    name: str
    engine: str
    asynchronous: bool
    waits: bool
    snapshots: bool
    reachable: bool
    make: Callable


def _new_native(request, namespace):
    return durnel_core.CoordinationState()


def _new_cluster(request, namespace):
    from durnel.redis import RedisCoordinationState

    return RedisCoordinationState(request.getfixturevalue("cluster_client"), namespace)


def _new_async_cluster(request, namespace):
    return SyncOverAsync(async_redis_factory("aio-cluster", request, namespace), per_loop=True)


# Where each of durnel's own engines keeps a group in this run: its URL, or None.
PLACES = {
    "inprocess": lambda request: None,
    "sqlite": lambda request: "sqlite:///" + request.getfixturevalue("sqlite_file"),
    "redis": lambda request: request.getfixturevalue("redis_server").url,
}
# Engines whose asyncio objects belong to the event loop that first uses them (one per
# thread; every other asyncio object is shared by the test's threads), and those whose
# asyncio objects durnel.snapshot reads too.
PER_LOOP, ASYNC_SNAPSHOTS = ("redis",), ("inprocess",)
EXTRA = {
    "inprocess": [Variant("native", "inprocess", False, False, True, False, _new_native)],
    "redis": [
        Variant("cluster", "redis", False, True, True, True, _new_cluster),
        Variant("aio-cluster", "redis", True, True, False, False, _new_async_cluster),
    ],
}
# Variants whose clock a test can move (the ``clocked`` fixture).
CLOCKED_ENGINES = ("native", "redis", "sqlite")


def _place(engine, request):
    place = PLACES.get(engine.name)
    if place is None:
        return engine.schemes[0] + "://"
    return place(request)


def engine_variants(engine):
    """The variants of a registered engine."""

    def new_sync(request, namespace):
        return durnel.connect(_place(engine, request), namespace=namespace)

    def new_async(request, namespace):
        url = _place(engine, request)
        if engine.name in PER_LOOP:
            return SyncOverAsync(lambda: durnel.aio.connect(url, namespace=namespace), True)
        return SyncOverAsync(durnel.aio.connect(url, namespace=namespace))

    name, readable = engine.name, engine.reader is not None
    found = [Variant(name, name, False, engine.waits, readable, engine.reachable, new_sync)]
    if engine.open_async is not None:
        snapshots = readable and name in ASYNC_SNAPSHOTS
        found.append(Variant("aio-" + name, name, True, engine.waits, snapshots, False, new_async))
    return found + EXTRA.get(name, [])


VARIANTS = {v.name: v for e in durnel.engines.engines() for v in engine_variants(e)}
ALL_ENGINES = tuple(VARIANTS)
SELECTED_ENGINES = tuple(os.environ.get("DURNEL_ENGINES", ",".join(ALL_ENGINES)).split(","))


def pytest_configure(config):
    config.addinivalue_line("markers", "every_engine: the module's tests run on every engine")
    config.addinivalue_line("markers", "waits: the module's tests run on every engine that waits")
    config.addinivalue_line("markers", "native_only: runs against the in-process engine only")
    config.addinivalue_line("markers", "engines(*names): runs on those of the module's engines")
    config.addinivalue_line("markers", "redis_only: runs against the Redis engines only")
    config.addinivalue_line("markers", "sqlite_only: runs against the SQLite engine only")
    config.addinivalue_line(
        "markers",
        "reachable_only: runs against the synchronous objects of the engines other processes reach",
    )
    config.addinivalue_line("markers", "snapshots: runs against the objects durnel.snapshot reads")


def pytest_generate_tests(metafunc):
    if "engine" not in metafunc.fixturenames:
        return
    marked = metafunc.definition.get_closest_marker
    variants = [VARIANTS["native"]]
    if marked("every_engine"):
        variants = list(VARIANTS.values())
    if marked("waits"):
        variants = [v for v in VARIANTS.values() if v.waits]
    if marked("native_only"):
        variants = [VARIANTS["native"]]
    only = marked("engines")
    if only:
        variants = [v for v in variants if v.name in only.args]
    if marked("redis_only"):
        variants = [v for v in variants if v.engine == "redis"]
    if marked("sqlite_only"):
        variants = [v for v in variants if v.name == "sqlite"]
    if marked("snapshots"):
        variants = [v for v in variants if v.snapshots]
    if marked("reachable_only"):
        variants = [v for v in variants if v.reachable]
    if "clocked" in metafunc.fixturenames:
        variants = [v for v in variants if v.name in CLOCKED_ENGINES]
    metafunc.parametrize("engine", [v.name for v in variants if v.name in SELECTED_ENGINES])


# For the modules and tests about the SQLite engine alone (test_sqlite, and its load and
# model runs), which DURNEL_ENGINES can leave out like the Redis ones.
sqlite_selected = pytest.mark.skipif(
    "sqlite" not in SELECTED_ENGINES, reason="DURNEL_ENGINES leaves the SQLite engine out"
)


def redis_or_skip():
    """redis-py, or a skip (a failure under CI=true, where it must be there, unless the run
    leaves the Redis engine out on purpose)."""
    if "redis" not in SELECTED_ENGINES:
        pytest.skip("DURNEL_ENGINES leaves the Redis engine out of this run")
    try:
        import redis

        from redis_servers import redis_server_binary
    except ImportError as error:
        missing = "redis-py is not installed: %s" % error
    else:
        if redis_server_binary() is not None:
            return redis
        missing = "redis-server is not installed"
    if os.environ.get("CI") == "true":
        pytest.fail(missing)
    pytest.skip(missing)


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    redis_or_skip()
    from redis_servers import RedisServer

    server = RedisServer(tmp_path_factory.mktemp("redis"))
    yield server
    server.stop()


@pytest.fixture(scope="session")
def redis_cluster(tmp_path_factory):
    redis_or_skip()
    from redis_servers import RedisCluster

    cluster = RedisCluster(tmp_path_factory.mktemp("cluster"))
    yield cluster
    cluster.stop()


@pytest.fixture(scope="session")
def redis_client(redis_server):
    import redis

    client = redis.Redis(port=redis_server.port)
    yield client
    client.close()


@pytest.fixture(scope="session")
def cluster_client(redis_cluster):
    from redis.cluster import RedisCluster

    client = RedisCluster(host="127.0.0.1", port=redis_cluster.port)
    yield client
    client.close()


def new_namespace():
    return "test-" + uuid.uuid4().hex


async def _inside_loop(make):
    return make()


class SyncOverAsync:
    """An asyncio coordination object driven by the synchronous tests: each call runs its
    coroutine to the end on an event loop of the calling thread's own, so the contract suites
    run unchanged against the asyncio client. ``target`` is one object for every thread (the
    in-process view, bound to no loop), or with ``per_loop`` a function that makes one per
    thread and loop (a redis.asyncio client belongs to one loop); ``.target`` is the calling
    thread's. ``close()`` closes every one, each in its own loop."""

    def __init__(self, target, per_loop=False):
        self._make = target if per_loop else None
        self._shared = None if per_loop else target
        self._loops = threading.local()
        self._all = []  # (loop, target)

    def _mine(self):
        mine = getattr(self._loops, "mine", None)
        if mine is None:
            loop = asyncio.new_event_loop()
            # made inside its loop, as an asyncio program makes it (before 3.10 a redis.asyncio
            # pool asks for the thread's current loop when it is made)
            made = self._shared or loop.run_until_complete(_inside_loop(self._make))
            mine = self._loops.mine = (loop, made)
            self._all.append(mine)
        return mine

    def loop(self):
        return self._mine()[0]

    @property
    def target(self):
        return self._mine()[1]

    def __getattr__(self, name):
        def call(*args, **kwargs):
            loop, target = self._mine()
            return loop.run_until_complete(getattr(target, name)(*args, **kwargs))

        return call

    def close(self):
        for loop, target in self._all:
            loop.run_until_complete(target.aclose())
            loop.close()
        if self._shared is not None and not self._all:  # never used: closed in a loop of its own
            asyncio.run(self._shared.aclose())


@pytest.fixture(scope="session")
def sqlite_file(tmp_path_factory):
    """The durnel file that the SQLite tests of the run share, a namespace each."""
    return str(tmp_path_factory.mktemp("sqlite") / "state.db")


@pytest.fixture
def state(engine, request):
    """A fresh, empty coordination object of the engine under test, closed after the test."""
    made = VARIANTS[engine].make(request, new_namespace())
    if isinstance(made, durnel_core.CoordinationState):  # the native object: nothing to close
        return made
    request.addfinalizer(made.close)
    return made


def async_redis_factory(engine, request, namespace, url=None, **options):
    """A function that makes an asyncio Redis object of ``namespace`` with a client of its own
    (redis.asyncio clients belong to one event loop), on the run's server or cluster (or at
    ``url``), with the engine's ``options``."""
    redis_or_skip()
    import redis.asyncio

    from durnel.redis import AsyncRedisCoordinationState

    if engine == "aio-redis":
        url = url or request.getfixturevalue("redis_server").url
        return lambda: AsyncRedisCoordinationState(url, namespace, **options)
    port = request.getfixturevalue("redis_cluster").port

    def make():
        client = redis.asyncio.cluster.RedisCluster(host="127.0.0.1", port=port)
        return AsyncRedisCoordinationState(client, namespace, close_client=True, **options)

    return make


@pytest.fixture(scope="session")
def clocked_redis_server(tmp_path_factory):
    redis_or_skip()
    libfaketime = find_libfaketime()
    if libfaketime is None:
        pytest.skip("libfaketime is not installed")
    from redis_servers import RedisServer

    workdir = tmp_path_factory.mktemp("clocked-redis")
    clock_file = workdir / "faketime-stamp"
    set_clock(clock_file, 1000)
    server = RedisServer(workdir / "data", clock_file=clock_file, libfaketime=libfaketime)
    yield server
    server.stop()


@pytest.fixture
def clocked(engine, tmp_path, request):
    """A coordination object whose clock stands at second 1000 until moved with .at(): for the
    native and SQLite engines in a child interpreter under libfaketime, for Redis on a server
    under it."""
    if engine in ("redis", "cluster"):
        import redis

        server = request.getfixturevalue("clocked_redis_server")
        client = redis.Redis(port=server.port)
        clock = RedisClocked(client, server.clock_file, new_namespace())
        try:
            if clock.at(1000) != 1000.0:
                pytest.skip("libfaketime does not freeze the clock of redis-server")
            yield clock
        finally:
            clock.at(1000)
            client.close()
        return
    libfaketime = find_libfaketime()
    if libfaketime is None:
        pytest.skip("libfaketime is not installed")
    sqlite_file = str(tmp_path / "state.db") if engine == "sqlite" else None
    child = ClockedState(libfaketime, str(tmp_path), sqlite_file=sqlite_file)
    try:
        if child.at(1000) != 1000.0:
            pytest.skip("libfaketime does not freeze the clock of this interpreter")
        yield child
    finally:
        child.close()


def _run_python(code, timeout=60):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter that can import durnel_core; returns the
    CompletedProcess with text stdout and stderr."""
    return _run_python
