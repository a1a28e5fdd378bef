"""The engines a chaos run drives. For each: how the runner sets it up (servers, files) and
what it must find afterwards, how a process of the workload opens and closes its objects,
which exceptions the documentation gives which outcome, what the documentation allows the
checker (a lost drain's batch coming back after the visibility timeout, a reader killed
mid-drain taking its batch with it), and which of the runner's nemeses apply.

A new engine joins with a class here, an entry in ENGINES and, if it has faults of its own,
nemeses in nemeses.py; the workload, the history and the checker stay as they are.

An instance is made on both sides from ``env``, the JSON-able description that ``setup``
returns: the runner also keeps the servers and proxies it started; a process of the
workload only opens objects.
"""

import os
import sqlite3
import time
import uuid

__all__ = ["ENGINES", "REFUSAL_TEXTS"]

# The contract's refusals (durnel.contract): a RuntimeError with one of these changed nothing.
REFUSAL_TEXTS = (
    "already holds claim on",
    "to renew",
    "cannot renew a claim held by",
    "no claim found for",
    "cannot release a claim held by",
)
# What a Redis object is opened with: lost drains come back within seconds, a reply lost or
# held back is retried within one, and the retries span more than the visibility timeout.
REDIS_OPTIONS = {"visibility_timeout": 3, "retries": 8}
SOCKET_TIMEOUT = 2.0
# every acknowledged write survives a SIGKILL; a replica starts its resync at once
DURABLE = ("--appendfsync", "always", "--repl-diskless-sync-delay", "0")
WAL_PEAK_BOUND = 64 << 20  # bytes the SQLite -wal may reach under load
WAL_IDLE_BOUND = 4 << 20  # and what it must shrink to within seconds once traffic stops


def contract_refusal(error):
    return type(error) is RuntimeError and any(t in str(error) for t in REFUSAL_TEXTS)


class Engine:
    """What the workload, the runner and the checker need to know of one engine."""

    name = None
    shared = True  # every process sees one state (else each process is a state of its own)
    visibility = None  # seconds after which a batch of a lost drain is takeable again
    killed_drain_loses = False  # a reader killed mid-drain may take its batch with it
    server_clock = False  # stamps are a server's clock, which the clock nemesis moves
    async_after_fork = True  # a forked child may use its parent's asyncio object
    temporary_sync = True  # a sync object can be made for one call and dropped
    slots = ({"kind": "mixed"}, {"kind": "mixed"}, {"kind": "mixed"})
    nemeses = ("kill", "pause")
    wait_bound = 5.0  # seconds a wait may take once what it waits for is available
    look_bound = 6.0  # seconds one look of a wait may take (a drain, retried or kept busy)
    # descriptors a process keeps for its life once it has used the engine (not left behind
    # by an object): allowed once each in a process counted without a warm-up
    kept_by_the_process = ()

    def __init__(self, env):
        self.env = env

    @classmethod
    def setup(cls, workdir):
        """The runner's engine: servers started, files made; ``.env`` for the processes."""
        return cls({"namespace": "chaos-" + uuid.uuid4().hex[:8], "workdir": workdir})

    def teardown(self):
        pass

    def leftovers(self):
        """What the run left behind, as texts (none wanted), with every process gone."""
        return []

    def outcome(self, error):
        """'refused' (changed nothing), 'unknown' (may have taken effect), 'cancelled', or
        None for an exception that the documentation does not give."""
        import asyncio

        if contract_refusal(error):
            return "refused"
        if isinstance(error, asyncio.CancelledError):
            return "cancelled"
        return None

    def close(self, state):
        state.close()

    async def aclose(self, state):
        await state.aclose()

    async def close_clients(self):
        """Closes the clients this process made for its objects, if the engine takes any."""


class InProcess(Engine):
    """durnel.connect() without a URL: each process is a state of its own, shared by its
    threads and, through durnel.aio.view, its tasks."""

    name = "inprocess"
    shared = False
    temporary_sync = False
    slots = ({"kind": "mixed"}, {"kind": "clock"})
    nemeses = ("pause", "clock")

    def open(self, profile):
        import durnel

        return durnel.connect()

    async def open_async(self, state, profile):
        import durnel.aio

        return durnel.aio.view(state)


