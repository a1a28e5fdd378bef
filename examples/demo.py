"""durnel_core at work: four agent threads and a coordinator share one CoordinationState.

Run it with `make demo`, or `python examples/demo.py` wherever durnel_core is importable.

The backlog is a list of tasks; each task edits one or two files of a small code base. The
agents work through it in parallel, and everything they know about each other goes through
the one shared state:

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

At the end the demo prints a short story of the run, a table per agent and a few checks,
then times a tight loop of calls with one and with four threads.
"""
import random
import textwrap
import threading
import time
from collections import Counter

from durnel_core import CoordinationState

AGENTS = ["ana", "bo", "cy", "dee"]
COORDINATOR = "coordinator"
FILES = ["src/lexer.py", "src/parser.py", "src/checker.py", "src/codegen.py",
         "src/cli.py", "docs/guide.md", "docs/api.md", "tests/test_parser.py"]
VERBS = ["fix", "refactor", "document", "test", "speed-up", "review", "port", "clean"]
STEP_SECONDS = 0.03


def make_backlog(seed=7, size=32):
    """(task id, files it edits, work steps) triples; tasks of 4 or more steps are long."""
    rng = random.Random(seed)
    backlog = []
    for number in range(1, size + 1):
        files = rng.sample(FILES, rng.choice([1, 1, 2]))
        name = files[0].rsplit("/", 1)[-1].split(".")[0]
        task_id = "t%02d-%s-%s" % (number, rng.choice(VERBS), name)
        backlog.append((task_id, files, rng.choice([1, 2, 2, 3, 4, 5])))
    return backlog


class Counted:
    """A view of the shared state that counts the calls made through it (one per thread)."""

    def __init__(self, state):
        self._state = state
        self.calls = Counter()

    def __getattr__(self, name):
        method = getattr(self._state, name)

        def call(*args):
            self.calls[name] += 1
            return method(*args)
        return call


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
                self.lines.append(textwrap.fill("  %-11s %s" % (who, text), width=100,
                                                subsequent_indent=" " * 14))


