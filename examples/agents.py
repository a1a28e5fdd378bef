"""The agent of the examples, written against `durnel.Coordination` alone: the same class
works through the backlog as a thread on the in-process engine (examples/demo.py) and as a
process on SQLite or Redis (examples/processes.py), without a line changed.

Also the backlog both examples share, and a view of a coordination object that counts calls.
"""

import random
import time
from collections import Counter

AGENTS = ["ana", "bo", "cy", "dee"]
COORDINATOR = "coordinator"
FILES = [
    "src/lexer.py",
    "src/parser.py",
    "src/checker.py",
    "src/codegen.py",
    "src/cli.py",
    "docs/guide.md",
    "docs/api.md",
    "tests/test_parser.py",
]
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
    """A view of a coordination object that counts the calls made through it."""

    def __init__(self, state):
        self._state = state
        self.calls = Counter()

    def __getattr__(self, name):
        method = getattr(self._state, name)

        def call(*args):
            self.calls[name] += 1
            return method(*args)

        return call


class Agent:
    """One agent: claims tasks and their files, does the work, tells the others, lets go.
    `story` records the first call of each kind (see the examples)."""

    def __init__(self, name, state, backlog, story):
        self.name = name
        self.state = Counted(state)
        self.backlog = backlog
        self.story = story
        self.rng = random.Random(name)
        self.known_done = set()
        self.closing = False
        self.done = []
        self.refused_tasks = self.refused_files = self.renewals = 0
        self.sent = self.read = self.asked_to_hurry = 0

    def read_mail(self):
        for _sender, _me, text, _sent_at in self.state.drain_inbox(self.name):
            self.read += 1
            if text.startswith("done "):
                self.known_done.add(text[5:])
            elif text.startswith("waiting for "):
                self.asked_to_hurry += 1
            elif text.startswith("closing"):
                self.closing = True

    def attempt(self, task_id, files, steps):
        """One attempt at one task; True when the task got done here."""
        state, me = self.state, self.name
        task_key = "task:" + task_id
        try:
            holder = state.claim_task(me, task_id)
        except RuntimeError as refusal:
            self.refused_tasks += 1
            self.story.tell(
                "refused-task",
                me,
                "claim_task(%r, %r) -> RuntimeError: %s" % (me, task_id, refusal),
            )
            return False
        self.story.tell(
            "claim",
            me,
            "claim_task(%r, %r) -> %r; status(%r) -> %r"
            % (me, task_id, holder, me, state.status(me)),
        )
        self.read_mail()  # someone may have finished it just before releasing it
        if task_id in self.known_done:
            state.release(me, task_key)
            self.story.tell(
                "late", me, "won %s after it was done: mail said so, released it" % task_key
            )
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
                self.story.tell(
                    "refused-file",
                    me,
                    "claim_file(%r, %r) -> RuntimeError: %s; "
                    "send_message(%r, %r, 'waiting for ...')" % (me, path, refusal, me, holder),
                )
                for key in held + [task_key]:
                    state.release(me, key)
                return False

        started = time.perf_counter()
        for step in range(steps):
            time.sleep(STEP_SECONDS * self.rng.uniform(0.6, 1.4))  # the actual work
            if steps >= 4 and step < steps - 1:
                for key in [task_key] + held:
                    state.renew_claim(me, key)
                    self.renewals += 1
                self.story.tell(
                    "renew",
                    me,
                    "renew_claim(%r, %r) -> %r  (long task, step %d "
                    "of %d)" % (me, task_key, me, step + 1, steps),
                )

        elapsed_ms = (time.perf_counter() - started) * 1000
        sent = state.broadcast(me, "done " + task_id)  # first tell everyone...
        state.send_message(me, COORDINATOR, "report %s %.0f ms" % (task_id, elapsed_ms))
        self.sent += 2
        self.story.tell("broadcast", me, "broadcast(%r, 'done %s') -> %r" % (me, task_id, sent))
        for key in held:
            state.release(me, key)
        if held:
            self.story.tell(
                "idle-while-holding",
                me,
                "release(%r, %r) -> None; status -> %r "
                "while it still holds %s" % (me, held[-1], state.status(me), task_key),
            )
        state.release(me, task_key)  # ...then let go
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
                time.sleep(0.005)  # everything refused: give the others a moment


class Coordinator:
    """Opens the backlog, collects the agents' reports from its inbox and closes the day; the
    examples run it as a thread beside the agents or as the parent of the agent processes."""

    def __init__(self, state, backlog, story):
        self.state = Counted(state)
        self.backlog = backlog
        self.story = story
        self.reports = Counter()
        self.read = self.drains = 0
        self.status_samples = Counter()

    def open_backlog(self):
        # A direct message registers its recipient as a known agent: from here on, every
        # broadcast reaches all four agents (an agent that had only ever sent messages would
        # not be on the list), whichever thread or process sends it.
        for agent in AGENTS:
            self.state.send_message(COORDINATOR, agent, "welcome, %s" % agent)
        sent = self.state.broadcast(COORDINATOR, "backlog open: %d tasks" % len(self.backlog))
        self.story.tell(
            "open",
            COORDINATOR,
            "send_message x4, broadcast(%r, %r) -> %r" % (COORDINATOR, sent[2], sent),
        )

    def collect(self, still_working=lambda: True):
        """Reads the reports until every task has one, or until a drain made after
        ``still_working()`` turned false still leaves some missing; then broadcasts the closing
        message."""
        while len(self.reports) < len(self.backlog):
            working = still_working()
            time.sleep(0.02)
            mail = self.state.drain_inbox(COORDINATOR)
            self.drains += 1
            self.read += len(mail)
            for message in mail:
                if message[2].startswith("report "):
                    self.reports[message[2].split()[1]] += 1
                    call = "drain_inbox(%r) -> [..., %r, ...]" % (COORDINATOR, message)
                    self.story.tell("report", COORDINATOR, call)
            for agent in AGENTS:
                self.status_samples[self.state.status(agent)] += 1
            if not working:
                break
        self.state.broadcast(COORDINATOR, "closing: all %d tasks reported" % len(self.backlog))


def no_claim(state, task_id, files):
    """True when neither the task nor its files are claimed: a fresh claim succeeds."""
    probe = "probe"
    for claim, prefix, key in [(state.claim_task, "task:", task_id)] + [
        (state.claim_file, "file:", f) for f in files
    ]:
        try:
            claim(probe, key)
        except RuntimeError:
            return False
        state.release(probe, prefix + key)
    return True
