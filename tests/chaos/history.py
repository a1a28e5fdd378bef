"""The recorded history of a chaos run: every call invoked and how it ended, and every fault,
as JSON lines, one file per process in the run's history directory.

Each line is written with one ``write`` on a file opened for appending, so a process killed
at any moment leaves every line before the kill whole (a torn last line is skipped when the
history is read). Times ``t`` are the machine's monotonic clock, which every process shares
(libfaketime is told to leave it alone), so lines of different processes compare; ``clk`` is
the wall clock of the writing process (faked under the clock nemesis), from which the
checker bounds the stamps an engine that reads the caller's clock may have written.

Kinds of line: ``inv`` (a call began: op, args, worker, object), ``ok`` (its result),
``err`` (its exception, with the outcome the engine documents for it: refused, unknown,
cancelled or unexpected), ``cancel`` (task.cancel() was called on it), ``start`` and ``end``
(a process of the workload and its threads and descriptors), ``nem`` (a fault injected by
the process itself) and, from the runner, ``spawn``, ``exit``, ``kill``, ``stop``, ``cont``,
``fault``, ``clock`` and ``leftover``.
"""

import errno
import glob
import itertools
import json
import os
import threading
import time

__all__ = ["Recorder", "load", "message"]


def message(value):
    """A message tuple as JSON keeps it: a list of (sender, recipient, content, sent_at)."""
    return [value[0], value[1], value[2], value[3]]


class Recorder:
    """Writes the history lines of this process into ``directory``."""

    def __init__(self, directory, universe=None):
        self.directory = directory
        self.universe = universe
        self._open()

    def _open(self):
        self.pid = os.getpid()
        self._ids = itertools.count(1)
        self._lock = threading.Lock()
        self._held = []  # what a file-size limit kept out of the file, written once it goes
        path = os.path.join(self.directory, "%d.jsonl" % self.pid)
        self._fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)

    def reopen_in_child(self, universe=None):
        """After os.fork(): the child writes a file of its own (its descriptor of the parent's
        is left alone)."""
        if universe is not None:
            self.universe = universe
        self._open()

    def write(self, event, /, **fields):
        fields["k"] = event
        fields["t"] = time.monotonic()
        fields["p"] = self.pid
        line = (json.dumps(fields, separators=(",", ":")) + "\n").encode()
        with self._lock:
            data, self._held = b"".join(self._held) + line, []
            while data:
                try:
                    data = data[os.write(self._fd, data) :]
                except OSError as error:  # the file-size nemesis limits this process's files
                    if error.errno != errno.EFBIG:
                        raise
                    self._held = [data]  # a line cut short is finished once the limit goes
                    return

    def invoke(self, worker, op, args, obj):
        op_id = "%d.%d" % (self.pid, next(self._ids))  # count() is atomic under the GIL
        self.write("inv", id=op_id, w=worker, op=op, a=list(args), o=obj, clk=time.time())
        return op_id

    def ok(self, op_id, result, cancel_ignored=False):
        fields = {"id": op_id, "r": result, "clk": time.time()}
        if cancel_ignored:
            fields["ci"] = True
        self.write("ok", **fields)

    def err(self, op_id, error, outcome):
        self.write(
            "err", id=op_id, e="%s: %s" % (type(error).__name__, error), o=outcome, clk=time.time()
        )


def load(directory):
    """Every line of every history file of ``directory``, in time order."""
    events = []
    for path in glob.glob(os.path.join(directory, "*.jsonl")):
        with open(path, encoding="utf-8", errors="replace") as handle:
            for line in handle:
                try:
                    events.append(json.loads(line))
                except ValueError:  # the torn last line of a killed process
                    pass
    events.sort(key=lambda e: e["t"])
    return events
