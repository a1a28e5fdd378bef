#!/usr/bin/env python3
"""The Redis engine on loopback, beside redis-py's own Lock and plain list commands.

Measured against a redis-server that this script starts itself (127.0.0.1, a free port, no
persistence) and stops at the end:

1. Latency, one process: wall time per pair of calls (claim_task + release, send_message +
   drain_inbox, ...) or per broadcast to 100 agents, median and p99, with the client's CPU
   time per pair beside it. Every variant runs a batch of calls in each repeat, the variants
   in a rotating order, so that the machine's bursts fall on all of them alike; ratios are
   medians of the per-repeat ratios of median latencies.
2. Throughput: calls per second of the same variants from 1 process and from 8 processes at
   once (each process its own agent, task, lock and list), over a fixed window, interleaved
   the same way; ratios are medians of the per-repeat ratios.
3. Round trips: every method called once with MONITOR watching, after the function library
   (or Lock's script) is on the server. Commands sent by the client are round trips;
   commands that a function or script ran are listed apart. Server time per call is
   commandstats' usec of the client's commands over a separate run without MONITOR
   (MONITOR slows the server down).
4. Server work per pair: claim_task+release, send_message+drain_inbox and Lock
   acquire+release, each pair on the same task, mailbox or lock: the commands the server
   ran (client's and inside scripts), commandstats usec and server CPU, and their ratios to
   Lock's in the same run. With --before SRC, the same is measured for the durnel package in
   SRC (e.g. an export of main's src/) in child processes alternating with this tree's,
   against the same server, and printed side by side; with --callgrind N, also the
   instructions a redis-server under callgrind runs per pair for each tree (repeatable).

This is a plain interleaved-repeats harness rather than pyperf: pyperf's runner spawns its
own worker processes per benchmark and has no notion of 8 clients loading one server at
once, while the ratios here must come from samples taken side by side.

Between batches, and untimed, the activity log stream and the inboxes that a batch filled
are deleted, so every batch meets the same server state.

Usage (scripts/bench.sh runs it with PYTHONPATH=build-bench:src):
    .venv/bin/python bench/bench_redis.py [--repeats 5] [--pairs 1000] [--seconds 1.0]
        [--processes 8] [--output build-bench/redis.json] [--before OTHER/src [--work-only]]
"""

from __future__ import annotations

import argparse
import datetime
import json
import multiprocessing
import os
import platform
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

import redis

import durnel

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "python"))
from redis_servers import RedisServer  # noqa: E402  (the test suite's server fixture)

NAMESPACE = "bench"
BROADCAST_NAMESPACE = "bench-broadcast"  # its roster is exactly the 100 peers below
PEERS = ["peer-%03d" % i for i in range(100)]
CONTENT = "status report: build 42 passed"
LOCK_TIMEOUT = 300  # the lock expires after the claim lease, so both keep their key alive
CHECK_EVERY = 8  # calls between two looks at the clock in a throughput window


# ---- the variants: each makes, in one process, a callable that runs one pair of calls ----


def _prefix(index):
    return "w%d" % index


class Variant:
    """One measured operation. `make(url, index)` returns (op, calls per op, cleanup keys)."""

    name = ""
    label = ""
    calls = 2

    def make(self, url, index):
        raise NotImplementedError


class ClaimRelease(Variant):
    calls = 2

    def __init__(self, fresh):
        self.fresh = fresh
        self.name = "claim+release/" + ("fresh" if fresh else "same")
        self.label = "durnel claim_task+release, %s task" % ("fresh" if fresh else "same")

    def make(self, url, index):
        state = durnel.connect(url, namespace=NAMESPACE)
        me, task = "agent-" + _prefix(index), "task-" + _prefix(index)
        if not self.fresh:
            key = "task:" + task

            def op():
                state.claim_task(me, task)
                state.release(me, key)

            return op
        counter = iter(range(1 << 62))

        def op():
            name = "%s-%d" % (task, next(counter))
            state.claim_task(me, name)
            state.release(me, "task:" + name)

        return op


