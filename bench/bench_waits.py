#!/usr/bin/env python3
"""Waits: how fast a waiter wakes, what idle waiters cost, and what the waiting object adds to
the nine methods.

1. Wake latency: a waiter blocks in ``wait_for_messages``; another thread sends, notes the
   moment the send returned, and then blocks until the waiter reports the moment its wait
   returned. The difference, over many rounds, as median and 99th percentile: for a waiting
   thread and for a waiting asyncio task (its loop in a thread of its own).
2. Idle waiters: 100 agents wait for messages that never come, for a fixed window; the
   process's CPU time over that window, as a share of one core.
3. The nine methods through the object that ``durnel.connect()`` returns, against the same
   calls on its native object: instructions per operation counted by callgrind, the
   interpreter's share included (repeatable where timings on this shared machine are not):
   no more where a call wakes nobody, at most 10% more where it may (send, broadcast,
   release).

Usage (scripts/bench.sh runs it with PYTHONPATH=build-bench:src):
    .venv/bin/python bench/bench_waits.py [--rounds 2000] [--idle-seconds 5] [--calls 20000]
"""

from __future__ import annotations

import argparse
import asyncio
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time

import durnel
import durnel.aio

TARGET_LATENCY_US = 50.0
TARGET_IDLE_SHARE = 0.01


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def wake_latency_thread(rounds):
    state = durnel.connect()
    returned = [0.0]
    ready, done = threading.Event(), threading.Event()
    latencies = []

    def waiter():
        for _ in range(rounds):
            ready.set()
            state.wait_for_messages("waiter")
            returned[0] = time.perf_counter()
            done.set()

    thread = threading.Thread(target=waiter)
    thread.start()
    for _ in range(rounds):
        ready.wait()
        ready.clear()
        while "waiter" not in state.mail_waiters.queues:  # asleep in its wait
            time.sleep(0)
        state.send_message("sender", "waiter", "wake up")
        sent = time.perf_counter()
        done.wait()
        done.clear()
        latencies.append(returned[0] - sent)
    thread.join()
    return latencies


def wake_latency_task(rounds):
    state = durnel.connect()
    view = durnel.aio.view(state)
    loop = asyncio.new_event_loop()
    returned = [0.0]
    done = threading.Event()
    latencies = []

    async def waiter():
        for _ in range(rounds):
            await view.wait_for_messages("task")
            returned[0] = time.perf_counter()
            done.set()

    thread = threading.Thread(target=lambda: loop.run_until_complete(waiter()))
    thread.start()
    for _ in range(rounds):
        while "task" not in state.mail_waiters.queues:
            time.sleep(0)
        state.send_message("sender", "task", "wake up")
        sent = time.perf_counter()
        done.wait()
        done.clear()
        latencies.append(returned[0] - sent)
    thread.join()
    loop.close()
    return latencies


def idle_share(agents, seconds):
    state = durnel.connect()
    threads = [
        threading.Thread(target=state.wait_for_messages, args=("idle-%d" % i, seconds + 5))
        for i in range(agents)
    ]
    for thread in threads:
        thread.start()
    while len(state.mail_waiters.queues) < agents:
        time.sleep(0.01)
    cpu, wall = time.process_time(), time.monotonic()
    time.sleep(seconds)
    cpu, wall = time.process_time() - cpu, time.monotonic() - wall
    state.broadcast("stop", "stop")  # nobody is registered: wakes them all the same
    for i in range(agents):
        state.send_message("stop", "idle-%d" % i, "stop")
    for thread in threads:
        thread.join()
    return cpu / wall


OPERATIONS = {
    # name: (statement over s, a call in it may wake a waiter)
    "status": ("s.status('agent-1')", False),
    "claim_file + release": ("s.claim_file('agent-1', 'f'); s.release('agent-1', 'file:f')", True),
    "renew_claim": ("s.renew_claim('agent-1', 'file:held')", False),
    "send_message + drain_inbox": (
        "s.send_message('agent-1', 'agent-2', 'hello'); s.drain_inbox('agent-2')",
        True,
    ),
    "inbox of 3": ("s.inbox('agent-3')", False),
    "broadcast to 10 + drains": ("s.broadcast('agent-1', 'hi'); [d(a) for a in agents]", True),
}