class Agent(threading.Thread):
    def __init__(self, name, shared, backlog, story):
        super().__init__(name=name)
        self.state = Counted(shared)   # every call below goes to the one shared object
        self.backlog = backlog
        self.story = story
        self.rng = random.Random(name)
        self.known_done = set()
        self.closing = False
        self.done = []
        self.refused_tasks = self.refused_files = self.renewals = 0
        self.sent = self.read = self.asked_to_hurry = 0

    # -- mail --
    def read_mail(self):
        for sender, _me, text, _sent_at in self.state.drain_inbox(self.name):
            self.read += 1
            if text.startswith("done "):
                self.known_done.add(text[5:])
            elif text.startswith("waiting for "):
                self.asked_to_hurry += 1
            elif text.startswith("closing"):
                self.closing = True

    # -- one attempt at one task; True when the task got done here --
    def attempt(self, task_id, files, steps):
        state, me = self.state, self.name
        task_key = "task:" + task_id
        try:
            holder = state.claim_task(me, task_id)
        except RuntimeError as refusal:
            self.refused_tasks += 1
            self.story.tell("refused-task", me, "claim_task(%r, %r) -> RuntimeError: %s"
                            % (me, task_id, refusal))
            return False
        self.story.tell("claim", me, "claim_task(%r, %r) -> %r; status(%r) -> %r"
                        % (me, task_id, holder, me, state.status(me)))
        self.read_mail()   # someone may have finished it just before releasing it
        if task_id in self.known_done:
            state.release(me, task_key)
            self.story.tell("late", me, "won %s after it was done: mail said so, released it"
                            % task_key)
            return False

        held = []
        for path in files:
            try:
                state.claim_file(me, path)
                held.append("file:" + path)
            except RuntimeError as refusal:
                self.refused_files += 1
                holder = str(refusal).split(" already holds claim on ")[0]
                state.send_message(me, holder, "waiting for %s (task %s)" % (path, task_id))
                self.sent += 1
                self.story.tell("refused-file", me, "claim_file(%r, %r) -> RuntimeError: %s; "
                                "send_message(%r, %r, 'waiting for ...')"
                                % (me, path, refusal, me, holder))
                for key in held + [task_key]:
                    state.release(me, key)
                return False

        started = time.perf_counter()
        for step in range(steps):
            time.sleep(STEP_SECONDS * self.rng.uniform(0.6, 1.4))   # the actual work
            if steps >= 4 and step < steps - 1:
                for key in [task_key] + held:
                    state.renew_claim(me, key)
                    self.renewals += 1
                self.story.tell("renew", me, "renew_claim(%r, %r) -> %r  (long task, step %d of %d)"
                                % (me, task_key, me, step + 1, steps))

        elapsed_ms = (time.perf_counter() - started) * 1000
        sent = state.broadcast(me, "done " + task_id)            # first tell everyone...
        state.send_message(me, COORDINATOR, "report %s %.0f ms" % (task_id, elapsed_ms))
        self.sent += 2
        self.story.tell("broadcast", me, "broadcast(%r, 'done %s') -> %r" % (me, task_id, sent))
        for key in held:
            state.release(me, key)
        if held:
            self.story.tell("idle-while-holding", me, "release(%r, %r) -> None; status -> %r "
                            "while it still holds %s" % (me, held[-1], state.status(me), task_key))
        state.release(me, task_key)                               # ...then let go
        self.known_done.add(task_id)
        self.done.append(task_id)
        return True

    def run(self):
        while not self.closing:
            self.read_mail()
            todo = [task for task in self.backlog if task[0] not in self.known_done]
            if not todo:
                break
            self.rng.shuffle(todo)
            if not any(self.attempt(*task) for task in todo[:3]):
                time.sleep(0.005)   # everything refused: give the others a moment


