"""durnel_core at work: four agent threads and a coordinator share one CoordinationState.

Run it with `make demo`, or `python examples/demo.py` wherever durnel_core is importable.

The agents are the class of examples/agents.py, written against `durnel.Coordination`;
examples/processes.py runs the same class as processes on SQLite or Redis. The backlog is a list of
tasks; each task edits one or two files of a small code base. The agents work through it in
parallel, and everything they know about each other goes through the one shared state:

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

The order that keeps every task done exactly once: broadcast "done" *before* releasing the
task, and read your mail right *after* winning a task claim. Whoever wins the task after a
release then finds the "done" message in its mailbox and hands the task straight back.

At the end the demo prints a short story of the run, who held what half a second into it
(durnel.snapshot, drawn as `durnel show` draws one), a table per agent and a few checks, then
times a tight loop of calls with one and with four threads.
"""

import textwrap
import threading
import time
from collections import Counter

import agents
import durnel
from agents import AGENTS, COORDINATOR, FILES, make_backlog, no_claim
from durnel.display import headline, plain_text, tables
from durnel_core import CoordinationState


class Story:
    """The first occurrence of each kind of event, to show what the calls look like."""

    def __init__(self):
        self.lines = []
        self._seen = set()
        self._lock = threading.Lock()

    def tell(self, kind, who, text):
        with self._lock:
            if kind not in self._seen:
                self._seen.add(kind)
                self.lines.append(
                    textwrap.fill("  %-11s %s" % (who, text), width=100, subsequent_indent=" " * 14)
                )


class Agent(agents.Agent, threading.Thread):
    """The shared agent, run as a thread on the one in-process object."""

    def __init__(self, name, shared, backlog, story):
        threading.Thread.__init__(self, name=name)
        agents.Agent.__init__(self, name, shared, backlog, story)


class Coordinator(agents.Coordinator, threading.Thread):
    """Opens the backlog, collects the agents' reports from its inbox, closes the day."""

    def __init__(self, shared, backlog, story):
        threading.Thread.__init__(self, name=COORDINATOR)
        agents.Coordinator.__init__(self, shared, backlog, story)

    def run(self):
        self.collect()


def tight_loop(threads, seconds=0.25):
    """Calls per second with no simulated work, `threads` threads on one state."""
    shared = CoordinationState()
    counts = [0] * threads
    stop = threading.Event()

    def worker(index):
        me, calls = "w%d" % index, 0
        task = "hot-%d" % index
        while not stop.is_set():
            for _ in range(100):
                shared.claim_task(me, task)
                shared.status(me)
                shared.send_message(me, me, "x")
                shared.drain_inbox(me)
                shared.release(me, "task:" + task)
            calls += 500
        counts[index] = calls

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    started = time.perf_counter()
    for worker_thread in workers:
        worker_thread.start()
    time.sleep(seconds)
    stop.set()
    for worker_thread in workers:
        worker_thread.join()
    return sum(counts) / (time.perf_counter() - started)


def main():
    shared = CoordinationState()
    backlog = make_backlog()
    story = Story()
    print(
        "durnel_core demo: %d agents and a coordinator, %d tasks over %d files, one "
        "CoordinationState" % (len(AGENTS), len(backlog), len(FILES))
    )

    coordinator = Coordinator(shared, backlog, story)
    coordinator.open_backlog()
    agents = [Agent(name, shared, backlog, story) for name in AGENTS]
    started = time.perf_counter()
    coordinator.start()
    for agent in agents:
        agent.start()
    coordinator.join(timeout=0.5)
    midway = durnel.snapshot(shared, log_tail=6)  # while they work: each shard as it was read
    coordinator.join(timeout=60)
    for agent in agents:
        agent.join(timeout=10)
    elapsed = time.perf_counter() - started
    leftover = {name: len(shared.inbox(name)) for name in AGENTS}  # peek, do not consume

    print("\nA few moments of the run, one of each kind")
    print("\n".join(story.lines))

    print("\nHalf a second into the run (durnel.snapshot)")
    print(plain_text(headline(midway, "this process"), tables(midway)), end="")

    print(
        "\n%-12s %5s %9s %9s %9s %6s %6s %8s  %s"
        % ("agent", "tasks", "refused:", "refused:", "renewals", "sent", "read", "unread", "status")
    )
    print("%-12s %5s %9s %9s %9s %6s %6s %8s" % ("", "done", "task", "file", "", "", "", ""))
    for agent in agents:
        print(
            "%-12s %5d %9d %9d %9d %6d %6d %8d  %s"
            % (
                agent.name,
                len(agent.done),
                agent.refused_tasks,
                agent.refused_files,
                agent.renewals,
                agent.sent,
                agent.read,
                leftover[agent.name],
                shared.status(agent.name),
            )
        )
    total = lambda attribute: sum(getattr(a, attribute) for a in agents)  # noqa: E731
    print(
        "%-12s %5d %9d %9d %9d %6d %6d"
        % (
            "total",
            sum(len(a.done) for a in agents),
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
        "%-12s %5s %9s %9s %9s %6d %6d           %s"
        % (
            COORDINATOR,
            "",
            "",
            "",
            "",
            sent_by_coordinator,
            coordinator.read,
            shared.status(COORDINATOR),
        )
    )
    print()
    say(
        "The coordinator drained its inbox %d times and got %d reports; it saw agents %s."
        % (
            coordinator.drains,
            sum(coordinator.reports.values()),
            ", ".join("%s %d times" % kv for kv in coordinator.status_samples.most_common()),
        )
    )

    calls = Counter()
    for view in [coordinator.state] + [a.state for a in agents]:
        calls.update(view.calls)
    say(
        "Calls: %d in %.2f s, %.0f per second while the agents mostly sleep on their work; "
        "by method: %s."
        % (
            sum(calls.values()),
            elapsed,
            sum(calls.values()) / elapsed,
            ", ".join("%s %d" % kv for kv in calls.most_common()),
        )
    )
    one, four = tight_loop(1), tight_loop(4)
    say(
        "Tight loop, no work between calls: %.2f M calls/s on 1 thread, %.2f M calls/s on 4 "
        "(calls hold the interpreter lock, so threads take turns)." % (one / 1e6, four / 1e6)
    )

    done_by = Counter(task for agent in agents for task in agent.done)
    checks = [
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
        ("finished within a minute", all(not a.is_alive() for a in agents + [coordinator])),
    ]
    print("\nChecks")
    for name, ok in checks:
        print("  %-4s %s" % ("yes" if ok else "NO", name))
    return 0 if all(ok for _, ok in checks) else 1


def say(text):
    print(textwrap.fill(text, width=96, subsequent_indent="  "))


if __name__ == "__main__":
    raise SystemExit(main())
