"""Load test: many Python threads share one CoordinationState for 10^5 mixed operations;
then 8 processes share one Redis namespace, and 8 one SQLite file, checked from the log.

Eight worker threads, each one agent, claim, renew and release files and tasks out of a small
common pool, send direct messages and broadcasts, read and drain their own mailboxes and read
statuses, with a very short interpreter switch interval so that the threads interleave
between nearly every pair of calls. Checked:

* a live claim never has two holders (each grant is recorded under a lock and must find the
  resource free), and every refusal names an agent that did hold the resource;
* no message is lost or duplicated: everything drained, plus what is left at the end, is
  exactly what was sent, direct messages to their recipient and broadcasts to every agent;
* each sender's messages reach each recipient in sending order;
* every thread finishes: joins have a timeout, and a watchdog ends the process with every
  thread's traceback if the interpreter itself stops (a thread stuck inside the module
  holds the GIL, so a join timeout alone would never fire);
* at the end each agent's status is the one its own last claim or release left, and the
  claims table holds exactly the claims the agents believe they hold.

Nothing here measures time; the run takes a few seconds.
"""

import faulthandler
import random
import sys
import threading

from conftest import sqlite_selected
from durnel_core import CoordinationState

THREADS = 8
OPERATIONS = 100_000
JOIN_TIMEOUT = 120.0
WATCHDOG_SECONDS = 240.0
AGENTS = ["agent-%d" % i for i in range(THREADS - 2)] + ["\u00e4gent-\u00df", "agent\x007"]
FILES = ["src/mod%d.py" % i for i in range(20)] + ["", "d\u00e9j\u00e0/vu.txt"]
TASKS = ["phase-%d" % i for i in range(8)]
KEYS = ["file:" + path for path in FILES] + ["task:" + task for task in TASKS]
PROBE = "\x00load-probe"  # never holds anything


def parse_refusal(message, *patterns):
    """Returns the agent named by a refusal of one of the given forms, '{}' standing for it."""
    for pattern in patterns:
        head, tail = pattern.split("{}")
        if (
            message.startswith(head)
            and message.endswith(tail)
            and len(message) >= len(head) + len(tail)
        ):
            return message[len(head) : len(message) - len(tail)]
    raise AssertionError("unexpected refusal: %r" % (message,))


class Shared:
    """What the workers record, guarded by one lock."""

    def __init__(self):
        self.lock = threading.Lock()
        self.owner = dict.fromkeys(KEYS)  # resource key -> current holder (None when free)
        self.ever_held = {key: set() for key in KEYS}
        self.named_in_refusals = []  # (key, agent named as holder)
        self.double_grants = []
        self.errors = []


