"""A chaos run: the workload of agent.py in several processes on one engine, the nemeses
chosen at random over time, then the history checked (checker.py) and what was left behind
counted. ``make chaos`` runs it on every engine; ``make test-chaos`` a short run of each.

    python tests/chaos/run.py [--engines inprocess,sqlite,redis,cluster] [--seconds 180]
                              [--seed N] [--keep DIR]

Everything is drawn from the seed: the calls of every worker of every process, how long each
process lives and whether it closes its objects, which nemesis strikes when and whom. A run
that found violations prints its seed and the command that runs the same schedule again
(the interleaving of real processes differs from run to run, the schedule does not).

The run, per engine: set the engine up (servers, files) and put every agent on the broadcast
roster; start the processes of its slots, starting each again as it ends or is killed; run
the nemeses of the plan; at the end, resume what was paused and wait for every process (those
still busy after a grace period are killed); wait out the visibility timeout and drain every
inbox, so that every message sent has had its chance; close everything and count leftovers;
check the history.
"""

import argparse
import heapq
import json
import os
import queue
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "python")]

import checker  # noqa: E402
from agent import AGENTS, GRACE, POLLED, QUIET  # noqa: E402
from engines import ENGINES, WAL_IDLE_BOUND, WAL_PEAK_BOUND  # noqa: E402
from history import Recorder, load  # noqa: E402
from nemeses import NEMESES  # noqa: E402

AGENT_SCRIPT = os.path.join(HERE, "agent.py")
# faults the processes inject themselves, which every run must have injected too
SELF_INFLICTED = ("cancel", "dropped_object", "fork", "exit_unclosed")


class Slot:
    """One place in the workload, filled by a process, then by the next when it ends."""

    def __init__(self, index, profile):
        self.index, self.profile = index, profile
        self.gen = -1
        self.process = None
        self.clock_file = None

    @property
    def pid(self):
        return self.process.pid

    def alive(self):
        return self.process is not None and self.process.poll() is None


def plan(seed, nemeses, seconds):
    """When each nemesis strikes: every one once, in a random order, in the first part of
    the run, then one every 4 s on average, all from the seed."""
    rng = random.Random("%s/plan" % seed)
    order = list(nemeses)
    rng.shuffle(order)
    start, end = 2.0, min(0.6 * seconds, 2.0 + 3.0 * len(order))
    step = (end - start) / max(len(order), 1)
    items = [(start + step * (i + rng.random()), name) for i, name in enumerate(order)]
    moment = end
    while nemeses:
        moment += rng.expovariate(1 / 4.0)
        if moment > 0.8 * seconds:
            break
        items.append((moment, rng.choice(order)))
    return sorted(items)