class LockAcquireRelease(Variant):
    calls = 2

    def __init__(self, fresh):
        self.fresh = fresh
        self.name = "lock/" + ("fresh" if fresh else "same")
        self.label = "redis-py Lock acquire+release, %s name" % ("fresh" if fresh else "same")

    def make(self, url, index):
        client = redis.Redis.from_url(url)
        base = "lock:" + _prefix(index)
        if not self.fresh:
            lock = client.lock(base, timeout=LOCK_TIMEOUT)

            def op():
                if not lock.acquire(blocking=False):
                    raise AssertionError("uncontended lock %s refused" % base)
                lock.release()

            return op
        counter = iter(range(1 << 62))

        def op():
            lock = client.lock("%s:%d" % (base, next(counter)), timeout=LOCK_TIMEOUT)
            if not lock.acquire(blocking=False):
                raise AssertionError("uncontended lock refused")
            lock.release()

        return op


class SendDrain(Variant):
    name = "send+drain"
    label = "durnel send_message+drain_inbox"
    calls = 2

    def make(self, url, index):
        state = durnel.connect(url, namespace=NAMESPACE)
        me, box = "agent-" + _prefix(index), "mbox-" + _prefix(index)

        def op():
            state.send_message(me, box, CONTENT)
            if len(state.drain_inbox(box)) != 1:
                raise AssertionError("drain_inbox(%r) did not return one message" % box)

        return op


class PushPop(Variant):
    name = "rpush+lpop"
    label = "plain RPUSH+LPOP"
    calls = 2

    def make(self, url, index):
        client = redis.Redis.from_url(url)
        key = "list:" + _prefix(index)

        def op():
            client.rpush(key, CONTENT)
            if client.lpop(key) is None:
                raise AssertionError("LPOP %s found nothing" % key)

        return op


class Broadcast(Variant):
    name = "broadcast/100"
    label = "durnel broadcast to 100 agents"
    calls = 1

    def make(self, url, index):
        state = durnel.connect(url, namespace=BROADCAST_NAMESPACE)
        me = PEERS[index % len(PEERS)]

        def op():
            state.broadcast(me, CONTENT)

        return op


class MultiPush(Variant):
    name = "multi-rpush/100"
    label = "MULTI, RPUSH to 100 lists, EXEC"
    calls = 1

    def make(self, url, index):
        client = redis.Redis.from_url(url)
        keys = ["ref-inbox:" + peer for peer in PEERS]

        def op():
            pipe = client.pipeline(transaction=True)
            for key in keys:
                pipe.rpush(key, CONTENT)
            pipe.execute()

        return op


VARIANTS = [
    ClaimRelease(False),
    LockAcquireRelease(False),
    ClaimRelease(True),
    LockAcquireRelease(True),
    SendDrain(),
    PushPop(),
    Broadcast(),
    MultiPush(),
]
BY_NAME = {variant.name: variant for variant in VARIANTS}


def register_peers(url):
    """Puts the 100 peers on the broadcast namespace's roster: a message registers its
    recipient (and the coordinator, its sender, would be a 101st agent: it is removed)."""
    state = durnel.connect(url, namespace=BROADCAST_NAMESPACE)
    for peer in PEERS:
        state.send_message(PEERS[0], peer, "hello")
    client = redis.Redis.from_url(url)
    roster = client.hkeys("durnel:{%s}:status" % BROADCAST_NAMESPACE)
    if sorted(r.decode() for r in roster) != PEERS:
        raise SystemExit(
            "bench: the broadcast roster is %d agents, not the 100 peers" % len(roster)
        )
    reset(client)
    state.close()
    client.close()


def reset(client):
    """Untimed: drops what batches accumulate (log streams, inboxes, reference lists) and
    keeps claims, statuses and rosters."""
    doomed = []
    for pattern in ("durnel:{*}:log", "durnel:{%s}:inbox:*" % BROADCAST_NAMESPACE, "ref-inbox:*"):
        doomed.extend(client.scan_iter(match=pattern, count=1000))
    for start in range(0, len(doomed), 500):
        client.delete(*doomed[start : start + 500])


# ---- 1. latency, in this process ----


