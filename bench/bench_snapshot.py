#!/usr/bin/env python3
"""What a snapshot of a busy namespace costs in-process, on Redis and on SQLite, side by side,
and what `durnel watch` costs while it runs.

In this process (`durnel.connect()`), on a redis-server that this script starts itself on
loopback (no persistence) and on a SQLite file in a scratch directory, the same group of 1,000
agents, each holding one claim and with a mailbox of 3 messages (so 1,000 claims, 1,000
non-empty mailboxes and about 4,000 log events):

1. `durnel.snapshot(state)` (log_tail 20): wall time per snapshot, median, p90 and worst of
   --snapshots rounds, each round one snapshot of each engine (so all see the same load),
   and the client's CPU time beside it (on SQLite and in-process the client does all the
   work). In-process, also the native read alone (`durnel_core_snapshot.read`, the tuples
   before durnel makes its Snapshot of them). On Redis,
   also the server's time per call (commandstats of FCALL_RO) and, interleaved, the same
   data read the way one would with redis-cli, in one pipelined round trip without a script
   (HGETALL twice, LLEN, LINDEX and HLEN per agent, XREVRANGE, TIME; not one consistent
   moment). Then the CPU time of snapshots alone, the server's (INFO cpu) and the client's:
   on this shared 2-core machine wall times swell with the load of others' work, CPU time
   far less. Targets: a snapshot in at most 20 ms on Redis and SQLite, 2 ms in-process.
2. `durnel watch` on that namespace, on Redis and SQLite, for --watch-seconds in a real terminal
   (tmux, 120x50, rich), while a churn process claims, releases and sends about 10 times a
   second: the CPU time of the watch process (user + system, from /proc) over the window, as
   a share of one core. The same again with plain text into a pipe, for a third of the time,
   for comparison. Target: at most 5%.

Usage (scripts/bench.sh runs it with PYTHONPATH=build-bench:src):
    .venv/bin/python bench/bench_snapshot.py [--snapshots 200] [--watch-seconds 60]
        [--output build-bench/snapshot.json]
"""

import argparse
import datetime
import json
import multiprocessing
import os
import platform
import shlex
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

import redis

import durnel
import durnel_core_snapshot

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "python"))
from redis_servers import RedisServer  # noqa: E402  (the test suite's server fixture)

NAMESPACE = "bench-snapshot"
AGENTS = 1000
MESSAGES = 3
SNAPSHOT_TARGET_MS = {"inprocess": 2.0, "redis": 20.0, "sqlite": 20.0}
WATCH_TARGET_CORE = 0.05


def open_group(url):
    """The group's coordination object: in this process without a URL."""
    return durnel.connect() if url is None else durnel.connect(url, namespace=NAMESPACE)


def fill(state):
    for i in range(AGENTS):
        state.claim_task("agent-%04d" % i, "task-%04d" % i)
    for n in range(MESSAGES):
        for i in range(AGENTS):
            state.send_message("agent-%04d" % ((i + 1) % AGENTS), "agent-%04d" % i, "note %d" % n)
    shot = durnel.snapshot(state)
    assert len(shot.agents) == len(shot.claims) == len(shot.mailboxes) == AGENTS, shot
    return shot.log_length


def pipelined_read(client):
    """The same facts without a script: one pipelined round trip, not one moment."""
    prefix = "durnel:{%s}:" % NAMESPACE
    roster = client.hkeys(prefix + "status")
    pipe = client.pipeline(transaction=False)
    pipe.hgetall(prefix + "status")
    pipe.hgetall(prefix + "claims")
    pipe.xrevrange(prefix + "log", count=20)
    pipe.xlen(prefix + "log")
    pipe.time()
    for agent in roster:
        pipe.llen(prefix + "inbox:" + agent.decode())
        pipe.lindex(prefix + "inbox:" + agent.decode(), 0)
        pipe.hlen(prefix + "inflight:" + agent.decode())
    return pipe.execute()


def function_usec(client):
    stats = client.info("commandstats").get("cmdstat_fcall_ro", {})
    return stats.get("usec", 0), stats.get("calls", 0)


def server_cpu(client):
    cpu = client.info("cpu")
    return cpu["used_cpu_user"] + cpu["used_cpu_sys"]


def summary(values):
    ordered = sorted(values)
    return {
        "median": statistics.median(ordered),
        "p90": ordered[int(len(ordered) * 0.9)],
        "max": ordered[-1],
    }


