"""Wall clocks frozen by libfaketime, for the tests: finding the library, the timestamp file
and the environment of a process that reads it, and two coordination objects under such a
clock.

A process with libfaketime preloaded reads its time from a timestamp file:
"YYYY-MM-DD hh:mm:ss[.ffffff]" (UTC) freezes the clock there, and FAKETIME_NO_CACHE makes every
clock read see the latest file, so the test moves the clock by rewriting the file.
``ClockedState`` is a CoordinationState (or a SQLiteCoordinationState on a file of the
test's) in a child interpreter under such a clock: the parent
sends one request per line and gets Python literals back; a RuntimeError is raised again here
as RuntimeError with the same args, any other exception as ChildRaised, which describes it.
``RedisClocked`` is the Redis engine on a redis-server under such a clock. Both take
``snapshot(log_tail)`` under their clock (``durnel.snapshot``: SQLite's reads the clock of
the process that takes it).
"""

import ast
import datetime
import os
import select
import subprocess
import sys

LIBFAKETIME_CANDIDATES = (
    "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/faketime/libfaketime.so.1",
    "/usr/local/lib/faketime/libfaketime.so.1",
)
REPLY_TIMEOUT = 30.0

CHILD_SOURCE = r"""
import ast, sys, time
import durnel_core

def describe(error):
    kind = type(error)
    return {
        "type": kind.__module__ + "." + kind.__qualname__,
        "args": error.args,
        "is_exception": isinstance(error, Exception),
        "mro": [c.__module__ + "." + c.__qualname__ for c in kind.__mro__],
        "doc": kind.__doc__,
        "in_module": hasattr(durnel_core, kind.__name__),
    }

if len(sys.argv) > 1:
    from durnel.sqlite import SQLiteCoordinationState

    state = SQLiteCoordinationState(sys.argv[1])
else:
    state = durnel_core.CoordinationState()
for line in sys.stdin:
    request = ast.literal_eval(line)
    if request[0] == "clock":
        reply = ("ok", time.time())
    elif request[0] == "snapshot":  # taken here, where the clock is faked
        import durnel
        from durnel.snapshots import as_json

        reply = ("ok", as_json(durnel.snapshot(state, log_tail=request[1])))
    else:
        try:
            reply = ("ok", getattr(state, request[1])(*request[2], **request[3]))
        except BaseException as error:
            reply = ("raised", describe(error))
    sys.stdout.write(repr(reply) + "\n")
    sys.stdout.flush()
"""


def find_libfaketime():
    """The libfaketime library to preload: $DURNEL_LIBFAKETIME if set, else the first of the
    usual install places that exists; None if there is none."""
    override = os.environ.get("DURNEL_LIBFAKETIME")
    for path in ((override,) if override else ()) + LIBFAKETIME_CANDIDATES:
        if os.path.exists(path):
            return path
    return None


def timestamp_text(seconds):
    """The timestamp-file form of a Unix time (whole or fractional seconds, before 1970 too):
    "YYYY-MM-DD hh:mm:ss[.ffffff]" in UTC, which freezes the clock there."""
    moment = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds)
    text = moment.strftime("%Y-%m-%d %H:%M:%S")
    if moment.microsecond:
        text += ".%06d" % moment.microsecond
    return text


def set_clock(path, seconds):
    """Freezes the clock of every process that reads the timestamp file `path` at `seconds`."""
    with open(str(path), "w") as handle:
        handle.write(timestamp_text(seconds) + "\n")


def child_environment():
    """This environment, with PYTHONPATH made absolute and leading to the durnel_core that
    this interpreter imported, whatever directory a child starts in."""
    import durnel_core

    env = dict(os.environ)
    paths = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    module_dir = os.path.dirname(os.path.abspath(durnel_core.__file__))
    if module_dir not in paths:
        paths.insert(0, module_dir)
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def faked_clock_environment(timestamp_file, libfaketime, base=None):
    """The environment of a child whose wall clock reads `timestamp_file` (``base``, by
    default child_environment(), with libfaketime's settings).

    libfaketime is appended to LD_PRELOAD so that a sanitizer runtime already preloaded
    stays first in the list.
    """
    env = child_environment() if base is None else dict(base)
    preload = env.get("LD_PRELOAD", "").strip()
    env.update(
        LD_PRELOAD=(preload + " " + libfaketime).strip(),
        TZ="UTC",
        FAKETIME_TIMESTAMP_FILE=str(timestamp_file),
        FAKETIME_NO_CACHE="1",
        FAKETIME_DONT_FAKE_MONOTONIC="1",
    )
    env.pop("FAKETIME", None)  # it would override the file
    if "libasan" in preload:
        # AddressSanitizer's allocator reads the clock while it holds its own lock, and
        # libfaketime allocates on its first clock call: a deadlock at start-up, unless the
        # allocator never schedules the release of memory (its only clock read).
        options = env.get("ASAN_OPTIONS", "")
        if "allocator_release_to_os_interval_ms" not in options:
            env["ASAN_OPTIONS"] = ":".join(
                filter(None, [options, "allocator_release_to_os_interval_ms=-1"])
            )
    return env


