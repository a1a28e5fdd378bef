"""A process of the chaos workload: agents calling the twelve operations at random on one
namespace of one engine, from threads sharing a sync object and from asyncio tasks sharing
an asyncio object, every call recorded in the history (history.py) as it begins and ends.

Its calls are drawn from a seed (the run's, the process's slot and generation, the worker),
never from results, so a seed replays the same calls. A claim schedules its own renewal and
release a few calls later whatever its outcome, so resources change hands all the time.

Faults the process injects itself, each recorded: asyncio calls cancelled after a random
number of loop turns; objects made for one drain and dropped without close(); a fork whose
child uses the objects its parent used; the end of the program with or without closing
its objects. Its threads and descriptors are counted after a warm-up and again after a
clean end, so that the checker can tell what was left behind.

Profiles: ``mixed`` (threads and tasks), ``clock`` (one thread, for the clock nemesis:
libfaketime re-reads its file unsafely under threads) and ``burst`` (4 sender threads and
9 waiting threads hammering one file, for a few seconds).

Run by run.py as ``python agent.py '<config as JSON>'``.
"""

import asyncio
import collections
import gc
import itertools
import json
import os
import random
import re
import select
import signal
import sys
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from engines import ENGINES
from history import Recorder, message

AGENTS = tuple("a%d" % i for i in range(6))
# agents that few messages go to: only long waits read QUIET inboxes (a waiter on each in every
# process) and only pollers (a drain, then 2 s idle) POLLED ones, so that a waiter that nothing
# wakes any more, or a message that a late request hid, shows while the mail stays there
QUIET = ("q0", "q1")
POLLED = ("p0", "p1")
RESOURCES = (("file", "f0"), ("file", "f1"), ("file", "f2"), ("task", "t0"), ("task", "t1"))
MESSAGE_TIMEOUTS = (0, 0.3, 1.0, 2.0, None)
CLAIM_TIMEOUTS = (0, 0.5, 2.0, 4.0, 10.0)
WEIGHTS = {
    "send_message": 24,
    "broadcast": 0.1,  # every agent's copy, the quiet ones' too: rare, so they stay quiet
    "drain_inbox": 10,
    "inbox": 4,
    "status": 3,
    "wait_for_messages": 10,
    "claim": 8,
    "wait_claim": 8,
    "drop": 1,
    "fork": 0.3,
}
CANCEL_SHARE = 0.2  # of asyncio calls, cancelled after 0 to 39 loop turns
FORK_BOUND = 10.0  # seconds a forked child may take for its few calls (two short waits)
GRACE = 12.0  # seconds the workers get to finish once the process's time is up (waits: 10)
MESSAGES = ("drain_inbox", "inbox", "wait_for_messages")


def program(rng, tag, kinds, first=(), forever=True, cancels=CANCEL_SHARE):
    """The calls of one worker: (op, args, pause after it, loop turns before cancelling it
    or None), endless, drawn from ``rng`` alone. ``kinds`` weighs the operations; ``first``
    are special operations to begin with; ``forever``: message waits may have no timeout
    (and some wait on QUIET agents); ``cancels``: the share of calls to cancel (asyncio)."""
    names, weights = zip(*kinds.items())
    first = list(first)
    later = []  # [step, op, args]: the renewals and releases that claims scheduled
    for step in itertools.count():
        due = [item for item in later if item[0] <= step]
        pause = rng.uniform(0, 0.015)
        cancel = rng.randrange(40) if rng.random() < cancels else None
        if due:
            later.remove(due[0])
            yield due[0][1], due[0][2], pause, cancel
            continue
        kind = first.pop(0) if first else rng.choices(names, weights)[0]
        agent, other = rng.choice(AGENTS), rng.choice(AGENTS)
        content = "%s.%d" % (tag, step)
        if kind == "send_message":
            chance = rng.random()  # a few sends to quiet inboxes, rather more to polled ones
            to = rng.choice(QUIET) if chance < 0.01 else rng.choice(POLLED)
            args = (agent, to if chance < 0.06 else other, content)
        elif kind == "broadcast":
            args = (agent, content)
        elif kind == "wait_for_messages" and forever and rng.random() < 0.1:
            args = (rng.choice(QUIET), rng.choice((None, 10.0)))
        elif kind == "wait_for_messages":
            args = (agent, rng.choice(MESSAGE_TIMEOUTS if forever else MESSAGE_TIMEOUTS[:-1]))
        elif kind in ("claim", "wait_claim"):
            prefix, name = rng.choice(RESOURCES)
            kind = "%s_%s" % (kind, prefix)
            args = (agent, name, rng.choice(CLAIM_TIMEOUTS)) if kind[0] == "w" else (agent, name)
            release = step + rng.randint(1, 6)
            if rng.random() < 0.3:
                later.append(
                    [rng.randint(step + 1, release), "renew_claim", (agent, prefix + ":" + name)]
                )
            later.append([release, "release", (agent, prefix + ":" + name)])
        else:  # drain_inbox, inbox, status, drop, fork
            args = (agent,)
        yield kind, args, pause, cancel


