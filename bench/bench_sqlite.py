#!/usr/bin/env python3
"""The SQLite engine beside the Redis engine on loopback and beside the standard library's
cross-process answer, a multiprocessing.Manager.

Measured in one run, side by side (the variants of a section take turns within every repeat,
in a rotating order, so that this shared machine's bursts fall on all of them alike; ratios
are medians of the per-repeat ratios):

1. Latency, one process: wall time per claim_task + release, per send_message + drain_inbox
   and per status, median and p99, with the client's CPU time beside it, for
   - the SQLite engine on a file in a scratch directory (WAL, synchronous NORMAL),
   - the Redis engine on a redis-server that this script starts (127.0.0.1, no persistence),
   - for claim + release, a ``multiprocessing.Manager`` dict of claims and one of statuses,
     guarded by a Manager ``Lock``, doing the same bookkeeping as a claim and a release (the
     lease test, the holder check, the status), without an activity log;
   - what recording presence costs: the SQLite pairs, and an inbox of one message, through an
     object that records no presence ("no presence") beside the ordinary one (which records
     an agent at most once a second), and through one that records it at every call
     ("every call": the worst case, an object serving more agents than calls per second).
2. Throughput of claim + release from 1 process and from 8 at once on one file (each process
   its own agent and task), and where the time goes: CPU per pair in each process, how often
   a call found the write lock taken and how long it slept waiting for it; the same for empty
   write transactions (BEGIN IMMEDIATE, COMMIT) through the plain sqlite3 module, the floor
   that SQLite's locking sets; and, in one process, the share of a pair's CPU time spent
   holding the write lock (from BEGIN IMMEDIATE to COMMIT), the part that processes cannot
   overlap.

Usage (scripts/bench.sh runs it with PYTHONPATH=build-bench:src):
    .venv/bin/python bench/bench_sqlite.py [--repeats 7] [--pairs 400] [--seconds 0.5]
        [--processes 8] [--output build-bench/sqlite.json]
"""

from __future__ import annotations

import argparse
import datetime
import json
import multiprocessing
import os
import platform
import sqlite3
import statistics
import sys
import tempfile
import time
from pathlib import Path

import redis

import durnel
from durnel.contract import LEASE_SECONDS
from durnel.sqlite import transactions

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "python"))
from redis_servers import RedisServer  # noqa: E402  (the test suite's server fixture)

NAMESPACE = "bench"
CONTENT = "status report: build 42 passed"
CHECK_EVERY = 8  # calls between two looks at the clock in a throughput window


# ---- the operations: each a callable that runs one pair of calls (one call for status) ----


def claim_release(state, index):
    me, task = "agent-%d" % index, "task-%d" % index
    key = "task:" + task

    def op():
        state.claim_task(me, task)
        state.release(me, key)

    return op


def send_drain(state, index):
    me, box = "agent-%d" % index, "mbox-%d" % index

    def op():
        state.send_message(me, box, CONTENT)
        if len(state.drain_inbox(box)) != 1:
            raise AssertionError("drain_inbox(%r) did not return one message" % box)

    return op


def status(state, index):
    me = "watched-%d" % index
    try:
        state.claim_task(me, "held-%d" % index)  # a known, busy agent
    except RuntimeError:  # held since an earlier run on the same file or server
        pass

    def op():
        if state.status(me) != "busy":
            raise AssertionError("status(%r) is not busy" % me)

    return op


class ManagerClaims:
    """Claims and statuses in Manager dicts under one Manager Lock: every proxy call is a
    round trip to the manager's process."""

    def __init__(self, shared):
        self.lock, self.claims, self.statuses = shared

    def claim_task(self, agent, task):
        key, now = "task:" + task, int(time.time())
        self.lock.acquire()
        try:
            held = self.claims.get(key)
            if held is not None and now - held[1] < LEASE_SECONDS:
                raise RuntimeError("%s already holds claim on task %s" % (held[0], task))
            self.claims[key] = (agent, now)
            self.statuses[agent] = "busy"
        finally:
            self.lock.release()
        return agent

    def release(self, agent, key):
        self.lock.acquire()
        try:
            held = self.claims.get(key)
            if held is None or held[0] != agent:
                raise RuntimeError("%s cannot release %s" % (agent, key))
            del self.claims[key]
            self.statuses[agent] = "idle"
        finally:
            self.lock.release()


def inbox(state, index):
    me, box = "reader-%d" % index, "kept-%d" % index
    state.drain_inbox(box)
    state.send_message(me, box, CONTENT)

    def op():
        if len(state.inbox(box)) != 1:
            raise AssertionError("inbox(%r) does not hold one message" % box)

    return op


class _Forgetful(dict):
    """An object's record of when it next records each agent: at once, always."""

    def __setitem__(self, key, value):
        pass


