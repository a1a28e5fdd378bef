"""Which process a waiter of the SQLite engine belongs to (or the holder of a claim that dies
with its process: ``ephemeral_claims``), and whether that process still runs: a waiter lives
as long as its process, whatever happens to its socket (a forked child may hold a copy of the
socket long after the waiter's process died; a socket file may be removed under a waiter
that sleeps on), and such a claim lapses when its holder's process ends.

A waiter's row (and such a claim's) names its process by ``pid`` and by ``process``, a text
that tells that process apart from any other that has or will have the same pid. On Linux it is
``<boot id>/<pid namespace>/<network namespace>/<start time>``: the kernel's boot id (a file
outlives a reboot, after which pids start over), the inode numbers of the process's PID
namespace (within which alone its pid means it) and network namespace (within which alone its
abstract socket is reached), and its start time in clock ticks since boot (field 22 of
``/proc/<pid>/stat``, which no later process with that pid shares). Elsewhere it is empty.

``judge(pid, process)``, from the calling process: DEAD when that process is gone (no such
pid, a zombie, another start time, another boot), ALIVE when it still runs, UNKNOWN when this
process cannot see it (another PID namespace) or cannot tell it from a later process with its
pid (no /proc): the caller then asks the waiter's socket (and takes a claim's holder for alive).
"""

import errno
import os
import re

__all__ = ["ALIVE", "DEAD", "UNKNOWN", "judge", "same_network", "this_process"]

ALIVE, DEAD, UNKNOWN = "alive", "dead", "unknown"

_LINUX = re.compile(r"([0-9a-f-]{36})/([0-9]+)/([0-9]+)/([0-9]+)\Z")
_mine: list = [None, None]  # pid, process: of this process (a forked child works out its own)


def this_process():
    """(pid, process) of the calling process."""
    pid = os.getpid()
    if _mine[0] != pid:
        _mine[:] = [pid, _describe(pid)]
    return pid, _mine[1]


def _describe(pid):
    try:
        with open("/proc/sys/kernel/random/boot_id") as handle:
            boot = handle.read().strip()
        start = _started(pid)
        process = "%s/%d/%d/%d" % (
            boot,
            os.stat("/proc/self/ns/pid").st_ino,
            os.stat("/proc/self/ns/net").st_ino,
            start,
        )
    except (OSError, TypeError, ValueError):  # no /proc, or not Linux's
        return ""
    return process if _LINUX.match(process) else ""


def _started(pid):
    """The start time of the running process ``pid`` in clock ticks since boot; None if there
    is no such process or it has ended (a zombie waits only for its parent to read its
    status)."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as handle:
            stat = handle.read()
    except OSError:
        return None
    # The command's name (field 2) is in parentheses and may hold anything, ")" included.
    fields = stat[stat.rindex(b")") + 2 :].split()
    if fields[0] in (b"Z", b"X"):
        return None
    return int(fields[19])


def judge(pid, process):
    """ALIVE, DEAD or UNKNOWN: the process of a row, as this process sees it."""
    if type(pid) is not int or pid <= 0 or not isinstance(process, str):
        return DEAD  # not a row that a waiter wrote
    mine = _LINUX.match(this_process()[1])
    theirs = _LINUX.match(process)
    if mine is None and process == "":  # no /proc here or there: the pid is all there is
        return UNKNOWN if _exists(pid) else DEAD
    if mine is None or theirs is None:
        return UNKNOWN
    if theirs.group(1) != mine.group(1):  # left before the machine restarted
        return DEAD
    if theirs.group(2) != mine.group(2):
        return UNKNOWN
    return ALIVE if _started(pid) == int(theirs.group(4)) else DEAD


def same_network(process):
    """Whether the process described by ``process`` shares this process's network namespace
    (and so its abstract sockets), as far as this process can tell."""
    mine = _LINUX.match(this_process()[1])
    theirs = _LINUX.match(process) if isinstance(process, str) else None
    return mine is not None and theirs is not None and theirs.group(3) == mine.group(3)


def _exists(pid):
    if os.name != "posix":  # (elsewhere os.kill ends the process, whatever the signal)
        return True
    try:
        os.kill(pid, 0)
    except OSError as error:
        return error.errno != errno.ESRCH
    return True
