"""durnel across processes: four agent processes and a coordinator share one namespace, in a
SQLite file (nothing to install or start) or on a Redis server.

Run it with `make demo` (SQLite) or `make demo-redis`, or
    python examples/processes.py [--redis | --url URL] [--namespace NAME]
wherever the durnel package is importable (and redis-py, for Redis). By default the agents
share a SQLite file in a scratch directory, removed at the end; --url sqlite:///state.db
keeps one where you say, for a look with `sqlite3 state.db 'select * from log'`. --redis
starts a redis-server of its own (127.0.0.1, a free port, no persistence, a scratch
directory) and stops it at the end; --url redis://host:6379/0 names a server, whose keys
(durnel:{<namespace>}:*) stay, for a look with redis-cli. The namespace is new for every run
unless --namespace names one.

This is the story of examples/demo.py, with processes instead of threads and the very same
agent class (examples/agents.py), unchanged. Each agent is a
separate Python process that knows nothing of the others except what goes through the file
or the server; it holds one coordination object made by `durnel.connect(url, namespace=...)`
and uses only
the nine methods of `durnel.Coordination`:

    claim_task(agent, task)          take a task under a 300 s lease; RuntimeError when some
                                     other agent holds it: count a refusal, try another task
    claim_file(agent, path)          the same for each file the task edits; if a file is held,
                                     give the task back and tell the holder we are waiting
    renew_claim(agent, key)          long tasks restart their leases between steps
    release(agent, key)              hand files and task back ("file:<path>", "task:<id>")
    broadcast(agent, text)           "done <task>" to every known agent, so nobody redoes it
    send_message(agent, to, text)    a report to the coordinator; "waiting for" to a holder
    drain_inbox(agent)               read and remove pending messages
    inbox(agent)                     read them and leave them in place
    status(agent)                    "busy" after a claim, "idle" after a release

The order that keeps every task done exactly once is the same as in-process: broadcast "done"
*before* releasing the task, and read your mail right *after* winning a task claim. On SQLite
each call is one transaction on the file, on Redis one atomic script on the server, so this
holds between processes (and, on Redis, between machines) just as it does between threads.

At the end the script prints a short story of the run, a table per agent and a few checks,
then the activity log as any SQLite or Redis client sees it, and times a tight loop of calls
from one and from four processes.
"""

import argparse
import multiprocessing
import os
import secrets
import shutil
import socket
import subprocess
import sys
import tempfile
import textwrap
import time
from collections import Counter

import agents
import durnel
from agents import AGENTS, COORDINATOR, FILES, make_backlog, no_claim
from durnel.urls import redacted


class Story:
    """The first occurrence of each kind of event in this process, stamped, so that the parent
    can keep the earliest of each kind over all processes."""

    def __init__(self):
        self.events = {}

    def tell(self, kind, who, text):
        if kind not in self.events:
            self.events[kind] = (time.time(), who, text)


# ---- an agent: one process ----


class Agent(agents.Agent):
    """The shared agent, with a summary that crosses back to the parent process."""

    def __init__(self, name, state, backlog):
        super().__init__(name, state, backlog, Story())

    def summary(self):
        return {
            "name": self.name,
            "pid": os.getpid(),
            "done": self.done,
            "refused_tasks": self.refused_tasks,
            "refused_files": self.refused_files,
            "renewals": self.renewals,
            "sent": self.sent,
            "read": self.read,
            "calls": dict(self.state.calls),
            "story": self.story.events,
        }


def agent_process(name, url, namespace, backlog, results):
    """The body of one agent process: its own connection, its own share of the backlog."""
    try:
        with durnel.connect(url, namespace=namespace) as state:
            agent = Agent(name, state, backlog)
            agent.run()
            results.put(agent.summary())
    except BaseException as error:
        results.put({"name": name, "error": "%s: %s" % (type(error).__name__, error)})
        raise


# ---- the coordinator: this process ----