class _Never(dict):
    """An object's record of when it next records each agent: never."""

    def get(self, key, default=None):
        return float("inf")


def presence_variants(url, index):
    """The SQLite pairs and an inbox through objects that record presence as usual, never,
    and at every call."""
    usual, never, always = (durnel.connect(url, namespace=NAMESPACE) for _ in range(3))
    never._seen = _Never()
    always._seen = _Forgetful()
    ops = {}
    for make, name in (
        (claim_release, "claim+release"),
        (send_drain, "send+drain"),
        (inbox, "inbox"),
    ):
        ops["sqlite " + name] = make(usual, index)
        ops["sqlite %s, no presence" % name] = make(never, index + 1000)
        ops["sqlite %s, every call" % name] = make(always, index + 2000)
    return ops


def make_ops(where, index):
    """The variants of section 1 for process ``index``: name -> op."""
    sqlite_state = durnel.connect(where["sqlite"], namespace=NAMESPACE)
    redis_state = durnel.connect(where["redis"], namespace=NAMESPACE)
    ops = presence_variants(where["sqlite"], index)
    ops.update(
        {
            "redis claim+release": claim_release(redis_state, index),
            "redis send+drain": send_drain(redis_state, index),
            "sqlite status": status(sqlite_state, index),
            "redis status": status(redis_state, index),
        }
    )
    if "manager" in where:
        ops["manager claim+release"] = claim_release(ManagerClaims(where["manager"]), index)
    return ops


# ---- 1. latency, in this process ----


def measure_latency(where, repeats, pairs):
    ops = make_ops(where, 0)
    for op in ops.values():  # connections open, scripts cached, statements prepared
        for _ in range(50):
            op()
    names = list(ops)
    samples = {name: [] for name in names}
    medians = {name: [] for name in names}
    cpu = {name: [] for name in names}
    perf, thread_time = time.perf_counter_ns, time.thread_time_ns
    for repeat in range(repeats):
        for name in names[repeat % len(names) :] + names[: repeat % len(names)]:
            op, batch = ops[name], [0] * pairs
            cpu_start = thread_time()
            for i in range(pairs):
                start = perf()
                op()
                batch[i] = perf() - start
            cpu[name].append((thread_time() - cpu_start) / pairs)
            samples[name].extend(batch)
            medians[name].append(statistics.median(batch))
    result = {}
    for name, values in samples.items():
        values.sort()
        result[name] = {
            "median_us": statistics.median(values) / 1e3,
            "p99_us": values[min(len(values) - 1, int(len(values) * 0.99))] / 1e3,
            "client_cpu_us": statistics.median(cpu[name]) / 1e3,
            "repeat_medians_us": [m / 1e3 for m in medians[name]],
        }
    return result


# ---- 2. throughput from several processes on one file ----


class _CountedPatience(transactions._Patience):
    """The engine's waits for the write lock, counted (in the worker processes only)."""

    waits = 0
    slept = 0.0

    def wait(self, where):
        start = time.perf_counter()
        try:
            super().wait(where)
        finally:
            _CountedPatience.waits += 1
            _CountedPatience.slept += time.perf_counter() - start


def empty_transactions(path):
    connection = sqlite3.connect(path, timeout=5, isolation_level=None)
    connection.execute("PRAGMA synchronous = NORMAL")

    def op():
        connection.execute("BEGIN IMMEDIATE")
        connection.execute("COMMIT")
        connection.execute("BEGIN IMMEDIATE")
        connection.execute("COMMIT")

    return op


THROUGHPUT_VARIANTS = ("sqlite claim+release", "2 empty write transactions")


def _worker(where, index, connection):
    """Runs ("run", variant, start, stop) commands from the parent: pairs done in the
    window, with the CPU time, waits and sleep they took."""
    transactions._Patience = _CountedPatience
    monotonic = time.monotonic
    try:
        state = durnel.connect(where["sqlite"], namespace=NAMESPACE)
        ops = {
            "sqlite claim+release": claim_release(state, 100 + index),
            "2 empty write transactions": empty_transactions(where["sqlite_path"]),
        }
        for op in ops.values():
            for _ in range(20):
                op()
        connection.send(("ready", None))
    except Exception as error:
        connection.send(("error", "%s: %s" % (type(error).__name__, error)))
        return
    while True:
        command = connection.recv()
        if command[0] == "stop":
            return
        _, name, start, stop = command
        try:
            op = ops[name]
            while monotonic() < start:
                time.sleep(0.001)
            waits, slept, cpu = _CountedPatience.waits, _CountedPatience.slept, time.thread_time()
            done = 0
            while monotonic() < stop:
                for _ in range(CHECK_EVERY):
                    op()
                done += CHECK_EVERY
            connection.send(
                (
                    "ok",
                    {
                        "done": done,
                        "span": monotonic() - start,
                        "cpu": time.thread_time() - cpu,
                        "waits": _CountedPatience.waits - waits,
                        "slept": _CountedPatience.slept - slept,
                    },
                )
            )
        except Exception as error:
            connection.send(("error", "%s: %s" % (type(error).__name__, error)))


