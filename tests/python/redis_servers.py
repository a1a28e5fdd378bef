"""Real redis-server processes for the tests: one on a free loopback port, a three-primary
cluster, or one whose wall clock a test moves (libfaketime preloaded into the server).

Each server lives in a directory of its own, is started and stopped by the tests, and can be
killed and started again on the same port and data (append-only file) to test recovery. A
server dies with the process that started it, however that process ends (on Linux the
kernel sends it SIGKILL when its parent dies, even by SIGKILL; elsewhere at exit).
"""

import atexit
import os
import random
import shutil
import signal
import socket
import subprocess
import time

STARTUP_TIMEOUT = 15.0
_RUNNING = []  # every server process started here; killed at exit if a test run is cut short


def _kill_leftovers():
    for process in _RUNNING:
        if process.poll() is None:
            process.kill()


atexit.register(_kill_leftovers)


def _die_with_parent(parent):
    """Returns a preexec_fn that makes the child get SIGKILL when `parent` dies (Linux's
    PR_SET_PDEATHSIG), or None where there is no such call."""
    try:
        import ctypes

        prctl = ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return None

    def arrange():
        prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        if os.getppid() != parent:  # the parent died before the call: nothing would fire
            os._exit(1)

    return arrange


def redis_server_binary():
    return shutil.which("redis-server") or next(
        (p for p in ("/usr/bin/redis-server", "/usr/sbin/redis-server") if os.path.exists(p)), None
    )