class Worker:
    def __init__(self, index, state, shared, operations):
        self.agent = AGENTS[index]
        self.state = state
        self.shared = shared
        self.operations = operations
        self.random = random.Random(1000 + index)
        self.held = set()
        self.status = "idle"  # what this agent's own last claim or release left
        self.sequence = 0
        self.sent = {}  # recipient (or "*") -> list of sequence numbers, in sending order
        self.received = []  # (sender, sequence), in the order drained

    # ---- claims ----

    def claim(self):
        if self.random.random() < 0.5:
            path = self.random.choice(FILES)
            key, call = "file:" + path, self.state.claim_file
            refusal = "{} already holds claim on " + path
        else:
            task = self.random.choice(TASKS)
            key, call = "task:" + task, self.state.claim_task
            refusal = "{} already holds claim on task " + task
        try:
            holder = call(self.agent, key.split(":", 1)[1])
        except RuntimeError as error:
            named = parse_refusal(error.args[0], refusal)
            if key in self.held:
                assert named == self.agent, (key, named)
            else:
                assert named != self.agent, (key, named)
                with self.shared.lock:
                    self.shared.named_in_refusals.append((key, named))
            return
        assert holder == self.agent
        assert key not in self.held, "granted a claim this agent already holds: " + key
        with self.shared.lock:
            if self.shared.owner[key] is not None:
                self.shared.double_grants.append((key, self.shared.owner[key], self.agent))
            self.shared.owner[key] = self.agent
            self.shared.ever_held[key].add(self.agent)
        self.held.add(key)
        self.status = "busy"

    def renew(self):
        if self.held and self.random.random() < 0.7:
            key = self.random.choice(sorted(self.held))
            assert self.state.renew_claim(self.agent, key) == self.agent
            return
        key = self.random.choice(KEYS)
        if key in self.held:
            return
        try:
            self.state.renew_claim(self.agent, key)
        except RuntimeError as error:
            message = error.args[0]
            if message != "no claim on %s to renew" % key:
                named = parse_refusal(message, self.agent + " cannot renew a claim held by {}")
                assert named != self.agent
                with self.shared.lock:
                    self.shared.named_in_refusals.append((key, named))
            return
        raise AssertionError("renewed a claim this agent does not hold: " + key)

    def release(self):
        if self.held and self.random.random() < 0.7:
            key = self.random.choice(sorted(self.held))
            with self.shared.lock:
                # Cleared before the call: once released, another agent may win it at once.
                assert self.shared.owner[key] == self.agent
                self.shared.owner[key] = None
            assert self.state.release(self.agent, key) is None
            self.held.discard(key)
            self.status = "idle"
            return
        key = self.random.choice(KEYS)
        if key in self.held:
            return
        try:
            self.state.release(self.agent, key)
        except RuntimeError as error:
            message = error.args[0]
            if message != "no claim found for " + self.agent:
                named = parse_refusal(message, self.agent + " cannot release a claim held by {}")
                assert named != self.agent
                with self.shared.lock:
                    self.shared.named_in_refusals.append((key, named))
            return
        raise AssertionError("released a claim this agent does not hold: " + key)

    # ---- messages ----

    def send(self):
        recipient = self.random.choice(AGENTS)
        self.sequence += 1
        content = "%s|%d" % (self.agent, self.sequence)
        result = self.state.send_message(self.agent, recipient, content)
        assert result[:3] == (self.agent, recipient, content)
        self.sent.setdefault(recipient, []).append(self.sequence)

    def broadcast(self):
        self.sequence += 1
        content = "%s|%d" % (self.agent, self.sequence)
        assert self.state.broadcast(self.agent, content)[:3] == (self.agent, "*", content)
        self.sent.setdefault("*", []).append(self.sequence)

    def take(self, messages):
        for sender, recipient, content, sent_at in messages:
            assert recipient == self.agent and isinstance(sent_at, int)
            name, _, number = content.rpartition("|")
            assert name == sender, (sender, content)
            self.received.append((sender, int(number)))

    def drain(self):
        self.take(self.state.drain_inbox(self.agent))

    def peek(self):
        pending = self.state.inbox(self.agent)
        last = {}
        for sender, recipient, content, _ in pending:
            assert recipient == self.agent
            number = int(content.rpartition("|")[2])
            assert number > last.get(sender, 0), "out of order in a pending inbox"
            last[sender] = number

    def read_status(self):
        assert self.state.status(self.agent) == self.status
        assert self.state.status(self.random.choice(AGENTS)) in ("idle", "busy")

    def run(self):
        choices = (
            [self.claim] * 22
            + [self.renew] * 10
            + [self.release] * 18
            + [self.send] * 26
            + [self.broadcast] * 3
            + [self.drain] * 10
            + [self.peek] * 4
            + [self.read_status] * 7
        )
        try:
            for _ in range(self.operations):
                self.random.choice(choices)()
        except BaseException as error:  # reported by the main thread
            import traceback

            with self.shared.lock:
                self.shared.errors.append((self.agent, traceback.format_exc()))
            raise error