def measure_latency(url, repeats, pairs):
    client = redis.Redis.from_url(url)
    ops = {variant.name: variant.make(url, 0) for variant in VARIANTS}
    for op in ops.values():  # library loaded, connections open
        for _ in range(20):
            op()
    reset(client)
    samples = {name: [] for name in ops}  # per-op ns, all repeats
    medians = {name: [] for name in ops}  # per-repeat medians
    cpu = {name: [] for name in ops}  # per-repeat client CPU ns per op
    perf, thread_time = time.perf_counter_ns, time.thread_time_ns
    for repeat in range(repeats):
        order = VARIANTS[repeat % len(VARIANTS) :] + VARIANTS[: repeat % len(VARIANTS)]
        for variant in order:
            op = ops[variant.name]
            count = pairs if variant.calls == 2 else max(pairs // 4, 50)
            batch = [0] * count
            cpu_start = thread_time()
            for i in range(count):
                start = perf()
                op()
                batch[i] = perf() - start
            cpu[variant.name].append((thread_time() - cpu_start) / count)
            samples[variant.name].extend(batch)
            medians[variant.name].append(statistics.median(batch))
            reset(client)
    client.close()
    result = {}
    for name, values in samples.items():
        values.sort()
        result[name] = {
            "median_us": statistics.median(values) / 1e3,
            "p99_us": values[min(len(values) - 1, int(len(values) * 0.99))] / 1e3,
            "client_cpu_us": statistics.median(cpu[name]) / 1e3,
            "repeat_medians_us": [m / 1e3 for m in medians[name]],
            "samples": len(values),
        }
    return result


# ---- 2. throughput, from a pool of worker processes ----


def _worker(url, index, connection):
    """Runs commands from the parent: ("run", variant, start, stop) -> ops done in the
    window [start, stop) of time.monotonic (one clock for all processes on Linux)."""
    monotonic = time.monotonic
    try:  # every connection open and the library loaded before the first window
        ops = {variant.name: variant.make(url, index) for variant in VARIANTS}
        for op in ops.values():
            for _ in range(20):
                op()
        connection.send(("ready", 0, 0.0))
    except Exception as error:
        connection.send(("error", "%s: %s" % (type(error).__name__, error), 0.0))
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
            done = 0
            while monotonic() < stop:
                for _ in range(CHECK_EVERY):
                    op()
                done += CHECK_EVERY
            connection.send(("ok", done, monotonic() - start))
        except Exception as error:  # reported by the parent, which stops the run
            connection.send(("error", "%s: %s" % (type(error).__name__, error), 0.0))


class Pool:
    def __init__(self, url, processes):
        context = multiprocessing.get_context("spawn")
        self.links, self.processes = [], []
        for index in range(processes):
            parent, child = context.Pipe()
            process = context.Process(target=_worker, args=(url, index, child), daemon=True)
            process.start()
            self.links.append(parent)
            self.processes.append(process)
        for link in self.links:
            status, detail, _ = link.recv()
            if status != "ready":
                raise SystemExit("bench: a worker could not start: %s" % detail)

    def run(self, name, processes, seconds):
        """Ops per second of `processes` workers running `name` at once."""
        start = time.monotonic() + 0.05 + 0.01 * processes
        for link in self.links[:processes]:
            link.send(("run", name, start, start + seconds))
        total, spans = 0, []
        for link in self.links[:processes]:
            status, done, span = link.recv()
            if status != "ok":
                raise SystemExit("bench: a worker failed on %s: %s" % (name, done))
            total += done
            spans.append(span)
        # The last op of each worker may end after `stop`: divide by the longest span.
        return total / max(spans)

    def close(self):
        for link in self.links:
            link.send(("stop",))
        for process in self.processes:
            process.join(timeout=10)


def measure_throughput(url, repeats, seconds, processes):
    client = redis.Redis.from_url(url)
    pool = Pool(url, processes)
    reset(client)  # what the workers' warm-up calls left
    counts = (1, processes)
    rates = {(v.name, n): [] for v in VARIANTS for n in counts}
    try:
        for repeat in range(repeats):
            order = VARIANTS[repeat % len(VARIANTS) :] + VARIANTS[: repeat % len(VARIANTS)]
            for variant in order:
                for n in counts if repeat % 2 == 0 else counts[::-1]:
                    rates[(variant.name, n)].append(pool.run(variant.name, n, seconds))
                    reset(client)
    finally:
        pool.close()
        client.close()
    result = {}
    for variant in VARIANTS:
        one, many = rates[(variant.name, 1)], rates[(variant.name, processes)]
        result[variant.name] = {
            "ops_per_s_1": statistics.median(one),
            "ops_per_s_n": statistics.median(many),
            "scaling": statistics.median(b / a for a, b in zip(one, many)),
            "repeats_1": one,
            "repeats_n": many,
        }
    return result, rates


# ---- 3. round trips and server time ----

METHOD_CALLS = [
    ("claim_file", lambda s, n: s.claim_file("rt-agent", "src/rt-%d.py" % n)),
    ("claim_task", lambda s, n: s.claim_task("rt-agent", "rt-%d" % n)),
    ("renew_claim", lambda s, n: s.renew_claim("rt-agent", "task:rt-%d" % n)),
    ("release", lambda s, n: s.release("rt-agent", "task:rt-%d" % n)),
    ("send_message", lambda s, n: s.send_message("rt-agent", "rt-box", CONTENT)),
    ("inbox", lambda s, n: s.inbox("rt-peek")),  # one message
    ("drain_inbox", lambda s, n: s.drain_inbox("rt-box")),
    ("status", lambda s, n: s.status("rt-agent")),
]


def _lock_calls(client):
    locks = {}

    def acquire(_state, n):
        locks[n] = client.lock("rt-lock:%d" % n, timeout=LOCK_TIMEOUT)
        locks[n].acquire(blocking=False)

    def release(_state, n):
        locks.pop(n).release()

    return [("Lock.acquire", acquire), ("Lock.release", release)]


class Monitor:
    """MONITOR on a connection of its own, in a thread: the commands of every client, each
    marked with where it came from ("lua" for a command that a script ran)."""

    END = "durnel-bench-monitor-end"

    def __init__(self, url):
        self.client = redis.Redis.from_url(url)
        self.commands = []
        self.ready = threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()
        self.ready.wait(5)

    def _watch(self):
        with self.client.monitor() as monitor:
            self.ready.set()
            while True:
                entry = monitor.next_command()
                if self.END in entry["command"]:
                    return
                self.commands.append(entry)

    def stop(self, client):
        client.echo(self.END)
        self.thread.join(10)
        self.client.close()


def count_round_trips(url, calls_per_method, namespace="bench-roundtrips"):
    state = durnel.connect(url, namespace=namespace)
    peers = durnel.connect(url, namespace=BROADCAST_NAMESPACE)
    client = redis.Redis.from_url(url)
    # The broadcast roster holds the 100 peers; a warm-up call of every method loads its
    # function (and Lock's release script) onto the server.
    methods = METHOD_CALLS + [("broadcast/100", lambda s, n: peers.broadcast(PEERS[0], CONTENT))]
    methods += _lock_calls(redis.Redis.from_url(url))
    state.send_message("rt-agent", "rt-peek", CONTENT)
    for _name, call in methods:
        call(state, -1)
    reset(client)
    own_id = client.client_id()  # this connection's commands (reset, stats) are not counted
    own_addr = next(c["addr"] for c in client.client_list() if int(c["id"]) == own_id)

    def commands_of(entries):
        return [
            e
            for e in entries
            if e.get("client_type") != "lua"
            and "%s:%s" % (e["client_address"], e["client_port"]) != own_addr
        ]

    result = {}
    for name, call in methods:
        monitor = Monitor(url)
        for n in range(calls_per_method):
            call(state, n)
        monitor.stop(client)
        sent = commands_of(monitor.commands)
        by_script = [e for e in monitor.commands if e.get("client_type") == "lua"]
        result[name] = {
            "client_commands": _tally(e["command"].split()[0].lower() for e in sent),
            "script_commands": _tally(e["command"].split()[0].lower() for e in by_script),
            "calls": calls_per_method,
        }
        # Server time per call, without MONITOR: commandstats' usec of the client's commands
        # (wall time inside the command, so it also counts the moments the server waited
        # for a core), and the server's CPU time (INFO cpu, all threads), which does not.
        timed = calls_per_method * 50
        client.config_resetstat()
        cpu_before = _server_cpu(client)
        for n in range(calls_per_method, calls_per_method + timed):
            call(state, n)
        cpu_after = _server_cpu(client)
        stats = client.info("commandstats")
        top = set(result[name]["client_commands"])
        usec = sum(v["usec"] for k, v in stats.items() if k[len("cmdstat_") :] in top)
        result[name]["server_us_per_call"] = usec / timed
        result[name]["server_cpu_us_per_call"] = (cpu_after - cpu_before) * 1e6 / timed
        if name == "drain_inbox" or name == "broadcast/100":
            reset(client)
    for name in result:
        for key in ("client_commands", "script_commands"):
            result[name][key] = {k: v / calls_per_method for k, v in result[name][key].items()}
    state.close()
    peers.close()
    client.close()
    return result


def _server_cpu(client):
    cpu = client.info("cpu")
    return float(cpu["used_cpu_user"]) + float(cpu["used_cpu_sys"])


def _tally(names):
    counts = {}
    for name in names:
        counts[name] = counts.get(name, 0) + 1
    return counts


# ---- 4. server work per pair, this tree beside another one (--before) ----


def _pair_ops(url, namespace):
    state = durnel.connect(url, namespace=namespace)
    client = redis.Redis.from_url(url)
    lock = client.lock("work-lock:" + namespace, timeout=LOCK_TIMEOUT)

    def claim_release():
        state.claim_task("w-agent", "w-task")
        state.release("w-agent", "task:w-task")

    def send_drain():
        state.send_message("w-agent", "w-box", CONTENT)
        if len(state.drain_inbox("w-box")) != 1:
            raise AssertionError("drain_inbox('w-box') did not return one message")

    def acquire_release():
        if not lock.acquire(blocking=False):
            raise AssertionError("uncontended lock refused")
        lock.release()

    ops = {
        "claim_task+release": claim_release,
        "send_message+drain_inbox": send_drain,
        "Lock acquire+release": acquire_release,
    }
    return ops, (state, client)


def server_work(url, pairs, namespace):
    """Per pair of calls, each pair repeated on the same task, mailbox or lock: the commands
    the server ran (sent by the client plus run inside scripts, from MONITOR over 20 pairs),
    commandstats' usec of the client's commands and the server's CPU time (INFO cpu)."""
    ops, owned = _pair_ops(url, namespace)
    client = redis.Redis.from_url(url)
    own_id = client.client_id()
    own_addr = next(c["addr"] for c in client.client_list() if int(c["id"]) == own_id)
    result = {}
    for name, op in ops.items():
        for _ in range(20):
            op()  # library loaded, connections open
        monitor = Monitor(url)
        for _ in range(20):
            op()
        monitor.stop(client)
        seen = [
            e
            for e in monitor.commands
            if "%s:%s" % (e["client_address"], e["client_port"]) != own_addr
            or e.get("client_type") == "lua"
        ]
        top = {e["command"].split()[0].lower() for e in seen if e.get("client_type") != "lua"}
        client.config_resetstat()
        cpu_before = _server_cpu(client)
        for _ in range(pairs):
            op()
        cpu_after = _server_cpu(client)
        stats = client.info("commandstats")
        usec = sum(v["usec"] for k, v in stats.items() if k[len("cmdstat_") :] in top)
        result[name] = {
            "commands": len(seen) / 20,
            "script_commands": _tally(
                e["command"].split()[0].lower() for e in seen if e.get("client_type") == "lua"
            ),
            "server_us": usec / pairs,
            "server_cpu_us": (cpu_after - cpu_before) * 1e6 / pairs,
        }
        for key in result[name]["script_commands"]:
            result[name]["script_commands"][key] /= 20
    owned[0].close()
    owned[1].close()
    client.close()
    return result


def _server_work_child(url, calls, namespace):
    if url == "callgrind":
        print(json.dumps(callgrind_pairs(calls)))
    else:
        print(json.dumps(server_work(url, calls, namespace)))


def callgrind_pairs(pairs, namespace="bench-callgrind"):
    """Instructions a redis-server runs per pair of calls (claim_task+release, send+drain,
    Lock acquire+release), counted by callgrind with instrumentation on only around each
    measured loop: repeatable where timings on a shared machine are not. The server runs
    under valgrind, started here on a free port."""
    import glob
    import shutil
    import subprocess

    from redis_servers import free_port

    if not shutil.which("valgrind") or not shutil.which("callgrind_control"):
        raise SystemExit("bench: --callgrind needs valgrind (Debian package valgrind)")
    with tempfile.TemporaryDirectory(prefix="durnel-bench-callgrind-") as workdir:
        out = os.path.join(workdir, "callgrind.out")
        port = free_port()
        server = subprocess.Popen(
            [
                "valgrind",
                "--tool=callgrind",
                "--instr-atstart=no",
                "--callgrind-out-file=" + out,
                "redis-server",
                "--port",
                str(port),
                "--bind",
                "127.0.0.1",
                "--save",
                "",
                "--dir",
                workdir,
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        url = "redis://127.0.0.1:%d/0" % port
        client = redis.Redis.from_url(url)
        deadline = time.monotonic() + 60
        while True:
            try:
                client.ping()
                break
            except redis.ConnectionError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

        def control(*args):
            subprocess.run(
                ["callgrind_control", *args, str(server.pid)], stdout=subprocess.DEVNULL, check=True
            )

        def dumped():
            control("-d")
            time.sleep(1.0)  # the dump is written by the server process, after the reply
            files = [f for f in glob.glob(out + ".*")]
            total = 0
            for name in files:
                with open(name) as handle:
                    total += sum(int(x.split()[1]) for x in handle if x.startswith("totals:"))
                os.remove(name)
            return total

        try:
            ops, owned = _pair_ops(url, namespace)
            result = {}
            for name, op in ops.items():
                for _ in range(50):
                    op()
                control("-i", "on")
                for _ in range(pairs):
                    op()
                control("-i", "off")
                result[name] = dumped() / pairs
            owned[0].close()
            owned[1].close()
        finally:
            client.close()
            server.terminate()
            server.wait(60)
    return result


def compare_server_work(url, before, calls, repeats, callgrind_pairs_count=0):
    """Server work per pair of this tree's durnel and of the one in `before` (a src directory),
    each run in a child process against the same server, alternating, `repeats` times each.
    Medians, and the ratio of each to Lock measured in the same child."""
    import subprocess

    runs = {"before": [], "after": []}
    here = os.environ.get("PYTHONPATH", "")
    build = [p for p in here.split(os.pathsep) if p and not p.rstrip("/").endswith("src")]
    trees = {"before": before, "after": str(REPO / "src")}
    for repeat in range(repeats):
        for name in ("before", "after") if repeat % 2 == 0 else ("after", "before"):
            env = dict(os.environ, PYTHONPATH=os.pathsep.join(build + [trees[name]]))
            child = subprocess.run(
                [
                    sys.executable,
                    __file__,
                    "--server-work-child",
                    url,
                    "--calls",
                    str(calls),
                    "--namespace",
                    "bench-work-%s-%d" % (name, repeat),
                ],
                env=env,
                capture_output=True,
                text=True,
                check=True,
            )
            runs[name].append(json.loads(child.stdout.splitlines()[-1]))
    summary = {}
    for name, samples in runs.items():
        summary[name] = {}
        for pair in samples[0]:
            lock = [s["Lock acquire+release"] for s in samples]
            mine = [s[pair] for s in samples]
            summary[name][pair] = {
                "server_us": statistics.median(m["server_us"] for m in mine),
                "server_cpu_us": statistics.median(m["server_cpu_us"] for m in mine),
                "commands": mine[0]["commands"],
                "server_us_over_lock": statistics.median(
                    m["server_us"] / k["server_us"] for m, k in zip(mine, lock)
                ),
                "server_cpu_over_lock": statistics.median(
                    m["server_cpu_us"] / k["server_cpu_us"] for m, k in zip(mine, lock)
                ),
            }
    print(
        "Server work per pair, this tree (after) beside %s (before), %d alternating runs"
        % (before, repeats)
    )
    print(
        "  %-26s %-7s %9s %9s %9s %9s %9s"
        % ("pair", "tree", "cmdstat", "/ Lock", "CPU", "/ Lock", "commands")
    )
    for pair in summary["after"]:
        for name in ("before", "after"):
            row = summary[name][pair]
            print(
                "  %-26s %-7s %6.1f us %8.2fx %6.1f us %8.2fx %9g"
                % (
                    pair,
                    name,
                    row["server_us"],
                    row["server_us_over_lock"],
                    row["server_cpu_us"],
                    row["server_cpu_over_lock"],
                    row["commands"],
                )
            )
    if callgrind_pairs_count:
        print(
            "Instructions the server runs per pair (callgrind, %d pairs each)"
            % callgrind_pairs_count
        )
        for name in ("before", "after"):
            env = dict(os.environ, PYTHONPATH=os.pathsep.join(build + [trees[name]]))
            child = subprocess.run(
                [
                    sys.executable,
                    __file__,
                    "--server-work-child",
                    "callgrind",
                    "--work-pairs",
                    str(callgrind_pairs_count),
                ],
                env=env,
                capture_output=True,
                text=True,
                check=True,
            )
            counts = json.loads(child.stdout.splitlines()[-1])
            lock = counts["Lock acquire+release"]
            for pair, instructions in counts.items():
                summary[name][pair]["instructions"] = instructions
                print("  %-26s %-7s %9.0f %8.2fx" % (pair, name, instructions, instructions / lock))
    return summary


# ---- the report ----


def paired_ratio(values_a, values_b):
    return statistics.median(a / b for a, b in zip(values_a, values_b))


def report(latency, throughput, rates, round_trips, work, processes):
    print("Latency, 1 process, per pair of calls (one call for the 100-agent rows)")
    print("  %-42s %9s %9s %12s" % ("", "median", "p99", "client CPU"))
    for variant in VARIANTS:
        row = latency[variant.name]
        print(
            "  %-42s %7.0f us %6.0f us %9.0f us"
            % (variant.label, row["median_us"], row["p99_us"], row["client_cpu_us"])
        )
    print()
    print("Throughput, pairs (or broadcasts) per second, %d processes beside 1" % processes)
    print("  %-42s %10s %10s %8s" % ("", "1 process", "%d procs" % processes, "scaling"))
    for variant in VARIANTS:
        row = throughput[variant.name]
        print(
            "  %-42s %10.0f %10.0f %7.2fx"
            % (variant.label, row["ops_per_s_1"], row["ops_per_s_n"], row["scaling"])
        )
    print()
    goals = []
    for kind in ("same", "fresh"):
        claim, lock = "claim+release/" + kind, "lock/" + kind
        goals.append(
            (
                "claim+release / Lock acquire+release, latency, %s name" % kind,
                paired_ratio(
                    latency[claim]["repeat_medians_us"], latency[lock]["repeat_medians_us"]
                ),
                "<=",
                1.1,
            )
        )
        goals.append(
            (
                "%d-process claim+release / Lock throughput, %s name" % (processes, kind),
                paired_ratio(rates[(claim, processes)], rates[(lock, processes)]),
                ">=",
                1.0,
            )
        )
        goals.append(
            (
                "%d-process / 1-process claim+release throughput, %s" % (processes, kind),
                throughput[claim]["scaling"],
                ">=",
                1.5,
            )
        )
    lock = work["Lock acquire+release"]
    for pair in ("claim_task+release", "send_message+drain_inbox"):
        goals.append(
            (
                "%s / Lock acquire+release, server time" % pair,
                work[pair]["server_us"] / lock["server_us"],
                "<=",
                4.0,
            )
        )
    goals.append(
        (
            "send+drain / RPUSH+LPOP, latency",
            paired_ratio(
                latency["send+drain"]["repeat_medians_us"],
                latency["rpush+lpop"]["repeat_medians_us"],
            ),
            "",
            None,
        )
    )
    goals.append(
        (
            "broadcast to 100 / MULTI RPUSH x100, latency",
            paired_ratio(
                latency["broadcast/100"]["repeat_medians_us"],
                latency["multi-rpush/100"]["repeat_medians_us"],
            ),
            "",
            None,
        )
    )
    print("Ratios (medians of per-repeat ratios) and goals")
    for text, value, sense, goal in goals:
        verdict = ""
        if goal is not None:
            met = value <= goal if sense == "<=" else value >= goal
            verdict = "goal %s %.1fx: %s" % (sense, goal, "met" if met else "NOT met")
        print("  %-60s %6.2fx  %s" % (text, value, verdict))
    print()
    print(
        "Round trips per call (MONITOR; scripts warm); server time per call: commandstats "
        "usec (wall) and\nthe server's CPU time (INFO cpu, includes reading and answering)"
    )
    print(
        "  %-14s %-18s %8s %8s  %s"
        % ("method", "sent by client", "cmdstat", "CPU", "run by the script")
    )
    exact = True
    for name, row in round_trips.items():
        sent = ", ".join("%g %s" % (v, k) for k, v in sorted(row["client_commands"].items()))
        inner = ", ".join("%g %s" % (v, k) for k, v in sorted(row["script_commands"].items()))
        if not name.startswith("Lock"):
            exact &= row["client_commands"] == {"fcall": 1.0}
        print(
            "  %-14s %-18s %5.1f us %5.1f us  %s"
            % (name, sent, row["server_us_per_call"], row["server_cpu_us_per_call"], inner)
        )
    print(
        "  every durnel method: exactly one FCALL per call, nothing else: %s"
        % ("yes" if exact else "NO")
    )

    print()
    print("Server work per pair (the same task, mailbox or lock each time)")
    for name, row in work.items():
        inner = ", ".join("%g %s" % (v, k) for k, v in sorted(row["script_commands"].items()))
        print(
            "  %-26s %5.1f us cmdstat %6.1f us CPU %5g commands; in scripts: %s"
            % (name, row["server_us"], row["server_cpu_us"], row["commands"], inner)
        )

    def pair(a, b):
        return round_trips[a]["server_cpu_us_per_call"] + round_trips[b]["server_cpu_us_per_call"]

    server_claim, server_lock = pair("claim_task", "release"), pair("Lock.acquire", "Lock.release")
    client_claim = latency["claim+release/same"]["client_cpu_us"]
    client_lock = latency["lock/same"]["client_cpu_us"]
    print()
    print("CPU per pair, client thread + server (robust where wall-clock throughput is not)")
    print(
        "  claim_task+release %.0f + %.0f us, Lock acquire+release %.0f + %.0f us"
        % (client_claim, server_claim, client_lock, server_lock)
    )
    print(
        "  so our claim+release throughput over Lock's is about %.2fx where clients and server "
        "share\n  the cores (as here), %.2fx where the server's core is the bottleneck, %.2fx "
        "where the\n  clients' cores are"
        % (
            (client_lock + server_lock) / (client_claim + server_claim),
            server_lock / server_claim,
            client_lock / client_claim,
        )
    )
    model = {
        "client_cpu_us_per_pair": {"claim+release": client_claim, "lock": client_lock},
        "server_cpu_us_per_pair": {"claim+release": server_claim, "lock": server_lock},
        "expected_throughput_ratio": {
            "shared_cores": (client_lock + server_lock) / (client_claim + server_claim),
            "server_bound": server_lock / server_claim,
            "client_bound": client_lock / client_claim,
        },
    }
    return goals, exact, model


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--pairs", type=int, default=1000, help="pairs per latency batch")
    parser.add_argument("--seconds", type=float, default=1.0, help="throughput window")
    parser.add_argument("--processes", type=int, default=8)
    parser.add_argument("--calls", type=int, default=20, help="calls per method, round trips")
    parser.add_argument("--output", default=str(REPO / "build-bench" / "redis.json"))
    parser.add_argument(
        "--before",
        metavar="SRC",
        help="also measure server work per pair with the durnel package in SRC (e.g. main's "
        "src/), alternating with this tree's, against the same server",
    )
    parser.add_argument("--work-repeats", type=int, default=5, help="alternations for --before")
    parser.add_argument("--work-pairs", type=int, default=2000, help="pairs per server work run")
    parser.add_argument(
        "--callgrind",
        type=int,
        default=0,
        metavar="PAIRS",
        help="with --before: also count the server's instructions per pair under callgrind",
    )
    parser.add_argument(
        "--work-only", action="store_true", help="with --before: only the server work section"
    )
    parser.add_argument("--server-work-child", metavar="URL", help=argparse.SUPPRESS)
    parser.add_argument("--namespace", default="bench-roundtrips", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.server_work_child:
        _server_work_child(args.server_work_child, args.work_pairs, args.namespace)
        return

    with tempfile.TemporaryDirectory(prefix="durnel-bench-redis-") as workdir:
        server = RedisServer(workdir)
        try:
            url = server.url
            info = redis.Redis.from_url(url).info("server")
            print(
                "redis-server %s on 127.0.0.1:%d (no persistence), redis-py %s, Python %s, "
                "%d CPUs; %d repeats"
                % (
                    info["redis_version"],
                    server.port,
                    redis.__version__,
                    platform.python_version(),
                    os.cpu_count(),
                    args.repeats,
                )
            )
            register_peers(url)
            before_after = None
            if args.before:
                before_after = compare_server_work(
                    url, args.before, args.work_pairs, args.work_repeats, args.callgrind
                )
                print()
                if args.work_only:
                    return
            round_trips = count_round_trips(url, args.calls)
            work = server_work(url, args.work_pairs, "bench-work")
            latency = measure_latency(url, args.repeats, args.pairs)
            throughput, rates = measure_throughput(url, args.repeats, args.seconds, args.processes)
        finally:
            server.stop()
    goals, exact, model = report(latency, throughput, rates, round_trips, work, args.processes)
    output = Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(
        json.dumps(
            {
                "when": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
                "redis_server": info["redis_version"],
                "redis_py": redis.__version__,
                "python": platform.python_version(),
                "cpus": os.cpu_count(),
                "arguments": vars(args),
                "latency": latency,
                "throughput": throughput,
                "round_trips": round_trips,
                "ratios": [
                    {"what": t, "ratio": v, "goal": (s + " %g" % g) if g else None}
                    for t, v, s, g in goals
                ],
                "one_fcall_per_call": exact,
                "cpu_per_pair": model,
                "server_work": work,
                "server_work_before_after": before_after,
            },
            indent=1,
        )
    )
    print("\nraw results: %s" % output)


if __name__ == "__main__":
    main()