class SQLite(Engine):
    """One file shared by every process; one process reaches it through a symlink."""

    name = "sqlite"
    killed_drain_loses = (
        True  # "a process that dies before it reads the result takes those messages with it"
    )
    slots = (
        {"kind": "mixed"},
        {"kind": "mixed", "symlink": True},
        {"kind": "mixed"},
        {"kind": "clock"},
    )
    nemeses = ("kill", "pause", "clock", "wake_dir", "file_size", "burst")
    # the one datagram socket a process sends its wake-ups through, made at its first
    # wake-up (a thread-free clocked process has no warm-up that wakes anybody)
    kept_by_the_process = ("socket",)

    @classmethod
    def setup(cls, workdir):
        engine = super().setup(workdir)
        path = os.path.join(workdir, "state.db")
        link_dir = os.path.join(workdir, "elsewhere")
        os.makedirs(link_dir)
        os.symlink(path, os.path.join(link_dir, "linked.db"))
        engine.env.update(path=path, link=os.path.join(link_dir, "linked.db"))
        return engine

    def _path(self, profile):
        return self.env["link"] if profile.get("symlink") else self.env["path"]

    def open(self, profile):
        from durnel.sqlite import SQLiteCoordinationState

        return SQLiteCoordinationState(self._path(profile), self.env["namespace"])

    async def open_async(self, state, profile):
        import durnel.aio

        return durnel.aio.connect(
            "sqlite:///" + self._path(profile), namespace=self.env["namespace"]
        )

    def outcome(self, error):
        from durnel.sqlite import BusyError, ForeignDataError, StorageError

        if isinstance(error, (BusyError, StorageError, ForeignDataError)):
            return "refused"
        if type(error) in (OSError, FileNotFoundError):  # a wait that cannot make its socket
            return "refused"
        return super().outcome(error)

    def wal_size(self):
        try:
            return os.path.getsize(self.env["path"] + "-wal")
        except OSError:
            return 0

    def leftovers(self):
        found = []
        with sqlite3.connect(self.env["path"]) as db:
            for table in ("waiters", "messages"):
                (rows,) = db.execute("SELECT count(*) FROM %s" % table).fetchone()
                if rows:
                    found.append("%d rows in %s" % (rows, table))
        db.close()
        for path in (self.env["path"], self.env["link"]):
            wake = path + "-wake"
            names = os.listdir(wake) if os.path.isdir(wake) else []
            if names:
                found.append("%d socket files in %s" % (len(names), wake))
        return found


class Redis(Engine):
    """A primary with the append-only file and a replica, behind a loopback proxy of ours
    (resp_proxy.py) that the failover points at the new primary; objects with replicas=1."""

    name = "redis"
    visibility = REDIS_OPTIONS["visibility_timeout"]
    server_clock = True
    async_after_fork = False  # a redis.asyncio client belongs to its event loop
    nemeses = (
        "kill",
        "pause",
        "clock",
        "lose_reply",
        "lose_replies_past_timeout",
        "lose_replies_past_retries",
        "delay_request",
        "duplicate_request",
        "silence_pubsub",
        "restart",
        "restart_without_aof",
        "failover",
    )
    replicas = 1
    # The longest that docs/engines/redis.md lets a wait sleep through what it waits for: a
    # listener gone silent while idle is replaced within 16 s (hub.py: HEALTH_SECONDS +
    # ANSWER_SECONDS + TICK_SECONDS), then every waiter looks; a paused head of a claim queue
    # loses its turn within 7 s (TURN_GRACE + CHECK_SECONDS); a lost batch is taken within
    # RETURN_MARGIN of its visibility timeout. And a second for the look itself.
    wait_bound = 16.0 + 1.0

    @classmethod
    def setup(cls, workdir):
        from faketime_helpers import find_libfaketime
        from redis_servers import RedisServer
        from resp_proxy import RespProxy

        engine = super().setup(workdir)
        libfaketime = find_libfaketime()
        clock_file = os.path.join(workdir, "server-clock")
        with open(clock_file, "w") as handle:
            handle.write("+0\n")
        clocked = {"clock_file": clock_file, "libfaketime": libfaketime} if libfaketime else {}
        durable = list(DURABLE)
        engine.primary = RedisServer(
            os.path.join(workdir, "a"), appendonly=True, extra=durable, **clocked
        )
        replica_of = ["--replicaof", "127.0.0.1", str(engine.primary.port)]
        engine.replica = RedisServer(
            os.path.join(workdir, "b"), appendonly=True, extra=durable + replica_of, **clocked
        )
        engine.wait_for_replica()
        engine.proxy = RespProxy(engine.primary.port)
        engine.env.update(port=engine.proxy.port, clock_file=clock_file if clocked else None)
        return engine

    def admin(self, server=None):
        import redis

        return redis.Redis(port=(server or self.primary).port, socket_timeout=10)

    def wait_for_replica(self, timeout=30.0):
        deadline = time.monotonic() + timeout
        with self.admin(self.replica) as client:
            while time.monotonic() < deadline:
                info = client.info("replication")
                if (
                    info.get("master_link_status") == "up"
                    and info.get("master_sync_in_progress") == 0
                ):
                    return
                time.sleep(0.05)
        raise RuntimeError("the replica did not catch up with the primary")

    def teardown(self):
        self.proxy.close()
        for server in (self.primary, self.replica):
            server.stop()

    def _client(self, asynchronous=False):
        """What an object is opened on: a URL, so that the object owns its client as
        durnel.connect's does; its socket timeout a few seconds, not the 30 s default, so that
        a request the proxy holds back is sent again soon."""
        return "redis://127.0.0.1:%d/0?socket_timeout=%g&socket_connect_timeout=%g" % (
            self.env["port"],
            SOCKET_TIMEOUT,
            SOCKET_TIMEOUT,
        )

    def options(self):
        return dict(REDIS_OPTIONS, replicas=self.replicas, replica_timeout=0.5)

    def open(self, profile):
        from durnel.redis import RedisCoordinationState

        return RedisCoordinationState(self._client(), self.env["namespace"], **self.options())

    async def open_async(self, state, profile):
        from durnel.redis import AsyncRedisCoordinationState

        client = self._client(asynchronous=True)
        return AsyncRedisCoordinationState(client, self.env["namespace"], **self.options())

    def outcome(self, error):
        import redis.exceptions

        from durnel.redis import ForeignDataError, NotReplicatedError

        if isinstance(error, ForeignDataError):
            return "refused"
        if isinstance(
            error,
            (
                redis.exceptions.ConnectionError,
                redis.exceptions.TimeoutError,
                NotReplicatedError,
            ),
        ):
            return "unknown"
        return super().outcome(error)

    def leftovers(self):
        with self.admin() as client:
            found = leftover_keys(client, self.env["namespace"])
            clients = [c for c in client.client_list() if "S" not in c.get("flags", "")]
            for other in clients:
                if other.get("cmd") not in ("client|list", "client"):
                    found.append(
                        "a client connection still open: %s"
                        % " ".join(
                            "%s=%s" % (k, other.get(k))
                            for k in ("addr", "age", "cmd", "flags", "sub", "ssub")
                        )
                    )
        return found


