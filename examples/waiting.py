"""Agents that wait instead of polling: an asyncio group on durnel.aio.

Run it with `make demo` (in-process, then on a SQLite file) and `make demo-redis` (on a
redis-server), or `python examples/waiting.py [URL | --sqlite | --redis]` wherever
durnel_core is importable (no URL: the in-process engine; an engine's URL, e.g.
sqlite:///state.db or redis://host:6379/0; --sqlite uses a file in a scratch directory,
removed afterwards; --redis starts a redis-server of its own for the run, as
examples/processes.py does).

A planner hands out jobs by direct message; four workers, asyncio tasks of one event loop,
sleep in `wait_for_messages` until a job arrives, then `wait_claim_file` for the file the job
edits. Several jobs edit the same few files, so workers queue for them: a queued worker sleeps
until the holder releases the file and is served in the order it came. Nothing ever asks
twice: every wait returns with something to do, and the loop stays free for the others
(a heartbeat task ticks on it throughout). At the end: who waited for what and how long, and
the checks that every job was done once and no wait came back empty-handed.
"""

import asyncio
import os
import random
import shutil
import sys
import tempfile
import time
from collections import Counter, defaultdict

import durnel.aio

WORKERS = ["ana", "bo", "cy", "dee"]
PLANNER = "planner"
FILES = ["src/parser.py", "src/lexer.py", "docs/guide.md"]
JOBS = 24
WORK_SECONDS = 0.02


class Waits:
    """Counts the message waits of the run and those that came back with nothing."""

    def __init__(self, state):
        self.state = state
        self.calls = self.empty = 0

    async def __call__(self, agent):
        messages = await self.state.wait_for_messages(agent)
        self.calls += 1
        self.empty += not messages
        return messages


async def planner(state, jobs, wait):
    for number, (worker, path) in enumerate(jobs):
        await state.send_message(PLANNER, worker, "job %d %s" % (number, path))
    reports = []
    while len(reports) < len(jobs):
        reports += await wait(PLANNER)
    await state.broadcast(PLANNER, "stop")
    await state.drain_inbox(PLANNER)  # the sender's own copy of the broadcast
    return reports


async def worker(state, name, log, wait):
    while True:
        for _sender, _me, text, _sent_at in await wait(name):
            if text == "stop":
                return
            _, number, path = text.split(" ", 2)
            asked = time.monotonic()
            await state.wait_claim_file(name, path)
            log[name].append((number, path, time.monotonic() - asked))
            await asyncio.sleep(WORK_SECONDS)  # the work itself
            await state.release(name, "file:" + path)
            await state.send_message(name, PLANNER, "done %s" % number)


async def heartbeat(beats, stop):
    while not stop.is_set():
        beats[0] += 1
        await asyncio.sleep(0.005)


async def main(url):
    # closed on the way out: a client, a thread or connections of its own, as the engine has
    async with durnel.aio.connect(url, namespace="waiting-demo-%d" % time.time_ns()) as state:
        return await demo(state)


async def demo(state):
    rng = random.Random(3)
    jobs = [(rng.choice(WORKERS), rng.choice(FILES)) for _ in range(JOBS)]
    for name in WORKERS:  # registered, so that the closing broadcast reaches everyone
        await state.send_message(PLANNER, name, "hello %s" % name)
        await state.drain_inbox(name)
    log = defaultdict(list)
    beats, stop = [0], asyncio.Event()
    ticking = asyncio.ensure_future(heartbeat(beats, stop))
    started = time.monotonic()
    wait = Waits(state)
    workers = [asyncio.ensure_future(worker(state, name, log, wait)) for name in WORKERS]
    reports = await planner(state, jobs, wait)
    await asyncio.gather(*workers)
    elapsed = time.monotonic() - started
    stop.set()
    await ticking

    print(
        "durnel waiting demo: %d jobs over %d files, %d workers as asyncio tasks"
        % (JOBS, len(FILES), len(WORKERS))
    )
    print("\n%-8s %5s %14s %14s" % ("worker", "jobs", "waited, total", "longest wait"))
    for name in WORKERS:
        waits = [w for _, _, w in log[name]]
        print(
            "%-8s %5d %12.0f ms %12.0f ms"
            % (name, len(waits), sum(waits) * 1e3, max(waits, default=0) * 1e3)
        )
    done = Counter(text.split()[1] for _, _, text, _ in reports)
    print(
        "\nThe run took %.2f s; the event loop stayed free: a heartbeat task ticked %d times "
        "meanwhile." % (elapsed, beats[0])
    )
    checks = [
        (
            "every job done exactly once",
            sorted(done.items()) == sorted((str(n), 1) for n in range(JOBS)),
        ),
        (
            "every file free at the end",
            all([await state.claim_file("check", f) == "check" for f in FILES]),
        ),
        ("no wait came back empty-handed (%d waits)" % wait.calls, wait.empty == 0),
        ("no mail left behind", all([await state.inbox(n) == [] for n in WORKERS + [PLANNER]])),
    ]
    print("\nChecks")
    for text, ok in checks:
        print("  %-4s %s" % ("yes" if ok else "NO", text))
    return 0 if all(ok for _, ok in checks) else 1


def run(argument):
    if argument == "--sqlite":
        scratch = tempfile.mkdtemp(prefix="durnel-waiting-")
        try:
            print("(on a SQLite file in %s)\n" % scratch)
            return asyncio.run(main("sqlite:///" + os.path.join(scratch, "state.db")))
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    if argument != "--redis":
        return asyncio.run(main(argument))
    from processes import LocalRedis  # this directory's other example

    server = LocalRedis()
    try:
        print("(on a redis-server started for this run, port %d)\n" % server.port)
        return asyncio.run(main(server.url))
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(run(sys.argv[1] if len(sys.argv) > 1 else None))