# Run under callgrind by method_overhead: the operation `calls` times on one variant.
CHILD = """
import sys, durnel
wrapper = durnel.connect()
for i in range(10):
    wrapper.send_message("boss", "agent-%d" % i, "hello")
wrapper.claim_file("agent-1", "held")
for _ in range(3):
    wrapper.send_message("boss", "agent-3", "three")
s = wrapper.native if sys.argv[1] == "native" else wrapper
agents = ["agent-%d" % i for i in range(10)]
d = s.drain_inbox
code = compile("for _ in range(%d):\\n    %s" % (int(sys.argv[3]), sys.argv[2]), "op", "exec")
exec(compile("for _ in range(1000):\\n    " + sys.argv[2], "warm", "exec"))
exec(code)
"""


def instructions(variant, statement, calls):
    """Instructions that `calls` runs of `statement` cost, whole interpreter included."""
    command = [
        "valgrind",
        "--tool=callgrind",
        "--callgrind-out-file=/dev/null",
        sys.executable,
        "-c",
        CHILD,
        variant,
        statement,
        str(calls),
    ]
    output = subprocess.run(command, capture_output=True, text=True, check=True).stderr
    return int(re.search(r"Collected : (\d+)", output).group(1))


def method_overhead(calls):
    """Instructions per operation on the native object and through durnel.connect(): the
    difference of a run of 2N and one of N operations, so start-up and warm-up cancel out."""
    rows = {}
    for name, (statement, _) in OPERATIONS.items():
        per_call = {}
        for variant in ("native", "connect()"):
            short = instructions(variant, statement, calls)
            long = instructions(variant, statement, 2 * calls)
            per_call[variant] = (long - short) / calls
        rows[name] = (
            per_call["native"],
            per_call["connect()"],
            per_call["connect()"] / per_call["native"],
        )
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2000)
    parser.add_argument("--idle-seconds", type=float, default=5.0)
    parser.add_argument("--calls", type=int, default=20000)
    args = parser.parse_args()

    print("Wake latency, from the send returning to the wait returning (us):")
    print("  %-28s %8s %8s   target" % ("waiter", "median", "p99"))
    for name, measure in (
        ("in-process, thread", wake_latency_thread),
        ("in-process, asyncio task", wake_latency_task),
    ):
        values = [v * 1e6 for v in measure(args.rounds)]
        median, p99 = statistics.median(values), percentile(values, 0.99)
        verdict = "met" if p99 <= TARGET_LATENCY_US else "MISSED"
        print(
            "  %-28s %8.1f %8.1f   <= %.0f us: %s" % (name, median, p99, TARGET_LATENCY_US, verdict)
        )

    share = idle_share(100, args.idle_seconds)
    print(
        "100 idle waiting agents, in-process: %.3f%% of one core (target <= %.0f%%: %s)"
        % (share * 100, TARGET_IDLE_SHARE * 100, "met" if share <= TARGET_IDLE_SHARE else "MISSED")
    )

    if shutil.which("valgrind") is None:
        print("valgrind is not installed: no instruction counts of the nine methods")
        return
    print(
        "The nine methods through durnel.connect() against its native object: instructions per"
        " operation\n(callgrind, the interpreter's share included; CPython %s):"
        % sys.version.split()[0]
    )
    print("  %-28s %9s %11s %7s   target" % ("operation", "native", "connect()", "ratio"))
    for name, (native, wrapped, ratio) in method_overhead(args.calls).items():
        limit = 1.10 if OPERATIONS[name][1] else 1.0
        verdict = "met" if ratio <= limit else "MISSED"
        print(
            "  %-28s %9.0f %11.0f %6.3fx   <= %.2fx: %s"
            % (name, native, wrapped, ratio, limit, verdict)
        )


if __name__ == "__main__":
    main()