def _bindable(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def free_port():
    """A loopback port that is free, as is the one 10000 above it (a cluster node's bus)."""
    for _ in range(1000):
        port = random.randrange(20000, 50000)
        if _bindable(port) and _bindable(port + 10000):
            return port
    raise RuntimeError("no free loopback port pair found")


def tool_environment():
    """This environment without LD_PRELOAD: a sanitizer runtime preloaded into the tests is
    not meant for the servers and tools they start."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def libc_malloc_shim(directory):
    """Builds libc_malloc_shim.c (see its header) into `directory`; returns the library path."""
    library = os.path.join(str(directory), "libc_malloc_shim.so")
    if not os.path.exists(library):
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libc_malloc_shim.c")
        compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
        subprocess.run(
            [compiler, "-shared", "-fPIC", "-O2", "-o", library, source, "-ldl"],
            check=True,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            env=tool_environment(),
        )
    return library


class RedisServer:
    """One redis-server on 127.0.0.1:<port>, its files in `workdir`."""

    def __init__(
        self,
        workdir,
        *,
        appendonly=False,
        cluster=False,
        clock_file=None,
        libfaketime=None,
        extra=(),
    ):
        self.binary = redis_server_binary()
        if self.binary is None:
            raise RuntimeError("redis-server is not installed (Debian package redis-server)")
        self.workdir = str(workdir)
        os.makedirs(self.workdir, exist_ok=True)
        self.port = free_port()
        self.appendonly = appendonly
        self.cluster = cluster
        self.clock_file = clock_file
        self.libfaketime = libfaketime
        self.extra = list(extra)  # more redis-server options, e.g. ["--replicaof", host, port]
        self.process = None
        self.start()

    @property
    def url(self):
        return "redis://127.0.0.1:%d/0" % self.port

    def command(self):
        command = [
            self.binary,
            "--port",
            str(self.port),
            "--bind",
            "127.0.0.1",
            "--dir",
            self.workdir,
            "--save",
            "",
            "--protected-mode",
            "no",
            "--logfile",
            os.path.join(self.workdir, "redis.log"),
            "--appendonly",
            "yes" if self.appendonly else "no",
        ]
        command += self.extra
        if self.cluster:
            command += [
                "--cluster-enabled",
                "yes",
                "--cluster-config-file",
                "nodes.conf",
                "--cluster-node-timeout",
                "5000",
            ]
        return command

    def environment(self):
        env = tool_environment()
        if self.clock_file is not None:
            from faketime_helpers import faked_clock_environment

            env["LD_PRELOAD"] = libc_malloc_shim(self.workdir)
            env = faked_clock_environment(self.clock_file, self.libfaketime, base=env)
        return env

    def start(self):
        self.process = subprocess.Popen(
            self.command(),
            env=self.environment(),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            preexec_fn=_die_with_parent(os.getpid()),
        )
        _RUNNING.append(self.process)
        deadline = time.monotonic() + STARTUP_TIMEOUT
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(
                    "redis-server exited with %s:\n%s" % (self.process.returncode, self.log_tail())
                )
            if self.ping():
                return
            if time.monotonic() > deadline:
                self.kill()
                raise RuntimeError("redis-server did not answer:\n" + self.log_tail())
            time.sleep(0.02)

    def ping(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as conn:
                conn.sendall(b"PING\r\n")
                return conn.recv(64).startswith((b"+PONG", b"-LOADING"))
        except OSError:
            return False

    def kill(self):
        """SIGKILL: the server gets no chance to write anything more."""
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
            self.process.wait()

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.kill()

    def log_tail(self):
        try:
            with open(os.path.join(self.workdir, "redis.log"), errors="replace") as handle:
                return "".join(handle.readlines()[-20:])
        except OSError:
            return "(no log)"


class RedisCluster:
    """Three primaries on loopback, no replicas, every slot assigned."""

    def __init__(self, workdir):
        self.nodes = []
        try:
            for i in range(3):
                self.nodes.append(
                    RedisServer(os.path.join(str(workdir), "node%d" % i), cluster=True)
                )
        except BaseException:
            self.stop()
            raise
        addresses = ["127.0.0.1:%d" % node.port for node in self.nodes]
        cli = shutil.which("redis-cli") or "/usr/bin/redis-cli"
        created = subprocess.run(
            [cli, "--cluster", "create", *addresses, "--cluster-replicas", "0", "--cluster-yes"],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            timeout=60,
            env=tool_environment(),
        )
        if created.returncode != 0:
            self.stop()
            raise RuntimeError("redis-cli --cluster create failed:\n" + created.stdout)
        deadline = time.monotonic() + 30
        while not all(self._cluster_ok(node) for node in self.nodes):
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the cluster did not reach cluster_state:ok")
            time.sleep(0.1)

    @staticmethod
    def _cluster_ok(node):
        try:
            with socket.create_connection(("127.0.0.1", node.port), timeout=1) as conn:
                conn.sendall(b"CLUSTER INFO\r\n")
                return b"cluster_state:ok" in conn.recv(4096)
        except OSError:
            return False

    @property
    def port(self):
        return self.nodes[0].port

    def stop(self):
        for node in self.nodes:
            node.stop()


class ReplyDroppingProxy:
    """A loopback TCP proxy in front of a server that can lose, delay or swallow traffic.

    While `drop` is above zero, the next reply the server sends is not passed on: the proxy
    kills its own server connection with CLIENT KILL (the server has run the command by then)
    and closes the client's connection, so the client sees a connection drop after the
    command ran. `hold()` keeps the next request (or reply) back until `release()`, as a packet
    delayed in the network, which then reaches the server even if its client has gone.
    `silence_subscribers()` turns the pub/sub connections into black holes: open, but silent
    both ways, as when the server's machine vanishes. Later connections pass through untouched.
    """

    def __init__(self, server_port):
        import threading

        self.server_port = server_port
        self.drop = 0
        self.dropped = 0
        self.holding = threading.Event()  # something is held back
        self._hold = None  # "request" or "reply": what to hold next
        self._gate = threading.Event()
        self._delivered = threading.Event()
        self._links = []
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(16)
        self.port = self._listener.getsockname()[1]
        self._lock = threading.Lock()
        self._closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    @property
    def url(self):
        return "redis://127.0.0.1:%d/0" % self.port

    def hold(self, replies=False):
        self._gate.clear()
        self._delivered.clear()
        self.holding.clear()
        self._hold = "reply" if replies else "request"

    def release(self):
        """Lets the held traffic go; a held request has been run when this returns."""
        self._gate.set()
        assert self._delivered.wait(10), "the held traffic was not delivered"
        self._hold = None

    def silence_subscribers(self):
        for link in self._links:
            link.silent = link.silent or link.subscriber

    def _accept(self):
        import threading
        import types

        while not self._closed:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", self.server_port))
            # one connection as both pumps see it: has it subscribed, is it silenced, has the
            # server sent anything since `answered` was cleared
            link = types.SimpleNamespace(subscriber=False, silent=False, answered=threading.Event())
            self._links.append(link)
            for args in ((client, upstream, False, link), (upstream, client, True, link)):
                threading.Thread(target=self._pump, args=args, daemon=True).start()

    def _take(self, replies):
        with self._lock:
            if replies and self.drop > 0:
                self.drop -= 1
                self.dropped += 1
                return "drop"
            if self._hold == ("reply" if replies else "request") and not self.holding.is_set():
                self.holding.set()
                return "hold"
            return None

    def _pump(self, source, sink, replies, link):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                link.subscriber = link.subscriber or (not replies and b"SSUBSCRIBE" in data)
                if replies:
                    link.answered.set()
                if link.silent:
                    continue
                taken = self._take(replies)
                if taken == "drop":
                    self._client_kill(source.getsockname())
                    break
                if taken == "hold":
                    self._gate.wait()
                    link.answered.clear()
                    try:
                        sink.sendall(data)
                        if not replies:  # run before anything closes the server's side
                            link.answered.wait(5)
                    finally:
                        self._delivered.set()
                    continue
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            end.close()

    def _client_kill(self, address):
        with socket.create_connection(("127.0.0.1", self.server_port), timeout=5) as admin:
            admin.sendall(b"CLIENT KILL ADDR %s:%d\r\n" % (address[0].encode(), address[1]))
            admin.recv(64)

    def close(self):
        self._closed = True
        self._gate.set()
        self._listener.close()