class Pool:
    def __init__(self, where, processes):
        context = multiprocessing.get_context("spawn")
        self.links, self.processes = [], []
        for index in range(processes):
            parent, child = context.Pipe()
            process = context.Process(target=_worker, args=(where, index, child), daemon=True)
            process.start()
            self.links.append(parent)
            self.processes.append(process)
        for link in self.links:
            status, detail = link.recv()
            if status != "ready":
                raise SystemExit("bench: a worker could not start: %s" % detail)

    def run(self, name, processes, seconds):
        start = time.monotonic() + 0.05 + 0.01 * processes
        for link in self.links[:processes]:
            link.send(("run", name, start, start + seconds))
        reports = []
        for link in self.links[:processes]:
            status, report = link.recv()
            if status != "ok":
                raise SystemExit("bench: a worker failed on %s: %s" % (name, report))
            reports.append(report)
        done = sum(r["done"] for r in reports)
        return {
            "pairs_per_s": done / max(r["span"] for r in reports),
            "cpu_us_per_pair": sum(r["cpu"] for r in reports) / done * 1e6,
            "waits_per_pair": sum(r["waits"] for r in reports) / done,
            "slept_us_per_pair": sum(r["slept"] for r in reports) / done * 1e6,
        }

    def close(self):
        for link in self.links:
            link.send(("stop",))
        for process in self.processes:
            process.join(timeout=10)


def measure_throughput(where, repeats, seconds, processes):
    pool = Pool(where, processes)
    counts = (1, processes)
    runs = {(name, n): [] for name in THROUGHPUT_VARIANTS for n in counts}
    try:
        for repeat in range(repeats):
            for name in THROUGHPUT_VARIANTS[repeat % 2 :] + THROUGHPUT_VARIANTS[: repeat % 2]:
                for n in counts if repeat % 2 == 0 else counts[::-1]:
                    runs[(name, n)].append(pool.run(name, n, seconds))
    finally:
        pool.close()
    result = {}
    for name in THROUGHPUT_VARIANTS:
        row = {}
        for n in counts:
            for key in runs[(name, n)][0]:
                row["%s_%d" % (key, n)] = statistics.median(r[key] for r in runs[(name, n)])
        one = [r["pairs_per_s"] for r in runs[(name, 1)]]
        many = [r["pairs_per_s"] for r in runs[(name, processes)]]
        row["scaling"] = statistics.median(b / a for a, b in zip(one, many))
        result[name] = row
    return result


class _LockTimer:
    """The engine's cursor, timing the CPU from each BEGIN IMMEDIATE to its COMMIT."""

    def __init__(self, cursor):
        self.cursor, self.held, self.began = cursor, 0.0, 0.0

    def execute(self, sql, *arguments):
        result = self.cursor.execute(sql, *arguments)
        if sql == "BEGIN IMMEDIATE":
            self.began = time.thread_time()
        elif sql == "COMMIT":
            self.held += time.thread_time() - self.began
        return result

    def __getattr__(self, name):
        return getattr(self.cursor, name)


def measure_lock_share(where, pairs, repeats):
    """Median share of a claim+release pair's CPU time spent between BEGIN IMMEDIATE and
    COMMIT (the engine's private per-thread link is wrapped for this)."""
    state = durnel.connect(where["sqlite"], namespace=NAMESPACE)
    op = claim_release(state, 50)
    op()
    link = state._connections._local.link
    timer = link.cursor = _LockTimer(link.cursor)
    shares = []
    for _ in range(repeats):
        timer.held, start = 0.0, time.thread_time()
        for _ in range(pairs):
            op()
        shares.append(timer.held / (time.thread_time() - start))
    state.close()
    return statistics.median(shares)


# ---- the report ----


def paired_ratio(latency, a, b):
    pairs = zip(latency[a]["repeat_medians_us"], latency[b]["repeat_medians_us"])
    return statistics.median(x / y for x, y in pairs)