def quiet_reader(rng, inbox):
    """The calls of a reader of one quiet inbox: long waits on a QUIET one, or, on the
    POLLED ones, a drain and 2 s idle."""
    while True:
        if inbox in QUIET:
            yield "wait_for_messages", (inbox, rng.choice((None, 10.0))), 0.0, None
        else:
            yield "drain_inbox", (rng.choice(POLLED),), 2.0, None


def encoded(op, result):
    if op in MESSAGES:
        return [message(m) for m in result]
    if op in ("send_message", "broadcast"):
        return message(result)
    return result


def counts():
    """This process's threads (their names, and how many the kernel counts) and descriptors
    (what each is: a file's path, socket, pipe...)."""
    names = sorted(thread.name for thread in threading.enumerate())
    targets = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            targets.append(re.sub(r":\[\d+\]$", "", os.readlink("/proc/self/fd/" + fd)))
        except OSError:  # the listing's own descriptor, closed by now
            pass
    return names, len(os.listdir("/proc/self/task")), sorted(targets)


class Process:
    """One process of the workload: its engine, its history, its objects."""

    def __init__(self, config):
        self.config = config
        self.engine = ENGINES[config["engine"]](config["env"])
        self.profile = config["profile"]
        self.slot, self.gen = config["slot"], config["gen"]
        self.deadline = config["deadline"]
        self.tag = "s%dg%d" % (self.slot, self.gen)
        universe = "shared" if self.engine.shared else str(os.getpid())
        self.rec = Recorder(config["history"], universe)
        self.rec.write("start", slot=self.slot, gen=self.gen, u=universe, kind=self.profile["kind"])
        if self.profile.get("symlink"):
            self.rec.write("nem", kind="symlinked_path")
        self.forks = itertools.count(1)
        self.sync = self.asyn = None
        self.waiting = collections.Counter()  # agent -> this process's waits for its messages
        self.faults = set(config["faults"])

    def kinds(self, *left_out):
        """The operations' weights, without the faults left out of this run."""
        off = set(left_out)
        if "dropped_object" not in self.faults:
            off.add("drop")
        if "fork" not in self.faults:
            off.add("fork")
        return {k: w for k, w in WEIGHTS.items() if k not in off}

    def rng(self, worker):
        return random.Random("%s/%d/%d/%s" % (self.config["seed"], self.slot, self.gen, worker))

    def done(self):
        return time.monotonic() >= self.deadline

    def _failed(self, op_id, error):
        outcome = self.engine.outcome(error)
        if outcome is None:
            where = traceback.extract_tb(error.__traceback__)[-2:]
            self.rec.write("where", id=op_id, at=["%s:%d %s" % f[:3] for f in where])
        self.rec.err(op_id, error, outcome or "unexpected")

    def call(self, worker, state, obj, op, args):
        op_id = self.rec.invoke(worker, op, args, obj)
        waits = op == "wait_for_messages"
        self.waiting[args[0]] += waits
        try:
            result = getattr(state, op)(*args)
        except Exception as error:
            self._failed(op_id, error)
            return None
        finally:
            self.waiting[args[0]] -= waits
        self.rec.ok(op_id, encoded(op, result))
        return result

    async def acall(self, worker, state, obj, op, args, cancel_after=None):
        op_id = self.rec.invoke(worker, op, args, obj)
        waits = op == "wait_for_messages"
        self.waiting[args[0]] += waits
        task = asyncio.ensure_future(getattr(state, op)(*args))
        task.add_done_callback(lambda _: self.waiting.subtract({args[0]: waits}))
        asked = False
        if cancel_after is not None:
            for _ in range(cancel_after):
                if task.done():
                    break
                await asyncio.sleep(0)
            if not task.done():
                asked = task.cancel()
                self.rec.write("cancel", id=op_id)
        try:
            result = await task
        except asyncio.CancelledError as error:
            self._failed(op_id, error)
            return None
        except Exception as error:
            self._failed(op_id, error)
            return None
        self.rec.ok(op_id, encoded(op, result), cancel_ignored=asked)
        return result

    # ---- the faults a process injects itself ----

    def drop(self, worker, agent):
        """An object made for one drain and one short wait, then dropped without close(), as
        a helper function's would be."""
        self.rec.write("nem", kind="dropped_object", api="sync")
        temporary = self.engine.open(self.profile)
        self.call(worker, temporary, "dropped", "drain_inbox", (agent,))
        self.call(worker, temporary, "dropped", "wait_for_messages", (agent, 0.3))
        del temporary
        gc.collect()

    async def adrop(self, worker, agent):
        self.rec.write("nem", kind="dropped_object", api="async")
        temporary = await self.engine.open_async(self.sync, self.profile)
        await self.acall(worker, temporary, "dropped", "drain_inbox", (agent,))
        await self.acall(worker, temporary, "dropped", "wait_for_messages", (agent, 0.3))
        del temporary
        gc.collect()

    def fork(self, worker, state):
        """A child forked from this busy process uses the objects its parent used."""
        number = next(self.forks)
        self.rec.write("nem", kind="fork")
        asyn = self.asyn if self.engine.async_after_fork else None
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                self.child(state, asyn, "%s.c%d." % (self.tag, number))
                code = 0
            finally:
                os._exit(code)
        self.rec.write("spawn", pid=pid, slot=self.slot, gen=self.gen, forked=True)
        deadline = time.monotonic() + FORK_BOUND
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                self.rec.write("exit", pid=pid, code=status)
                return
            if time.monotonic() > deadline:
                self.rec.write(
                    "kill", pid=pid, why="forked child still busy after %d s" % FORK_BOUND
                )
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                self.rec.write("exit", pid=pid, code=-9)
                return
            time.sleep(0.05)

    def child(self, state, asyn, tag):
        self.rec.reopen_in_child(None if self.engine.shared else str(os.getpid()))
        self.rec.write("start", slot=self.slot, gen=self.gen, u=self.rec.universe, kind="forked")
        first, second = tag + "a", tag + "b"
        self.call("fork", state, "inherited", "send_message", (first, second, tag + "1"))
        self.call("fork", state, "inherited", "wait_for_messages", (second, 2.0))
        self.call("fork", state, "inherited", "claim_file", (first, tag + "f"))
        self.call("fork", state, "inherited", "release", (first, "file:" + tag + "f"))
        if asyn is not None:

            async def use():
                args = (second, first, tag + "2")
                await self.acall("fork", asyn, "inherited", "send_message", args)
                await self.acall("fork", asyn, "inherited", "wait_for_messages", (first, 2.0))

            asyncio.run(use())  # a loop of its own: the parent's runs in a thread not forked
        if not self.engine.shared:
            for agent in (first, second):
                self.call("sweep", state, "inherited", "drain_inbox", (agent,))
        self.engine.close(state)
        self.rec.write("end", closed=True)

    # ---- the workers ----

    def run_thread(self, name, state, first=()):
        kinds = self.kinds(*(() if self.engine.temporary_sync else ("drop",)))
        first = [f for f in first if f in kinds]
        steps = program(self.rng(name), "%s.%s" % (self.tag, name), kinds, first)
        for op, args, pause, _ in steps:
            if self.done():
                return
            if op == "drop":
                self.drop(name, args[0])
            elif op == "fork":
                self.fork(name, state)
            else:
                self.call(name, state, "sync", op, args)
            time.sleep(pause)

    async def run_task(self, name, state, first=(), quiet=None):
        """A task's calls: a worker's, or those of the reader of the ``quiet`` inbox."""
        kinds = self.kinds("fork")
        first = [f for f in first if f in kinds]
        cancels = CANCEL_SHARE if "cancel" in self.faults else 0.0
        tag = "%s.%s" % (self.tag, name)
        if quiet:
            steps = quiet_reader(self.rng(name), quiet)
        else:
            steps = program(self.rng(name), tag, kinds, first, cancels=cancels)
        for op, args, pause, cancel in steps:
            if self.done():
                return
            if op == "drop":
                await self.adrop(name, args[0])
            else:
                await self.acall(name, state, "async", op, args, cancel)
            await asyncio.sleep(pause)

    def hellos(self, state):
        """In a state of its own, the process puts every agent on the broadcast roster."""
        for agent in AGENTS + QUIET + POLLED:
            self.call("hello", state, "sync", "send_message", ("hello", agent, "hello." + agent))

    def sweep(self, state, agents):
        for agent in agents:
            self.call("sweep", state, "sync", "drain_inbox", (agent,))

    def finish(self, closed, base=None, stuck=0, warmed=True):
        """The end of the process: its threads and descriptors once it closed its objects,
        or that it ends without closing them (on purpose, or as workers are still busy).
        ``warmed``: whether ``base`` was counted after a warm-up that woke a waiter."""
        if closed:
            gc.collect()
            time.sleep(0.3)  # threads of closed objects finish
            names, threads, fds = counts()
            self.rec.write(
                "end",
                closed=True,
                names=names,
                threads=threads,
                fds=fds,
                base=base,
                stuck=stuck,
                warmed=warmed,
            )
            return
        self.rec.write("nem", kind="exit_unclosed")
        self.rec.write("end", closed=False, stuck=stuck)


