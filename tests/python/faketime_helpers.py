"""A CoordinationState living in a child interpreter whose wall clock is frozen by libfaketime.

The child preloads libfaketime and reads its time from a timestamp file that it rewrites
itself before each call: "YYYY-MM-DD hh:mm:ss[.ffffff]" (UTC) freezes the clock there, and
FAKETIME_NO_CACHE makes every clock read see the latest file. The parent sends one request per
line (set the clock, or call a method of the child's one state) and gets Python literals back.
A RuntimeError is raised again here as RuntimeError with the same args; any other exception
as ChildRaised, which describes it.
"""

import ast
import os
import select
import subprocess
import sys

LIBFAKETIME_CANDIDATES = (
    "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/faketime/libfaketime.so.1",
)
REPLY_TIMEOUT = 30.0

CHILD_SOURCE = r"""
import ast, datetime, sys, time
import durnel_core

def set_clock(seconds):
    moment = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds)
    text = moment.strftime("%Y-%m-%d %H:%M:%S")
    if moment.microsecond:
        text += ".%06d" % moment.microsecond
    with open(sys.argv[1], "w") as handle:
        handle.write(text + "\n")

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

state = durnel_core.CoordinationState()
for line in sys.stdin:
    request = ast.literal_eval(line)
    if request[0] == "clock":
        set_clock(request[1])
        reply = ("ok", time.time())
    else:
        try:
            reply = ("ok", getattr(state, request[1])(*request[2], **request[3]))
        except BaseException as error:
            reply = ("raised", describe(error))
    sys.stdout.write(repr(reply) + "\n")
    sys.stdout.flush()
"""


def find_libfaketime():
    return next((path for path in LIBFAKETIME_CANDIDATES if os.path.exists(path)), None)


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

    def __init__(self, libfaketime, workdir):
        import durnel_core

        stamp = os.path.join(workdir, "faketime-stamp")
        self._stderr_path = os.path.join(workdir, "child-stderr")
        with open(stamp, "w") as handle:
            handle.write("1970-01-01 00:16:40\n")
        module_dir = os.path.dirname(os.path.abspath(durnel_core.__file__))
        # Appended, so that a sanitizer runtime already preloaded stays first in line.
        preload = (os.environ.get("LD_PRELOAD", "") + " " + libfaketime).strip()
        env = dict(
            os.environ,
            TZ="UTC",
            LD_PRELOAD=preload,
            FAKETIME_TIMESTAMP_FILE=stamp,
            FAKETIME_NO_CACHE="1",
            FAKETIME_DONT_FAKE_MONOTONIC="1",
        )
        env.pop("FAKETIME", None)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
        self._stderr = open(self._stderr_path, "w")  # noqa: SIM115 - closed by close()
        self._proc = subprocess.Popen(
            [sys.executable, "-c", CHILD_SOURCE, stamp],
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
        return self._request(("clock", seconds))[1]

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
        self._state = RedisCoordinationState(client, namespace)

    def at(self, seconds):
        """Freezes the server's clock at `seconds` after the epoch; returns its TIME."""
        import datetime

        moment = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds)
        text = moment.strftime("%Y-%m-%d %H:%M:%S")
        if moment.microsecond:
            text += ".%06d" % moment.microsecond
        with open(self._clock_file, "w") as handle:
            handle.write(text + "\n")
        whole, micros = self._client.time()
        return whole + micros / 1e6

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        return getattr(self._state, name)