def report(latency, throughput, lock_share, processes):
    print("Latency, 1 process, per pair of calls (per call for status)")
    print("  %-28s %10s %10s %12s" % ("", "median", "p99", "client CPU"))
    for name, row in latency.items():
        print(
            "  %-28s %7.1f us %7.1f us %9.1f us"
            % (name, row["median_us"], row["p99_us"], row["client_cpu_us"])
        )
    goals = [
        (
            "SQLite / Redis engine, claim+release latency",
            paired_ratio(latency, "sqlite claim+release", "redis claim+release"),
            "<=",
            0.5,
        ),
        (
            "SQLite / Redis engine, send+drain latency",
            paired_ratio(latency, "sqlite send+drain", "redis send+drain"),
            "<=",
            0.5,
        ),
        (
            "SQLite / Redis engine, status latency",
            paired_ratio(latency, "sqlite status", "redis status"),
            "<=",
            0.5,
        ),
    ]
    for name in ("claim+release", "send+drain", "inbox"):
        goals.append(
            (
                "presence recorded / not, SQLite %s" % name,
                paired_ratio(latency, "sqlite " + name, "sqlite %s, no presence" % name),
                "<=",
                1.05,
            )
        )
    if "manager claim+release" in latency:
        goals.append(
            (
                "Manager dict+Lock / SQLite, claim+release latency",
                paired_ratio(latency, "manager claim+release", "sqlite claim+release"),
                ">=",
                3.0,
            )
        )
    print()
    print("Presence recorded at every call (the worst case) / none, median per-repeat ratio")
    for name in ("claim+release", "send+drain", "inbox"):
        every = paired_ratio(
            latency, "sqlite %s, every call" % name, "sqlite %s, no presence" % name
        )
        print("  SQLite %-20s %6.2fx" % (name, every))
    print()
    print("Throughput, pairs per second from 1 and from %d processes on one file" % processes)
    print(
        "  %-28s %10s %10s %8s %10s %10s %12s %12s"
        % (
            "",
            "1 process",
            "%d procs" % processes,
            "scaling",
            "CPU/pair 1",
            "CPU/pair N",
            "waits/pair N",
            "slept/pair N",
        )
    )
    for name, row in throughput.items():
        print(
            "  %-28s %10.0f %10.0f %7.2fx %7.1f us %7.1f us %12.2f %9.1f us"
            % (
                name,
                row["pairs_per_s_1"],
                row["pairs_per_s_%d" % processes],
                row["scaling"],
                row["cpu_us_per_pair_1"],
                row["cpu_us_per_pair_%d" % processes],
                row["waits_per_pair_%d" % processes],
                row["slept_us_per_pair_%d" % processes],
            )
        )
    print(
        "  one process spends %.0f%% of a claim+release pair's CPU time holding the write lock"
        % (lock_share * 100)
    )
    goals.append(
        (
            "%d-process / 1-process claim+release throughput" % processes,
            throughput["sqlite claim+release"]["scaling"],
            ">=",
            1.0,
        )
    )
    print()
    print("Ratios (medians of per-repeat ratios) and goals")
    for text, value, sense, goal in goals:
        met = value <= goal if sense == "<=" else value >= goal
        print(
            "  %-55s %6.2fx  goal %s %gx: %s"
            % (text, value, sense, goal, "met" if met else "NOT met")
        )
    return goals


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--pairs", type=int, default=400, help="pairs per latency batch")
    parser.add_argument("--seconds", type=float, default=0.5, help="throughput window")
    parser.add_argument("--processes", type=int, default=8)
    parser.add_argument("--output", default=str(REPO / "build-bench" / "sqlite.json"))
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="durnel-bench-sqlite-") as workdir:
        server = RedisServer(os.path.join(workdir, "redis"))
        manager = multiprocessing.get_context("spawn").Manager()
        try:
            path = os.path.join(workdir, "state.db")
            where = {
                "sqlite": "sqlite:///" + path,
                "sqlite_path": path,
                "redis": server.url,
                "manager": (manager.Lock(), manager.dict(), manager.dict()),
            }
            info = redis.Redis.from_url(server.url).info("server")
            print(
                "SQLite %s (file in %s), redis-server %s on loopback, Python %s, %d CPUs, load "
                "average %.1f; %d repeats"
                % (
                    sqlite3.sqlite_version,
                    workdir,
                    info["redis_version"],
                    platform.python_version(),
                    os.cpu_count(),
                    os.getloadavg()[0],
                    args.repeats,
                )
            )
            latency = measure_latency(where, args.repeats, args.pairs)
            del where["manager"]  # proxies do not cross to spawned workers
            throughput = measure_throughput(where, args.repeats, args.seconds, args.processes)
            lock_share = measure_lock_share(where, args.pairs, args.repeats)
        finally:
            manager.shutdown()
            server.stop()
    goals = report(latency, throughput, lock_share, args.processes)
    output = Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(
        json.dumps(
            {
                "when": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
                "sqlite": sqlite3.sqlite_version,
                "python": platform.python_version(),
                "cpus": os.cpu_count(),
                "arguments": vars(args),
                "latency": latency,
                "throughput": throughput,
                "lock_held_share_of_cpu": lock_share,
                "ratios": [
                    {"what": t, "ratio": v, "goal": "%s %g" % (s, g)} for t, v, s, g in goals
                ],
            },
            indent=1,
        )
    )
    print("\nraw results: %s" % output)


if __name__ == "__main__":
    main()
