"""Shared fixtures: a fresh coordination object of each engine, the same under a frozen wall
clock, real redis-servers, and a runner for snippets that need an interpreter of their own.

Engines. A test module that holds the contract of every engine is marked ``pytestmark =
pytest.mark.every_engine``; its tests that take ``state`` or ``clocked`` then run once per
engine of ALL_ENGINES: "native" (the in-process durnel_core.CoordinationState), "inprocess" (the
object durnel.connect() returns for it, which adds waits), "aio" (the asyncio object of
durnel.aio.connect(), driven through SyncOverAsync), "redis"
(durnel.redis.RedisCoordinationState on one redis-server), "cluster" (the same on a
three-primary Redis Cluster), "aio-redis" and "aio-cluster" (their asyncio twins, through
SyncOverAsync, an object per thread and event loop), "sqlite"
(durnel.sqlite.SQLiteCoordinationState on one file for the whole run; its faked-clock object
runs in a child interpreter, as the native one does) and "aio-sqlite" (the asyncio object of
durnel.aio.connect("sqlite:///..."), driven through SyncOverAsync). Modules marked ``waits``
run on WAITING_ENGINES, those whose objects have the waits. A new engine joins them by an
entry in ALL_ENGINES and in the ``state`` and ``clocked`` fixtures. Every other module, and
every test marked ``native_only``, runs against the native engine alone; ``redis_only`` keeps
a test of a contract module to the Redis engines, ``sqlite_only`` to the SQLite one,
``snapshots`` to the objects that ``durnel.snapshot`` reads (the in-process ones, and the
synchronous objects of the other engines), and ``reachable_only`` to the synchronous engines
that other processes reach (what the durnel command reads). Each Redis or SQLite
test gets a namespace of its own on servers shared by the whole run. Without redis-server or
redis-py the Redis variants are skipped, except under CI=true, where they fail.
DURNEL_ENGINES=native (a comma-separated list) limits a run to those engines, for runs about
the native module alone (the portable core, the sanitizers, another architecture).
"""

import asyncio
import os
import subprocess
import sys
import threading
import uuid

import pytest

import durnel
import durnel.aio
import durnel_core
from faketime_helpers import ClockedState, RedisClocked, find_libfaketime, set_clock

MODULE_DIR = os.path.dirname(os.path.abspath(durnel_core.__file__))
ALL_ENGINES = (
    "native",
    "inprocess",
    "aio",
    "redis",
    "cluster",
    "aio-redis",
    "aio-cluster",
    "sqlite",
    "aio-sqlite",
)
# Engines whose objects also wait (the native object alone has only the nine methods), and
# engines whose clock a test can move.
WAITING_ENGINES = (
    "inprocess",
    "aio",
    "redis",
    "cluster",
    "aio-redis",
    "aio-cluster",
    "sqlite",
    "aio-sqlite",
)
REDIS_ENGINES = ("redis", "cluster", "aio-redis", "aio-cluster")
CLOCKED_ENGINES = ("native", "redis", "sqlite")
# The synchronous objects of the engines that other processes reach (what the durnel command
# reads), and with the in-process objects, what durnel.snapshot reads.
REACHABLE_ENGINES = ("redis", "cluster", "sqlite")
SNAPSHOT_ENGINES = ("native", "inprocess", "aio") + REACHABLE_ENGINES
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
    engines = ("native",)
    if metafunc.definition.get_closest_marker("every_engine"):
        engines = ALL_ENGINES
    if metafunc.definition.get_closest_marker("waits"):
        engines = WAITING_ENGINES
    if metafunc.definition.get_closest_marker("native_only"):
        engines = ("native",)
    only = metafunc.definition.get_closest_marker("engines")
    if only:
        engines = tuple(e for e in engines if e in only.args)
    if metafunc.definition.get_closest_marker("redis_only"):
        engines = tuple(e for e in engines if e in REDIS_ENGINES)
    if metafunc.definition.get_closest_marker("sqlite_only"):
        engines = tuple(e for e in engines if e == "sqlite")
    if metafunc.definition.get_closest_marker("snapshots"):
        engines = tuple(e for e in engines if e in SNAPSHOT_ENGINES)
    if metafunc.definition.get_closest_marker("reachable_only"):
        engines = tuple(e for e in engines if e in REACHABLE_ENGINES)
    if "clocked" in metafunc.fixturenames:
        engines = tuple(e for e in engines if e in CLOCKED_ENGINES)
    metafunc.parametrize("engine", [e for e in engines if e in SELECTED_ENGINES])


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
    in-process view, bound to no loop), or a function that makes one per thread and loop (a
    redis.asyncio client belongs to one loop); ``.target`` is the calling thread's."""

    def __init__(self, target):
        self._make = target if callable(target) and not hasattr(target, "status") else None
        self._shared = None if self._make else target
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
            if hasattr(target, "aclose"):
                loop.run_until_complete(target.aclose())
                if not target._owns_client:
                    loop.run_until_complete(target._client.aclose())
            loop.close()
        getattr(self.target, "close", lambda: None)()


@pytest.fixture(scope="session")
def sqlite_file(tmp_path_factory):
    """The durnel file that the SQLite tests of the run share, a namespace each."""
    return str(tmp_path_factory.mktemp("sqlite") / "state.db")


@pytest.fixture
def state(engine, request):
    """A fresh, empty coordination object of the engine under test."""
    if engine == "native":
        return durnel_core.CoordinationState()
    if engine == "inprocess":
        return durnel.connect()
    if engine == "aio":
        adapter = SyncOverAsync(durnel.aio.connect())
        request.addfinalizer(adapter.close)
        return adapter
    if engine == "sqlite":
        from durnel.sqlite import SQLiteCoordinationState

        return SQLiteCoordinationState(request.getfixturevalue("sqlite_file"), new_namespace())
    if engine == "aio-sqlite":
        url = "sqlite:///" + request.getfixturevalue("sqlite_file")
        adapter = SyncOverAsync(durnel.aio.connect(url, namespace=new_namespace()))
        request.addfinalizer(adapter.close)
        return adapter
    if engine.startswith("aio-"):
        adapter = SyncOverAsync(async_redis_factory(engine, request, new_namespace()))
        request.addfinalizer(adapter.close)
        return adapter
    from durnel.redis import RedisCoordinationState

    client = request.getfixturevalue("redis_client" if engine == "redis" else "cluster_client")
    return RedisCoordinationState(client, new_namespace())


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
        return AsyncRedisCoordinationState(client, namespace, **options)

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