def test_threads_share_one_state_without_loss_or_double_grants():
    state = CoordinationState()
    shared = Shared()
    # Register every agent first (a received message makes an agent known), so that every
    # broadcast reaches exactly all of them.
    for agent in AGENTS:
        state.send_message("main", agent, "main|0")
        assert [m[0] for m in state.drain_inbox(agent)] == ["main"]
    workers = [Worker(i, state, shared, OPERATIONS // THREADS) for i in range(THREADS)]
    threads = [threading.Thread(target=w.run, name=w.agent, daemon=True) for w in workers]

    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(JOIN_TIMEOUT)
        stuck = [thread.name for thread in threads if thread.is_alive()]
    finally:
        faulthandler.cancel_dump_traceback_later()
        sys.setswitchinterval(switch_interval)
    assert stuck == [], "threads did not finish (deadlock?): %r" % stuck
    assert shared.errors == [], "\n".join(trace for _, trace in shared.errors)
    assert shared.double_grants == []

    # Claims: the table holds exactly what the agents believe they hold.
    for key in KEYS:
        try:
            state.release(PROBE, key)
        except RuntimeError as error:
            message = error.args[0]
        holder = (
            None
            if message == "no claim found for " + PROBE
            else parse_refusal(message, PROBE + " cannot release a claim held by {}")
        )
        assert holder == shared.owner[key], key
        assert (holder is not None) == any(key in w.held for w in workers), key
    for key, named in shared.named_in_refusals:
        assert named in shared.ever_held[key], (key, named)

    # Statuses: each agent's is the trace of its own last claim or release.
    for worker in workers:
        assert state.status(worker.agent) == worker.status, worker.agent

    # Messages: what was drained plus what is left is exactly what was sent, in order.
    for worker in workers:
        worker.drain()
    broadcasts = {w.agent: w.sent.get("*", []) for w in workers}
    for receiver in workers:
        got = {}
        for sender, number in receiver.received:
            got.setdefault(sender, []).append(number)
        for sender in workers:
            numbers = got.get(sender.agent, [])
            assert numbers == sorted(numbers), "order broken: %s -> %s" % (
                sender.agent,
                receiver.agent,
            )
            expected = sorted(sender.sent.get(receiver.agent, []) + broadcasts[sender.agent])
            assert numbers == expected, "lost or duplicated: %s -> %s" % (
                sender.agent,
                receiver.agent,
            )
        assert set(got) <= set(AGENTS), set(got)
    total = sum(len(w.received) for w in workers)
    sent = (
        sum(len(v) for w in workers for k, v in w.sent.items() if k != "*")
        + sum(len(v) for v in broadcasts.values()) * THREADS
    )
    assert total == sent
    assert total > OPERATIONS // 5  # the mix really sent messages

    # Every claim can still be released by its holder: no guard was left held.
    for worker in workers:
        for key in sorted(worker.held):
            assert state.release(worker.agent, key) is None
        assert state.status(worker.agent) in ("idle", "busy")


# ---- processes on one Redis namespace ----

PROCESSES = 8
PROCESS_OPERATIONS = 10_000


def redis_load_worker(index, url, namespace, operations, barrier, results):
    """One agent process: mixed calls on the shared namespace, then (once every process has
    stopped sending) a last drain. Puts what it sent and received on `results`. The engine
    is the one that `url` names (the SQLite test below runs it too)."""
    import durnel

    rng = random.Random(index)
    agent = "agent-%d" % index
    others = ["agent-%d" % i for i in range(PROCESSES) if i != index]
    state = durnel.connect(url, namespace=namespace)
    held, sent, broadcasts, received = set(), {}, 0, []
    try:
        for _ in range(operations):
            roll = rng.random()
            if roll < 0.30:
                key = rng.choice(KEYS)
                try:
                    if key.startswith("file:"):
                        assert state.claim_file(agent, key[5:]) == agent
                    else:
                        assert state.claim_task(agent, key[5:]) == agent
                    held.add(key)
                except RuntimeError as refusal:
                    # Held by someone: this agent exactly when it holds the key itself.
                    holder = str(refusal).split(" already holds claim on ")[0]
                    assert (holder == agent) == (key in held), (refusal, key, held)
            elif roll < 0.45 and held:
                assert state.release(agent, held.pop()) is None
            elif roll < 0.50 and held:
                assert state.renew_claim(agent, rng.choice(sorted(held))) == agent
            elif roll < 0.75:
                to = rng.choice(others)
                content = "%s|%d" % (agent, sent.get(to, 0))
                assert state.send_message(agent, to, content)[:3] == (agent, to, content)
                sent[to] = sent.get(to, 0) + 1
            elif roll < 0.78:
                state.broadcast(agent, "%s|b%d" % (agent, broadcasts))
                broadcasts += 1
            elif roll < 0.95:
                received.extend(m[2] for m in state.drain_inbox(agent))
            else:
                assert state.status(rng.choice(others)) in ("idle", "busy")
        for key in sorted(held):
            state.release(agent, key)
        barrier.wait(timeout=300)
        received.extend(m[2] for m in state.drain_inbox(agent))
        results.put((agent, sent, broadcasts, received, None))
    except BaseException:  # reported by the parent, never swallowed
        import traceback

        barrier.abort()
        results.put((agent, None, None, None, traceback.format_exc()))
    finally:
        state.close()


def test_processes_share_one_redis_namespace_without_loss_or_double_grants(
    redis_server, redis_client
):
    import multiprocessing
    import uuid

    context = multiprocessing.get_context("spawn")
    namespace = "load-" + uuid.uuid4().hex
    barrier, results = context.Barrier(PROCESSES), context.Queue()
    workers = [
        context.Process(
            target=redis_load_worker,
            args=(i, redis_server.url, namespace, PROCESS_OPERATIONS, barrier, results),
        )
        for i in range(PROCESSES)
    ]
    for worker in workers:
        worker.start()
    outcomes = [results.get(timeout=600) for _ in workers]
    for worker in workers:
        worker.join(60)
    assert [error for *_, error in outcomes if error] == []
    by_agent = {
        agent: (sent, broadcasts, received) for agent, sent, broadcasts, received, _ in outcomes
    }

    # Per sender and recipient: every direct message once, in sending order; broadcasts
    # without gaps from the moment the recipient was registered, each once, in order.
    for recipient, (_, _, received) in by_agent.items():
        for sender, (sent, broadcasts, _) in by_agent.items():
            direct = [
                int(c.split("|")[1])
                for c in received
                if c.startswith(sender + "|") and "|b" not in c
            ]
            assert direct == list(range(sent.get(recipient, 0))), (sender, recipient)
            cast = [int(c.split("|b")[1]) for c in received if c.startswith(sender + "|b")]
            assert cast == list(range(broadcasts - len(cast), broadcasts)), (sender, recipient)

    # The log is a total order: replaying it, no resource ever has two holders.
    holders, direct_events, broadcast_events = {}, 0, 0
    for _, fields in redis_client.xrange("durnel:{%s}:log" % namespace):
        event = fields[b"event"]
        if event == b"Claimed":
            assert fields[b"resource"] not in holders, fields
            holders[fields[b"resource"]] = fields[b"agent"]
        elif event == b"Released":
            assert holders.pop(fields[b"resource"]) == fields[b"agent"], fields
        elif event == b"MessageSent":
            direct_events += 1
        else:
            broadcast_events += 1
    assert holders == {}
    assert direct_events == sum(sum(s.values()) for s, _, _ in by_agent.values())
    assert broadcast_events == sum(b for _, b, _ in by_agent.values())


# ---- processes on one SQLite file ----

SQLITE_PROCESS_OPERATIONS = 1_500


def check_process_load(outcomes, log):
    """What test_processes_share_one_redis_namespace_... checks, for any engine: ``outcomes``
    as the workers put them, ``log`` the namespace's events in order as (event, agent,
    resource) triples (None for the fields an event lacks)."""
    assert [error for *_, error in outcomes if error] == []
    by_agent = {agent: (sent, casts, received) for agent, sent, casts, received, _ in outcomes}
    for recipient, (_, _, received) in by_agent.items():
        for sender, (sent, broadcasts, _) in by_agent.items():
            direct = [
                int(c.split("|")[1])
                for c in received
                if c.startswith(sender + "|") and "|b" not in c
            ]
            assert direct == list(range(sent.get(recipient, 0))), (sender, recipient)
            cast = [int(c.split("|b")[1]) for c in received if c.startswith(sender + "|b")]
            assert cast == list(range(broadcasts - len(cast), broadcasts)), (sender, recipient)
    holders, kinds = {}, {}
    for event, agent, resource in log:
        kinds[event] = kinds.get(event, 0) + 1
        if event == "Claimed":
            assert resource not in holders, (event, agent, resource)
            holders[resource] = agent
        elif event == "Released":
            assert holders.pop(resource) == agent, (event, agent, resource)
    assert holders == {}
    assert kinds.get("MessageSent", 0) == sum(sum(s.values()) for s, _, _ in by_agent.values())
    assert kinds.get("BroadcastSent", 0) == sum(b for _, b, _ in by_agent.values())


@sqlite_selected
def test_processes_share_one_sqlite_file_without_loss_or_double_grants(tmp_path):
    import contextlib
    import multiprocessing
    import sqlite3

    context = multiprocessing.get_context("spawn")
    path = tmp_path / "load.db"
    barrier, results = context.Barrier(PROCESSES), context.Queue()
    workers = [
        context.Process(
            target=redis_load_worker,
            args=(i, "sqlite:///" + str(path), "load", SQLITE_PROCESS_OPERATIONS, barrier, results),
        )
        for i in range(PROCESSES)
    ]
    for worker in workers:
        worker.start()
    outcomes = [results.get(timeout=600) for _ in workers]
    for worker in workers:
        worker.join(60)
    with contextlib.closing(sqlite3.connect(str(path))) as db:
        log = db.execute(
            "SELECT event, agent, resource FROM log WHERE namespace = 'load' ORDER BY seq"
        ).fetchall()
        assert db.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
    check_process_load(outcomes, log)