class ChildRaised(Exception):
    """An exception other than RuntimeError raised by a call in the child."""

    def __init__(self, info):
        super().__init__(info["type"], info["args"])
        self.type_name, self.error_args, self.mro = info["type"], info["args"], info["mro"]
        self.is_exception, self.doc, self.in_module = (
            info["is_exception"],
            info["doc"],
            info["in_module"],
        )


class ClockedState:
    """Proxy for the child's state: `clocked.at(1000)`, then `clocked.claim_file("A", "x")`."""

    def __init__(self, libfaketime, workdir, sqlite_file=None):
        self._clock_file = os.path.join(workdir, "faketime-stamp")
        self._stderr_path = os.path.join(workdir, "child-stderr")
        set_clock(self._clock_file, 1000)
        env = faked_clock_environment(self._clock_file, libfaketime)
        self._stderr = open(self._stderr_path, "w")  # noqa: SIM115 - closed by close()
        self._proc = subprocess.Popen(
            [sys.executable, "-c", CHILD_SOURCE] + ([sqlite_file] if sqlite_file else []),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self._stderr,
            env=env,
            universal_newlines=True,
        )

    def _request(self, request):
        try:
            self._proc.stdin.write(repr(request) + "\n")
            self._proc.stdin.flush()
            ready, _, _ = select.select([self._proc.stdout], [], [], REPLY_TIMEOUT)
            line = self._proc.stdout.readline() if ready else ""
        except BrokenPipeError:
            line = ""
        if not line:
            raise AssertionError("the child stopped answering:\n" + self.stderr_text())
        return ast.literal_eval(line)

    def at(self, seconds):
        """Freezes the child's clock at `seconds` after the epoch; returns its time.time()."""
        set_clock(self._clock_file, seconds)
        return self._request(("clock",))[1]

    def snapshot(self, log_tail):
        """durnel.snapshot of the child's SQLite object, taken in the child."""
        from durnel.snapshots import (
            AgentView,
            ClaimView,
            LogEvent,
            MailboxView,
            PresenceView,
            Snapshot,
            WaiterView,
        )

        shot = self._request(("snapshot", log_tail))[1]
        del shot["format"]
        for name, kind in (
            ("agents", AgentView),
            ("claims", ClaimView),
            ("mailboxes", MailboxView),
            ("log", LogEvent),
            ("presence", PresenceView),
            ("waiters", WaiterView),
        ):
            shot[name] = tuple(kind(**value) for value in shot[name])
        return Snapshot(**shot)

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)

        def call(*args, **kwargs):
            kind, value = self._request(("call", name, args, kwargs))
            if kind == "ok":
                return value
            if value["type"] == "builtins.RuntimeError":
                raise RuntimeError(*value["args"])
            raise ChildRaised(value)

        return call

    def stderr_text(self):
        self._stderr.flush()
        with open(self._stderr_path) as handle:
            return handle.read()

    def close(self):
        self._proc.stdin.close()
        try:
            self._proc.wait(timeout=REPLY_TIMEOUT)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self._proc.wait()
        self._proc.stdout.close()
        self._stderr.close()


class RedisClocked:
    """The Redis engine on a redis-server whose clock reads `clock_file`: `clocked.at(1000)`
    freezes the server's clock at that second; methods are those of the engine."""

    def __init__(self, client, clock_file, namespace):
        from durnel.redis import RedisCoordinationState

        self._client = client
        self._clock_file = str(clock_file)
        self._state = self.state = RedisCoordinationState(client, namespace)  # .state: the engine

    def snapshot(self, log_tail):
        import durnel

        return durnel.snapshot(self._state, log_tail=log_tail)

    def at(self, seconds):
        """Freezes the server's clock at `seconds` after the epoch; returns its TIME."""
        set_clock(self._clock_file, seconds)
        whole, micros = self._client.time()
        return whole + micros / 1e6

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        return getattr(self._state, name)