class Coordinator(agents.Coordinator):
    """Opens the backlog, collects the agents' reports from its inbox, closes the day."""

    def run(self, agents, deadline):
        # Nobody left to report, or out of time: the checks afterwards say what is missing.
        self.collect(
            lambda: time.monotonic() < deadline and any(process.is_alive() for process in agents)
        )


# ---- a redis-server of our own, for --redis ----


class LocalRedis:
    """redis-server on 127.0.0.1 and a free port, no persistence, files in a scratch
    directory; stopped (and the directory removed) by stop()."""

    def __init__(self):
        binary = shutil.which("redis-server") or "/usr/bin/redis-server"
        if not os.path.exists(binary):
            raise SystemExit(
                "redis-server is not installed (Debian: apt-get install "
                "redis-server), or pass --url redis://host:port/0"
            )
        self.workdir = tempfile.mkdtemp(prefix="durnel-processes-")
        with socket.socket() as probe:  # the kernel's choice of a free port
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.process = subprocess.Popen(
            [
                binary,
                "--port",
                str(self.port),
                "--bind",
                "127.0.0.1",
                "--dir",
                self.workdir,
                "--save",
                "",
                "--appendonly",
                "no",
                "--logfile",
                "redis.log",
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        deadline = time.monotonic() + 10
        while not self._answers():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise SystemExit("redis-server on port %d did not start" % self.port)
            time.sleep(0.02)
        self.url = "redis://127.0.0.1:%d/0" % self.port

    def _answers(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as conn:
                conn.sendall(b"PING\r\n")
                return conn.recv(16).startswith(b"+PONG")
        except OSError:
            return False

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.workdir, ignore_errors=True)


# ---- a tight loop, to show what one round trip per call costs ----


def tight_loop_process(url, namespace, index, seconds, ready, results):
    with durnel.connect(url, namespace=namespace) as state:
        me, task = "w%d" % index, "hot-%d" % index
        state.status(me)  # connected
        calls = 0
        ready.wait()  # all processes connected: go
        start = time.monotonic()
        stop = start + seconds
        while time.monotonic() < stop:
            state.claim_task(me, task)
            state.status(me)
            state.send_message(me, me, "x")
            state.drain_inbox(me)
            state.release(me, "task:" + task)
            calls += 5
        results.put(calls / (time.monotonic() - start))


def tight_loop(context, url, namespace, processes, seconds=0.5):
    """Calls per second with no simulated work, from `processes` processes at once."""
    results = context.Queue()
    ready = context.Barrier(processes)
    workers = [
        context.Process(
            target=tight_loop_process, args=(url, namespace, i, seconds, ready, results)
        )
        for i in range(processes)
    ]
    for worker in workers:
        worker.start()
    rates = [results.get(timeout=60) for _ in workers]
    for worker in workers:
        worker.join()
    return sum(rates)


# ---- the run and its report ----


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--url",
        help="a sqlite:///path.db, redis://, rediss:// or unix:// URL; default: a SQLite file "
        "in a scratch directory",
    )
    where.add_argument(
        "--redis", action="store_true", help="start a redis-server for this run and use it"
    )
    parser.add_argument(
        "--namespace",
        default="processes-" + secrets.token_hex(4),
        help="the coordination group (default: a new one)",
    )
    args = parser.parse_args()
    server = LocalRedis() if args.redis else None
    scratch = None if args.url or server else tempfile.mkdtemp(prefix="durnel-processes-")
    if server:
        url, where = server.url, "a redis-server started for this run on port %d" % server.port
    elif scratch:
        url = "sqlite:///" + os.path.join(scratch, "state.db")
        where = "a SQLite file in a scratch directory, %s" % url
    else:
        url, where = args.url, redacted(args.url)
    try:
        return run(url, args.namespace, where, keep=not (server or scratch))
    finally:
        if server is not None:
            server.stop()
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)


def run(url, namespace, where, keep):
    with durnel.connect(url, namespace=namespace) as shared:  # the coordinator's connection
        return coordinate(shared, url, namespace, where, keep)