async def mixed(proc, threads=2, tasks=3):
    engine = proc.engine
    proc.sync = sync = engine.open(proc.profile)
    proc.asyn = asyn = await engine.open_async(sync, proc.profile)
    if not engine.shared:
        proc.hellos(sync)
    # the objects' threads and connections (a delivery's settling, a wait's listener),
    # started before the baseline is counted
    warm = proc.warm = "warm-" + proc.tag
    proc.call("warm", sync, "sync", "send_message", (warm, warm, warm + ".0"))
    proc.call("warm", sync, "sync", "drain_inbox", (warm,))
    proc.call("warm", sync, "sync", "wait_for_messages", (warm, 0.05))
    woken = asyncio.ensure_future(
        proc.acall("warm", asyn, "async", "wait_for_messages", (warm, 5.0))
    )
    await asyncio.sleep(0.2)  # asleep: the send below wakes it (what a wake-up keeps open)
    proc.call("warm", sync, "sync", "send_message", (warm, warm, warm + ".1"))
    await woken
    base = counts()
    rng = proc.rng("process")
    forced = proc.gen == 0 and proc.slot == 0  # every fault at least once, even in short runs
    workers = []
    for i in range(threads):
        first = ("fork", "drop") if forced and i == 0 else ()
        worker = threading.Thread(target=proc.run_thread, args=("w%d" % i, sync, first))
        worker.daemon = True
        worker.start()
        workers.append(worker)
    jobs = [
        asyncio.ensure_future(proc.run_task("t%d" % i, asyn, ("drop",) if forced and not i else ()))
        for i in range(tasks)
    ]
    # every quiet inbox has a waiter in every process, and the polled ones a poller
    for inbox in QUIET + POLLED[:1]:
        jobs.append(asyncio.ensure_future(proc.run_task(inbox, asyn, quiet=inbox)))
    await asyncio.sleep(max(0.0, proc.deadline - time.monotonic()))
    # waits without a timeout end with a message: the process sends one to each agent its
    # waits wait for until its workers are done (any engine that works wakes them), for GRACE
    # seconds at most
    until = time.monotonic() + GRACE
    for number in itertools.count():
        busy = [w for w in workers if w.is_alive()] + [j for j in jobs if not j.done()]
        if not busy or time.monotonic() > until:
            break
        stop = "stop-" + proc.tag
        for agent in [a for a, n in proc.waiting.items() if n > 0]:
            args = (stop, agent, "%s.%s.%d" % (stop, agent, number))
            await proc.acall("stop", asyn, "async", "send_message", args)
        await asyncio.sleep(0.5)
    stuck = len(busy)
    if not engine.shared:
        proc.sweep(sync, AGENTS + QUIET + POLLED + (proc.warm,))
    # slot 0's processes always end unclosed: the last of them outlives every kill, so even a
    # short run ends a program without closing at least once
    closing = rng.random() < 0.6 and proc.slot != 0
    closing = (closing or "exit_unclosed" not in proc.faults) and not stuck  # no close in use
    if closing:
        engine.close(sync)
        await engine.aclose(asyn)
        await engine.close_clients()
        proc.sync = proc.asyn = sync = asyn = None
    proc.finish(closing, base, stuck)