class Run:
    def __init__(self, engine_name, seconds, seed, workdir, nemeses=None, wait_bound=None):
        self.seed, self.seconds, self.workdir = seed, seconds, workdir
        self.history = os.path.join(workdir, "history")
        os.makedirs(self.history)
        os.makedirs(os.path.join(workdir, "logs"))
        self.rec = Recorder(self.history)
        self.rec.write("start", slot=-1, gen=0, u="shared", kind="runner")
        self.engine = ENGINES[engine_name].setup(workdir)
        if wait_bound is not None:
            self.engine.wait_bound = wait_bound
        known = tuple(self.engine.nemeses) + SELF_INFLICTED
        self.nemeses = tuple(n for n in known if nemeses is None or n in nemeses)
        self.slots = [Slot(i, p) for i, p in enumerate(self.engine.slots)]
        self.paused = set()
        self.groups = []  # every process group started: forked children left are killed too
        self.armed = []  # (proxy fault, seconds it acts once fired)
        self._timers = []  # (when, number, function, args)
        self._numbers = 0
        # One thread runs the nemeses that take time, one at a time, and lives until the
        # servers are stopped: a server started from a thread dies with that thread.
        self._slow = queue.Queue()
        self._slow_thread = threading.Thread(target=self._run_slow, daemon=True)
        self._slow_thread.start()
        self.wal_peak = 0

    # ---- processes ----

    def _environment(self, slot):
        from faketime_helpers import child_environment, faked_clock_environment, find_libfaketime

        libfaketime = find_libfaketime()
        if slot.profile["kind"] != "clock" or libfaketime is None:
            return child_environment()
        slot.clock_file = os.path.join(self.workdir, "clock-%d" % slot.index)
        with open(slot.clock_file, "w") as handle:
            handle.write("+0\n")
        return faked_clock_environment(slot.clock_file, libfaketime)

    def spawn(self, slot, seconds=None):
        slot.gen += 1
        if seconds is None:  # a lifetime from the seed, a few per run
            life = random.Random("%s/%d/%d/life" % (self.seed, slot.index, slot.gen))
            seconds = min(max(life.uniform(0.25, 0.6) * self.seconds, 6.0), 40.0)
        config = {
            "engine": self.engine.name,
            "env": self.engine.env,
            "profile": slot.profile,
            "slot": slot.index,
            "gen": slot.gen,
            "seed": self.seed,
            "deadline": min(time.monotonic() + seconds, self.end),
            "history": self.history,
            "faults": self.nemeses,
        }
        log = open(  # noqa: SIM115 - the child writes it; closed when it is reaped
            os.path.join(self.workdir, "logs", "%d-%d.log" % (slot.index, slot.gen)), "w"
        )
        slot.process = process = subprocess.Popen(
            [sys.executable, AGENT_SCRIPT, json.dumps(config)],
            env=self._environment(slot),
            stdout=log,
            stderr=subprocess.STDOUT,
            start_new_session=True,
        )
        slot.log = log
        self.groups.append(process.pid)
        self.rec.write("spawn", pid=slot.pid, slot=slot.index, gen=slot.gen)

    def spawn_burst(self, seconds):
        slot = Slot(len(self.slots), {"kind": "burst"})
        self.slots.append(slot)
        self.spawn(slot, seconds)
        self.rec.write("fault", kind="burst", t0=time.monotonic(), pid=slot.pid)

    def _reap(self, respawn):
        for slot in self.slots:
            if slot.process is None or slot.process.poll() is None:
                continue
            code = slot.process.returncode
            self.rec.write("exit", pid=slot.pid, code=code)
            slot.log.close()
            if code not in (0, -signal.SIGKILL):
                with open(slot.log.name, errors="replace") as handle:
                    tail = "".join(handle.readlines()[-8:])
                self.rec.write("crash", pid=slot.pid, code=code, log=tail)
            slot.process = None
            if respawn and slot.profile["kind"] != "burst":
                self.spawn(slot)

    # ---- the nemeses' helpers ----

    def later(self, seconds, function, *args):
        self._numbers += 1
        heapq.heappush(self._timers, (time.monotonic() + seconds, self._numbers, function, args))

    def in_background(self, function, *args):
        self._slow.put((function, args))

    def _run_slow(self):
        while True:
            function, args = self._slow.get()
            if function is None:
                return
            try:
                function(self, *args)
            except Exception as error:  # reported; the run goes on
                self.rec.write("nemesis_failed", what=function.__name__, error=repr(error))
            finally:
                self._slow.task_done()

    def _due(self, now):
        while self._timers and self._timers[0][0] <= now:
            _, _, function, args = heapq.heappop(self._timers)
            function(self, *args)

    # ---- the run ----

    def run(self):
        engine = self.engine
        self.start = time.monotonic()
        self.end = self.start + self.seconds
        runner = engine.open({"kind": "runner"}) if engine.shared else None
        if runner is not None:
            for agent in AGENTS + QUIET + POLLED:  # all on the roster: broadcasts reach them all
                self.call(runner, "send_message", ("runner", agent, "hello." + agent))
        for slot in self.slots:
            self.spawn(slot)
        chosen = [n for n in engine.nemeses if n in self.nemeses]
        for number, (moment, name) in enumerate(plan(self.seed, chosen, self.seconds)):
            self.later(self.start + moment - time.monotonic(), _strike, name, number)
        while time.monotonic() < self.end:
            self._reap(respawn=time.monotonic() < self.end - 3.0)
            self._due(time.monotonic())
            self._sample()
            time.sleep(0.05)
        self._wind_down()
        if runner is not None:
            self._sweep(runner)
        for text in engine.leftovers():
            self.rec.write("leftover", what=text)
        engine.teardown()
        self._slow.put((None, ()))

    def call(self, state, op, args):
        op_id = self.rec.invoke("runner", op, args, "runner")
        try:
            result = getattr(state, op)(*args)
        except Exception as error:
            self.rec.err(op_id, error, self.engine.outcome(error) or "unexpected")
            return
        from agent import encoded

        self.rec.ok(op_id, encoded(op, result))

    def _sample(self):
        if hasattr(self.engine, "wal_size"):
            self.wal_peak = max(self.wal_peak, self.engine.wal_size())

    def _wind_down(self):
        for pid in list(self.paused):
            from nemeses import resume

            resume(self, pid)
        if hasattr(self.engine, "proxy"):
            self.engine.proxy.disarm()
        self._timers = [t for t in self._timers if t[2] is not _strike]
        until = time.monotonic() + GRACE + 10.0
        while any(s.alive() for s in self.slots) and time.monotonic() < until:
            self._due(time.monotonic())
            self._reap(respawn=False)
            self._sample()
            time.sleep(0.05)
        for slot in self.slots:
            if slot.alive():
                self.rec.write("kill", pid=slot.pid, why="still running at the end")
                os.killpg(slot.pid, signal.SIGKILL)
                slot.process.wait()
        self._reap(respawn=False)
        self._slow.join()
        for fault, window in self.armed:
            if fault.hits:
                self.rec.write(
                    "fault",
                    kind=_proxy_kind(fault),
                    t0=fault.fired_at,
                    t1=fault.fired_at + window,
                    hits=fault.hits,
                    keys=fault.keys,
                )

    def _sweep(self, runner):
        """Every inbox drained once the lost batches are takeable again."""
        time.sleep((self.engine.visibility or 0) + 1.5)
        agents = sorted(checker.agents_named(load(self.history)))
        for agent in agents:
            self.call(runner, "drain_inbox", (agent,))
        if hasattr(self.engine, "wal_size"):
            self.rec.write("wal", peak=self.wal_peak, bound=WAL_PEAK_BOUND)
            deadline = time.monotonic() + 5.0  # traffic has stopped: the log shrinks
            while self.engine.wal_size() > WAL_IDLE_BOUND and time.monotonic() < deadline:
                time.sleep(0.1)
            if self.engine.wal_size() > WAL_IDLE_BOUND:
                self.rec.write(
                    "leftover",
                    what="the -wal file is %.1f MB 5 s after traffic stopped (bound %d MB)"
                    % (self.engine.wal_size() / 2**20, WAL_IDLE_BOUND >> 20),
                )
        self.engine.close(runner)