def coordinate(shared, url, namespace, where, keep):
    context = multiprocessing.get_context("spawn")  # fresh interpreters, as separate programs
    on_sqlite = url.startswith("sqlite:")
    backlog = make_backlog()
    story = Story()
    print(
        "durnel across processes: %d agent processes and a coordinator, %d tasks over %d "
        "files,\n  namespace %r on %s" % (len(AGENTS), len(backlog), len(FILES), namespace, where)
    )

    coordinator = Coordinator(shared, backlog, story)
    coordinator.open_backlog()
    results = context.Queue()
    processes = [
        context.Process(
            target=agent_process, name=name, args=(name, url, namespace, backlog, results)
        )
        for name in AGENTS
    ]
    started = time.perf_counter()
    for process in processes:
        process.start()
    coordinator.run(processes, deadline=time.monotonic() + 60)
    summaries = {}
    for _ in processes:
        try:
            summary = results.get(timeout=15)
        except Exception:
            break
        summaries[summary["name"]] = summary
    for process in processes:
        process.join(timeout=10)
    elapsed = time.perf_counter() - started
    failed = {name: s["error"] for name, s in summaries.items() if "error" in s}
    agents = [summaries[name] for name in AGENTS if name in summaries and name not in failed]
    leftover = {name: len(shared.inbox(name)) for name in AGENTS}  # peek, do not consume

    for events in [a["story"] for a in agents]:
        for kind, event in events.items():
            if kind not in story.events or event[0] < story.events[kind][0]:
                story.events[kind] = event
    print("\nA few moments of the run, one of each kind (pid: the process that made the call)")
    pids = {a["name"]: a["pid"] for a in agents}
    pids[COORDINATOR] = os.getpid()
    for _when, who, text in sorted(story.events.values()):
        print(
            textwrap.fill(
                "  %-5s %-11s %s" % (pids.get(who, ""), who, text),
                width=100,
                subsequent_indent=" " * 20,
            )
        )

    print(
        "\n%-12s %7s %5s %9s %9s %9s %6s %6s %8s  %s"
        % (
            "agent",
            "pid",
            "tasks",
            "refused:",
            "refused:",
            "renewals",
            "sent",
            "read",
            "unread",
            "status",
        )
    )
    print(
        "%-12s %7s %5s %9s %9s %9s %6s %6s %8s" % ("", "", "done", "task", "file", "", "", "", "")
    )
    for agent in agents:
        print(
            "%-12s %7d %5d %9d %9d %9d %6d %6d %8d  %s"
            % (
                agent["name"],
                agent["pid"],
                len(agent["done"]),
                agent["refused_tasks"],
                agent["refused_files"],
                agent["renewals"],
                agent["sent"],
                agent["read"],
                leftover[agent["name"]],
                shared.status(agent["name"]),
            )
        )
    total = lambda key: sum(a[key] for a in agents)  # noqa: E731
    print(
        "%-12s %7s %5d %9d %9d %9d %6d %6d"
        % (
            "total",
            "",
            sum(len(a["done"]) for a in agents),
            total("refused_tasks"),
            total("refused_files"),
            total("renewals"),
            total("sent"),
            total("read"),
        )
    )
    sent_by_coordinator = (
        coordinator.state.calls["send_message"] + coordinator.state.calls["broadcast"]
    )
    print(
        "%-12s %7d %5s %9s %9s %9s %6d %6d           %s"
        % (
            COORDINATOR,
            os.getpid(),
            "",
            "",
            "",
            "",
            sent_by_coordinator,
            coordinator.read,
            shared.status(COORDINATOR),
        )
    )
    for name, error in failed.items():
        print("%-12s failed: %s" % (name, error))
    print()
    say(
        "The coordinator drained its inbox %d times and got %d reports; it saw agents %s."
        % (
            coordinator.drains,
            sum(coordinator.reports.values()),
            ", ".join("%s %d times" % kv for kv in coordinator.status_samples.most_common()),
        )
    )
    calls = Counter(coordinator.state.calls)
    for agent in agents:
        calls.update(agent["calls"])
    say(
        "Calls: %d in %.2f s, %.0f per second while the agents mostly sleep on their work; "
        "by method: %s. %s"
        % (
            sum(calls.values()),
            elapsed,
            sum(calls.values()) / elapsed,
            ", ".join("%s %d" % kv for kv in calls.most_common()),
            "Each call is one transaction on the file."
            if on_sqlite
            else "Each call is one round trip to the server.",
        )
    )
    log_line = activity_log(url, namespace)
    if log_line:
        say(log_line)
    one, four = (
        tight_loop(context, url, namespace + "-loop", 1),
        tight_loop(context, url, namespace + "-loop", 4),
    )
    say(
        "Tight loop, no work between calls: %.0f calls/s from 1 process, %.0f calls/s from 4 "
        "(%s)."
        % (
            one,
            four,
            "writing calls take turns at the file's one write lock; reads need none"
            if on_sqlite
            else "each call waits for its round trip; more processes overlap their waits, as "
            "far as the cores allow",
        )
    )

    done_by = Counter(task for agent in agents for task in agent["done"])
    checks = [
        (
            "every agent process finished without an error",
            len(agents) == len(AGENTS) and all(p.exitcode == 0 for p in processes),
        ),
        (
            "every task done exactly once",
            sorted(done_by) == sorted(t[0] for t in backlog) and set(done_by.values()) == {1},
        ),
        (
            "every task reported exactly once",
            set(coordinator.reports.values()) == {1} and len(coordinator.reports) == len(backlog),
        ),
        (
            "every agent idle at the end (its last call was a release)",
            all(shared.status(a) == "idle" for a in AGENTS),
        ),
        ("no claim left behind", all(no_claim(shared, t[0], t[1]) for t in backlog)),
        ("finished within a minute", elapsed < 60 and not any(p.is_alive() for p in processes)),
    ]
    print("\nChecks")
    for name, ok in checks:
        print("  %-4s %s" % ("yes" if ok else "NO", name))
    if keep:
        print()
        if on_sqlite:
            say(
                'The run stays in the file: sqlite3 %s "select * from log where namespace = '
                "'%s'\" shows its log." % (url[len("sqlite:///") :].split("?")[0], namespace)
            )
        else:
            say(
                "The run's keys stay on the server: redis-cli --scan --pattern 'durnel:{%s*' "
                "lists them." % namespace
            )
    return 0 if all(ok for _, ok in checks) else 1