def clocked(proc):
    """One thread, sync calls only: libfaketime may move this process's clock."""
    sync = proc.sync = proc.engine.open(proc.profile)
    if not proc.engine.shared:
        proc.hellos(sync)
    base = counts()
    kinds = {k: w for k, w in WEIGHTS.items() if k not in ("drop", "fork")}
    steps = program(proc.rng("c"), proc.tag + ".c", kinds, forever=False, cancels=0.0)
    for op, args, pause, _ in steps:
        if proc.done():
            break
        proc.call("c", sync, "sync", op, args)
        time.sleep(pause)
    if not proc.engine.shared:
        proc.sweep(sync, AGENTS + QUIET + POLLED)
    proc.engine.close(sync)
    proc.finish(True, base, warmed=False)


def burst(proc, senders=4, waiters=9):
    """Many writers and readers on one file at once, for the profile's few seconds."""
    sync = proc.sync = proc.engine.open(proc.profile)
    names = ["%s.w%d" % (proc.tag, i) for i in range(waiters)]

    def send(i):
        for number in itertools.count():
            if proc.done():
                return
            to = names[number % waiters]
            proc.call(
                "b%d" % i,
                sync,
                "sync",
                "send_message",
                ("burst", to, "%s.b%d.%d" % (proc.tag, i, number)),
            )

    def wait(i):
        while not proc.done():
            proc.call("r%d" % i, sync, "sync", "wait_for_messages", (names[i], 1.0))

    workers = [threading.Thread(target=send, args=(i,)) for i in range(senders)]
    workers += [threading.Thread(target=wait, args=(i,)) for i in range(waiters)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    proc.engine.close(sync)
    proc.finish(True)


def main():
    config = json.loads(sys.argv[1])
    if config["profile"]["kind"] == "clock" and "FAKETIME_TIMESTAMP_FILE" in os.environ:
        # libfaketime 0.9.10 fails clock_nanosleep with EINVAL when it leaves the monotonic
        # clock alone, so time.sleep() would raise; select() sleeps the same
        time.sleep = lambda seconds: select.select([], [], [], seconds)
    if hasattr(signal, "SIGXFSZ"):  # a file-size limit makes writes fail, as a full disk does
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    proc = Process(config)
    kind = config["profile"]["kind"]
    if kind == "clock":
        clocked(proc)
    elif kind == "burst":
        burst(proc)
    else:
        asyncio.run(mixed(proc))


if __name__ == "__main__":
    main()