def timed(call):
    """(wall ms, CPU ms of this process) of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    call()
    return (time.perf_counter() - wall) * 1000, (time.process_time() - cpu) * 1000


def measure_snapshots(states, redis_url, count):
    """Rounds of one snapshot per engine, one native read in-process and one pipelined read of
    the Redis keys."""
    client = redis.Redis.from_url(redis_url)
    native = states["inprocess"].native
    for state in states.values():
        durnel.snapshot(state)
    pipelined_read(client)
    walls = {name: [] for name in states}
    cpus = {name: [] for name in states}
    piped, native_reads = [], []
    usec0, calls0 = function_usec(client)
    for _ in range(count):
        for name, state in states.items():
            wall, cpu = timed(lambda: durnel.snapshot(state))  # noqa: B023
            walls[name].append(wall)
            cpus[name].append(cpu)
        native_reads.append(timed(lambda: durnel_core_snapshot.read(native, 20))[0])
        piped.append(timed(lambda: pipelined_read(client))[0])
    usec1, calls1 = function_usec(client)
    # CPU time, server and client, of Redis snapshots alone: what a wall time approaches on a
    # machine with a core free for each (this one is shared, and wall times swell with load)
    server0, client0 = server_cpu(client), time.process_time()
    for _ in range(count):
        durnel.snapshot(states["redis"])
    server_ms = (server_cpu(client) - server0) / count * 1000
    client_ms = (time.process_time() - client0) / count * 1000
    client.close()
    results = {
        name: {"snapshot_ms": summary(walls[name]), "client_cpu_ms": summary(cpus[name])}
        for name in states
    }
    results["inprocess"]["native_read_ms"] = summary(native_reads)
    results["redis"].update(
        server_ms=(usec1 - usec0) / max(calls1 - calls0, 1) / 1000,
        cpu_alone_ms={"server": server_ms, "client": client_ms},
        pipelined_ms=summary(piped),
        over_pipelined=statistics.median(w / p for w, p in zip(walls["redis"], piped)),
    )
    return results


def churn(url, stop):
    """About ten changes a second: claims, releases and messages, so that every redraw of
    the live view has something new to mark."""
    state = durnel.connect(url, namespace=NAMESPACE)
    i = 0
    while not stop.is_set():
        agent = "agent-%04d" % (i % AGENTS)
        state.claim_file(agent, "churn-%d" % i)
        state.send_message("churner", agent, "tick %d" % i)
        state.release(agent, "file:churn-%d" % i)
        i += 1
        stop.wait(0.3)
    state.close()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as handle:
        fields = handle.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def watch_command(url):
    return [sys.executable, "-m", "durnel", "watch", url, "-n", NAMESPACE]


def measure_watch(url, seconds, in_terminal):
    """CPU share of one core used by `durnel watch` over `seconds`, after a 3 s warm-up."""
    env = dict(os.environ)
    env.pop("COLUMNS", None)
    env.pop("LINES", None)
    tmux = shutil.which("tmux")
    if in_terminal:
        if tmux is None:
            return None
        base = [tmux, "-L", "durnel-bench-" + uuid.uuid4().hex, "-f", os.devnull]
        shell = "exec env -u COLUMNS -u LINES PYTHONPATH=%s %s" % (
            shlex.quote(env.get("PYTHONPATH", "")),
            " ".join(map(shlex.quote, watch_command(url))),
        )
        subprocess.run(base + ["new-session", "-d", "-x", "120", "-y", "50", shell], check=True)
        pid = int(
            subprocess.run(
                base + ["display", "-p", "#{pane_pid}"], capture_output=True, text=True
            ).stdout
        )
        process = None
    else:
        process = subprocess.Popen(
            watch_command(url), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env
        )
        pid = process.pid
    context = multiprocessing.get_context("spawn")
    stop = context.Event()
    changer = context.Process(target=churn, args=(url, stop))
    changer.start()
    try:
        time.sleep(3)
        start_cpu, start = cpu_seconds(pid), time.monotonic()
        time.sleep(seconds)
        used, elapsed = cpu_seconds(pid) - start_cpu, time.monotonic() - start
        screen = ""
        if in_terminal:
            screen = subprocess.run(
                base + ["capture-pane", "-p"], capture_output=True, text=True
            ).stdout
    finally:
        stop.set()
        changer.join()
        if in_terminal:
            subprocess.run(base + ["kill-server"], capture_output=True)
        else:
            process.terminate()
            process.wait()
    return {"cpu_seconds": used, "seconds": elapsed, "core_share": used / elapsed, "screen": screen}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--snapshots", type=int, default=200)
    parser.add_argument("--watch-seconds", type=float, default=60.0)
    parser.add_argument("--output", default=str(REPO / "build-bench" / "snapshot.json"))
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="durnel-bench-snapshot-") as workdir:
        server = RedisServer(Path(workdir) / "redis")
        try:
            urls = {
                "inprocess": None,
                "redis": server.url,
                "sqlite": "sqlite:///%s/group.db" % workdir,
            }
            info = redis.Redis.from_url(urls["redis"]).info("server")
            print(
                "redis-server %s on 127.0.0.1:%d (no persistence), redis-py %s, SQLite %s, "
                "Python %s, %d CPUs, load average %.1f"
                % (
                    info["redis_version"],
                    server.port,
                    redis.__version__,
                    sqlite3.sqlite_version,
                    platform.python_version(),
                    os.cpu_count(),
                    os.getloadavg()[0],
                )
            )
            states = {name: open_group(url) for name, url in urls.items()}
            events = [fill(state) for state in states.values()][0]
            print(
                "namespace %r on each: %d agents, %d claims, %d mailboxes of %d messages, "
                "%d log events" % (NAMESPACE, AGENTS, AGENTS, AGENTS, MESSAGES, events)
            )
            snapshots = measure_snapshots(states, urls["redis"], args.snapshots)
            for name in ("redis", "sqlite"):
                states[name].close()
            watches = {}
            for name, url in urls.items():
                if url is None:
                    continue  # nothing outside this process can watch it
                watches[name] = {
                    "terminal": measure_watch(url, args.watch_seconds, in_terminal=True),
                    "piped": measure_watch(url, args.watch_seconds / 3, in_terminal=False),
                }
        finally:
            server.stop()
    report(args, snapshots, watches)
    output = Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    for watch in watches.values():
        watch["piped"].pop("screen")
    output.write_text(
        json.dumps(
            {
                "when": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
                "redis_server": info["redis_version"],
                "redis_py": redis.__version__,
                "sqlite": sqlite3.sqlite_version,
                "python": platform.python_version(),
                "arguments": vars(args),
                "snapshots": snapshots,
                "watch": watches,
            },
            indent=1,
        )
    )
    print("\nraw results: %s" % output)


def report(args, snapshots, watches):
    print("\n%d rounds of one snapshot on each engine (log_tail 20):" % args.snapshots)
    for name, result in snapshots.items():
        shot = result["snapshot_ms"]
        print(
            "  %-9s median %6.2f ms, p90 %6.2f ms, max %6.2f ms, client CPU %5.2f ms%s"
            % (
                name,
                shot["median"],
                shot["p90"],
                shot["max"],
                result["client_cpu_ms"]["median"],
                ", server %.2f ms" % result["server_ms"] if "server_ms" in result else "",
            )
        )
    native = snapshots["inprocess"]["native_read_ms"]
    print(
        "  in-process, the native read alone (durnel_core_snapshot.read): median %.2f ms, "
        "p90 %.2f ms; durnel.snapshot takes %.2fx its time"
        % (
            native["median"],
            native["p90"],
            snapshots["inprocess"]["snapshot_ms"]["median"] / native["median"],
        )
    )
    ours = snapshots["redis"]
    cpu, piped = ours["cpu_alone_ms"], ours["pipelined_ms"]
    print(
        "  Redis CPU per snapshot, snapshots alone: %.2f ms = server %.2f ms + client %.2f ms"
        % (cpu["server"] + cpu["client"], cpu["server"], cpu["client"])
    )
    print(
        "  Redis keys read pipelined, no script: median %.2f ms, p90 %.2f ms; snapshot / "
        "pipelined %.2fx (median of paired ratios)"
        % (piped["median"], piped["p90"], ours["over_pipelined"])
    )
    for name, result in snapshots.items():
        median, target = result["snapshot_ms"]["median"], SNAPSHOT_TARGET_MS[name]
        print(
            "  target: snapshot <= %g ms on %s: %s"
            % (target, name, "met" if median <= target else "NOT met")
        )
    print("\ndurnel watch on that namespace, about 10 changes a second:")
    for name, watch in watches.items():
        terminal, piped = watch["terminal"], watch["piped"]
        if terminal is None:
            print("  %-7s in a terminal: tmux is not installed, not measured" % name)
        else:
            print(
                "  %-7s in a 120x50 terminal (tmux, rich): %.2f s CPU in %.0f s = %.1f%% of a "
                "core: target <= %d%% %s"
                % (
                    name,
                    terminal["cpu_seconds"],
                    terminal["seconds"],
                    terminal["core_share"] * 100,
                    WATCH_TARGET_CORE * 100,
                    "met" if terminal["core_share"] <= WATCH_TARGET_CORE else "NOT met",
                )
            )
        print(
            "  %-7s plain text into a pipe (every row, every second): %.2f s CPU in %.0f s = "
            "%.1f%%" % (name, piped["cpu_seconds"], piped["seconds"], piped["core_share"] * 100)
        )


if __name__ == "__main__":
    main()