def activity_log(url, namespace):
    """What any SQLite or Redis client sees of the run: the namespace's log, by event."""
    if url.startswith("sqlite:"):
        import contextlib
        import sqlite3

        path = url[len("sqlite:///") :].split("?")[0]
        with contextlib.closing(sqlite3.connect(path)) as db:
            events = Counter(
                dict(
                    db.execute(
                        "SELECT event, count(*) FROM log WHERE namespace = ? GROUP BY event",
                        (namespace,),
                    )
                )
            )
        return (
            "Activity log: the table log holds %d events of this namespace (%s); any SQLite "
            "client reads it, e.g. sqlite3 %s 'select * from log order by seq desc limit 5'."
            % (sum(events.values()), ", ".join("%s %d" % kv for kv in events.most_common()), path)
        )
    try:
        import redis
    except ImportError:
        return ""
    key = "durnel:{%s}:log" % namespace
    client = redis.Redis.from_url(url)
    try:
        events = Counter(fields[b"event"].decode() for _id, fields in client.xrange(key))
    finally:
        client.close()
    return (
        "Activity log: the stream %s holds %d events (%s); any Redis client reads it, "
        "e.g. redis-cli XRANGE '%s' - + COUNT 5."
        % (key, sum(events.values()), ", ".join("%s %d" % kv for kv in events.most_common()), key)
    )


def say(text):
    print(textwrap.fill(text, width=96, subsequent_indent="  "))


if __name__ == "__main__":
    sys.exit(main())