class Coordinator(threading.Thread):
    """Opens the backlog, collects the agents' reports from its inbox, closes the day."""

    def __init__(self, shared, backlog, story):
        super().__init__(name=COORDINATOR)
        self.state = Counted(shared)
        self.backlog = backlog
        self.story = story
        self.reports = Counter()
        self.read = self.drains = 0
        self.status_samples = Counter()

    def open_backlog(self):
        # A direct message registers its recipient as a known agent: from here on, every
        # broadcast reaches all four agents (an agent that had only ever sent messages would
        # not be on the list).
        for agent in AGENTS:
            self.state.send_message(COORDINATOR, agent, "welcome, %s" % agent)
        sent = self.state.broadcast(COORDINATOR, "backlog open: %d tasks" % len(self.backlog))
        self.story.tell("open", COORDINATOR, "send_message x4, broadcast(%r, %r) -> %r"
                        % (COORDINATOR, sent[2], sent))

    def run(self):
        while len(self.reports) < len(self.backlog):
            time.sleep(0.02)
            mail = self.state.drain_inbox(COORDINATOR)
            self.drains += 1
            self.read += len(mail)
            for sender, _me, text, _sent_at in mail:
                if text.startswith("report "):
                    self.reports[text.split()[1]] += 1
                    self.story.tell("report", COORDINATOR, "drain_inbox(%r) -> [..., %r, ...]"
                                    % (COORDINATOR, (sender, _me, text, _sent_at)))
            for agent in AGENTS:
                self.status_samples[self.state.status(agent)] += 1
        self.state.broadcast(COORDINATOR, "closing: all %d tasks reported" % len(self.backlog))


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
    print("durnel_core demo: %d agents and a coordinator, %d tasks over %d files, one "
          "CoordinationState" % (len(AGENTS), len(backlog), len(FILES)))

    coordinator = Coordinator(shared, backlog, story)
    coordinator.open_backlog()
    agents = [Agent(name, shared, backlog, story) for name in AGENTS]
    started = time.perf_counter()
    coordinator.start()
    for agent in agents:
        agent.start()
    coordinator.join(timeout=60)
    for agent in agents:
        agent.join(timeout=10)
    elapsed = time.perf_counter() - started
    leftover = {name: len(shared.inbox(name)) for name in AGENTS}   # peek, do not consume

    print("\nA few moments of the run, one of each kind")
    print("\n".join(story.lines))

    print("\n%-12s %5s %9s %9s %9s %6s %6s %8s  %s" % (
        "agent", "tasks", "refused:", "refused:", "renewals", "sent", "read", "unread", "status"))
    print("%-12s %5s %9s %9s %9s %6s %6s %8s" % ("", "done", "task", "file", "", "", "", ""))
    for agent in agents:
        print("%-12s %5d %9d %9d %9d %6d %6d %8d  %s" % (
            agent.name, len(agent.done), agent.refused_tasks, agent.refused_files,
            agent.renewals, agent.sent, agent.read, leftover[agent.name],
            shared.status(agent.name)))
    total = lambda attribute: sum(getattr(a, attribute) for a in agents)   # noqa: E731
    print("%-12s %5d %9d %9d %9d %6d %6d" % (
        "total", sum(len(a.done) for a in agents), total("refused_tasks"),
        total("refused_files"), total("renewals"), total("sent"), total("read")))
    sent_by_coordinator = coordinator.state.calls["send_message"] + coordinator.state.calls["broadcast"]
    print("%-12s %5s %9s %9s %9s %6d %6d           %s" % (
        COORDINATOR, "", "", "", "", sent_by_coordinator, coordinator.read,
        shared.status(COORDINATOR)))
    print()
    say("The coordinator drained its inbox %d times and got %d reports; it saw agents %s."
        % (coordinator.drains, sum(coordinator.reports.values()),
           ", ".join("%s %d times" % kv for kv in coordinator.status_samples.most_common())))

    calls = Counter()
    for view in [coordinator.state] + [a.state for a in agents]:
        calls.update(view.calls)
    say("Calls: %d in %.2f s, %.0f per second while the agents mostly sleep on their work; "
        "by method: %s." % (sum(calls.values()), elapsed, sum(calls.values()) / elapsed,
                            ", ".join("%s %d" % kv for kv in calls.most_common())))
    one, four = tight_loop(1), tight_loop(4)
    say("Tight loop, no work between calls: %.2f M calls/s on 1 thread, %.2f M calls/s on 4 "
        "(calls hold the interpreter lock, so threads take turns)." % (one / 1e6, four / 1e6))

    done_by = Counter(task for agent in agents for task in agent.done)
    checks = [
        ("every task done exactly once", sorted(done_by) == sorted(t[0] for t in backlog)
         and set(done_by.values()) == {1}),
        ("every task reported exactly once", set(coordinator.reports.values()) == {1}
         and len(coordinator.reports) == len(backlog)),
        ("every agent idle at the end (its last call was a release)",
         all(shared.status(a) == "idle" for a in AGENTS)),
        ("no claim left behind", all(_no_claim(shared, t[0], t[1]) for t in backlog)),
        ("finished within a minute", all(not a.is_alive() for a in agents + [coordinator])),
    ]
    print("\nChecks")
    for name, ok in checks:
        print("  %-4s %s" % ("yes" if ok else "NO", name))
    return 0 if all(ok for _, ok in checks) else 1


def say(text):
    print(textwrap.fill(text, width=96, subsequent_indent="  "))


def _no_claim(state, task_id, files):
    """True when neither the task nor its files are claimed: a fresh claim succeeds."""
    probe = "probe"
    for claim, key in [(state.claim_task, task_id)] + [(state.claim_file, f) for f in files]:
        try:
            claim(probe, key)
        except RuntimeError:
            return False
        state.release(probe, ("task:" if claim == state.claim_task else "file:") + key)
    return True


if __name__ == "__main__":
    raise SystemExit(main())