def leftover_keys(client, namespace):
    """The keys of ``namespace`` beyond those documented to stay (claims, statuses, the log,
    presence, sessions until they expire)."""
    from durnel.redis import key_pattern

    prefix = "durnel:{%s}:" % namespace
    found = []
    for key in client.scan_iter(match=key_pattern(namespace), count=1000):
        name = key.decode()[len(prefix) :]
        if not name.startswith(("claims", "status", "log", "presence", "session:")):
            found.append("key %s (%s)" % (key.decode(), client.type(key).decode()))
    return found


class RedisCluster(Redis):
    """A three-primary Redis Cluster, no replicas; the namespace's slot moves while calls run."""

    name = "cluster"
    server_clock = False  # its nodes keep the real clock
    nemeses = ("kill", "pause", "slot_move")
    replicas = 0

    @classmethod
    def setup(cls, workdir):
        from redis_servers import RedisCluster as Cluster

        engine = Engine.setup.__func__(cls, workdir)
        engine.cluster = Cluster(os.path.join(workdir, "cluster"))
        engine.env.update(port=engine.cluster.port)
        return engine

    def teardown(self):
        self.cluster.stop()

    def admin(self, server=None):
        import redis.cluster

        return redis.cluster.RedisCluster(
            host="127.0.0.1", port=self.env["port"], socket_timeout=10
        )

    def _client(self, asynchronous=False):
        """A cluster client of this process's (a cluster needs one), closed by it at the end,
        whatever became of the object."""
        import redis.asyncio.cluster
        import redis.cluster

        kind = redis.asyncio.cluster.RedisCluster if asynchronous else redis.cluster.RedisCluster
        client = kind(host="127.0.0.1", port=self.env["port"], socket_timeout=SOCKET_TIMEOUT)
        self.__dict__.setdefault("clients", []).append(client)
        return client

    async def close_clients(self):
        for client in self.__dict__.pop("clients", []):
            closed = client.aclose() if hasattr(client, "aclose") else client.close()
            if closed is not None:
                await closed

    def leftovers(self):
        with self.admin() as client:
            return leftover_keys(client, self.env["namespace"])


ENGINES = {engine.name: engine for engine in (InProcess, SQLite, Redis, RedisCluster)}