def _proxy_kind(fault):
    if fault.kind == "lose" and fault.key:
        return "lose_replies_past_retries"
    if fault.kind == "lose":
        return "lose_replies_past_timeout" if fault.hold else "lose_reply"
    return "%s_request" % fault.kind


def _strike(run, name, number):
    rng = random.Random("%s/%s/%d" % (run.seed, name, number))
    NEMESES[name](run, rng)


def run_engine(name, seconds, seed, workdir, nemeses=None, wait_bound=None, out=print):
    """One engine's run with ``nemeses`` (by name; None: all that apply) and the engine's
    wait bound, or ``wait_bound``; returns the checker's report."""
    started = time.monotonic()
    chaos = Run(name, seconds, seed, workdir, nemeses, wait_bound)
    try:
        chaos.run()
    finally:
        for group in chaos.groups:
            try:
                os.killpg(group, signal.SIGKILL)
            except ProcessLookupError:
                pass
    report = checker.check(load(chaos.history), chaos.engine, seed)
    report.expected_faults = chaos.nemeses
    replay = "make chaos CHAOS_ENGINES=%s CHAOS_SEED=%s CHAOS_SECONDS=%d" % (name, seed, seconds)
    if nemeses is not None:
        replay += " CHAOS_NEMESES=" + ",".join(nemeses)
    if wait_bound is not None:
        replay += " CHAOS_WAIT_BOUND=%g" % wait_bound
    out(report.summary(name, replay, time.monotonic() - started))
    return report


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--engines", default=",".join(ENGINES))
    parser.add_argument("--seconds", type=float, default=180.0, help="per engine")
    parser.add_argument("--seed", default=None)
    parser.add_argument("--nemeses", default=None, help="only these (default: all that apply)")
    parser.add_argument(
        "--wait-bound",
        type=float,
        default=None,
        help="seconds a wait may sleep once what it waits for is there",
    )
    parser.add_argument("--keep", default=None, help="keep histories and logs under this dir")
    options = parser.parse_args(argv)
    seed = options.seed or str(random.SystemRandom().randrange(10**9))
    failed = False
    for name in options.engines.split(","):
        workdir = tempfile.mkdtemp(prefix="chaos-%s-" % name, dir=options.keep)
        nemeses = options.nemeses.split(",") if options.nemeses else None
        report = run_engine(name, options.seconds, seed, workdir, nemeses, options.wait_bound)
        failed |= bool(report.violations)
        if options.keep is None and not report.violations:
            import shutil

            shutil.rmtree(workdir, ignore_errors=True)
        else:
            print("  history and logs kept in %s" % workdir)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
