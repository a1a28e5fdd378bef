"""durnel.snapshot on every engine it reads: what it lists at one clock reading (lease edges,
takeovers, drained mailboxes, the log's tail and its numbers), that it changes nothing, and
follow_log's blocking read. On Redis and SQLite a snapshot is one consistent moment while agents
work, and the namespaces of a file or server are counted; the Redis engine's own cases: one
read-only function, foreign data named, a lost drain's batch counted again once inbox() lists
it again, events keeping their numbers when the log is trimmed. The in-process engine's own:
snapshots taken on some threads while writers work on others (no hang, each shard seen whole, a
broadcast caught half delivered), a daemon thread taking snapshots while the interpreter exits,
and its reader module's errors."""

import os
import re
import socket
import threading
import time

import pytest

import durnel
import durnel.aio
import durnel_core_snapshot
from durnel.snapshots import (
    AgentView,
    ClaimView,
    MailboxView,
    NamespaceView,
    as_json,
    follow_log,
    namespaces,
)
from test_waits import in_thread

pytestmark = [pytest.mark.every_engine, pytest.mark.snapshots]


def target(state):
    """The object under test: the asyncio object itself for one driven by the tests."""
    return getattr(state, "target", state)


def test_a_snapshot_lists_the_group_at_its_clock_reading(clocked):
    clocked.at(1000)
    clocked.claim_task("ana", "a")
    clocked.claim_file("bo", "f")
    clocked.at(1100)
    clocked.renew_claim("ana", "task:a")
    clocked.send_message("bo", "cy", "one")
    clocked.at(1150)
    clocked.send_message("bo", "cy", "two")
    clocked.at(1200)
    clocked.broadcast("dee", "all")
    clocked.at(1210)
    clocked.drain_inbox("cy")
    clocked.status("cy")  # settles the drain on Redis: unsettled, it would count again at 1270
    clocked.at(1299)
    shot = clocked.snapshot(log_tail=2)
    assert shot.now == 1299
    assert shot.agents == (
        AgentView("ana", "busy"),
        AgentView("bo", "busy"),
        AgentView("cy", "idle"),
        AgentView("dee", "idle"),
    )
    assert shot.claims == (
        ClaimView("file:f", "bo", 1000, 299, 1, False),
        ClaimView("task:a", "ana", 1100, 199, 101, False),
    )
    assert shot.mailboxes == tuple(MailboxView(a, 1, 1200, 99) for a in ("ana", "bo", "dee"))
    assert shot.log_length == 5
    assert [(e.event, e.at, e.from_agent, e.to_agent, e.content) for e in shot.log] == [
        ("MessageSent", 1150, "bo", "cy", "two"),
        ("BroadcastSent", 1200, "dee", None, "all"),
    ]
    assert [e.id for e in shot.log] == [4, 5]  # numbered from 1, on every engine

    clocked.at(1300)  # bo's claim lapses at 300 s, and stays listed until taken over
    assert clocked.snapshot(log_tail=0).claims[0] == ClaimView("file:f", "bo", 1000, 300, 0, True)
    clocked.at(1310)
    clocked.claim_file("eve", "f")
    clocked.at(900)  # a clock that went back makes claims young, never negative
    shot = clocked.snapshot(log_tail=3)
    assert shot.claims[0] == ClaimView("file:f", "eve", 1310, 0, 300, False)
    assert [(e.id, e.event, e.agent, e.resource, e.at) for e in shot.log[1:]] == [
        (6, "Claimed", "eve", "file:f", 1310),
        (7, "Released", "bo", "file:f", 1310),
    ]
    assert shot.mailboxes[0] == MailboxView("ana", 1, 1200, 0)
    assert as_json(shot)["claims"][0] == {
        "resource": "file:f",
        "holder": "eve",
        "stamp": 1310,
        "age": 0,
        "seconds_left": 300,
        "lapsed": False,
    }


@pytest.mark.reachable_only
def test_a_snapshot_is_one_moment_while_agents_work(state):
    # One agent claims and releases one task over and over: claim and status change together,
    # and each cycle logs two events. A reader that looked twice could see them apart.
    stop = threading.Event()

    def work():
        while not stop.is_set():
            state.claim_task("w", "t")
            state.release("w", "task:t")

    worker = threading.Thread(target=work)
    worker.start()
    try:
        seen = set()
        taken = 0
        # both phases must be seen; how a reader's moments fall between the worker's calls
        # depends on the engine and on the scheduler, so it may take more than a few
        while taken < 150 or (len(seen) < 2 and taken < 5000):
            taken += 1
            shot = durnel.snapshot(state, log_tail=1)
            held = bool(shot.claims)
            status = shot.agents[0].status if shot.agents else "idle"
            assert (status == "busy") == held == (shot.log_length % 2 == 1), shot
            if shot.log:
                assert shot.log[-1].event == ("Claimed" if held else "Released"), shot
            seen.add(held)
    finally:
        stop.set()
        worker.join()
    assert seen == {True, False}


def test_follow_log_waits_for_the_next_event(state):
    state.claim_task("a", "t")
    (first,) = follow_log(target(state), None, 0.1)
    assert first.id == 1 and first.event == "Claimed" and first.agent == "a"
    assert follow_log(target(state), first.id, 0.2) == ()
    timer = threading.Timer(0.3, state.send_message, ("a", "b", "late"))
    timer.start()
    started = time.monotonic()
    events = follow_log(target(state), first.id, 20)
    timer.join()
    assert [(e.id, e.event, e.content) for e in events] == [(2, "MessageSent", "late")]
    assert time.monotonic() - started < 15  # woken by the event, not by the time-out


@pytest.mark.reachable_only
def test_namespaces_are_listed_with_their_counts(engine, state):
    # the other namespace on the same server or file (other tests' namespaces are there too)
    place = state.path if engine == "sqlite" else state.client
    other = type(state)(place, state.namespace + "-2")
    state.claim_task("ana", "t")
    state.send_message("ana", "bo", "hi")
    state.send_message("cy", "bo", "yo")
    other.claim_file("dee", "f")
    ours = [v for v in namespaces(state) if v.namespace.startswith(state.namespace)]
    assert ours == [
        NamespaceView(state.namespace, 2, 1, 2, 3),
        NamespaceView(other.namespace, 1, 1, 0, 1),
    ]
    assert namespaces(other) == namespaces(state)


@pytest.mark.reachable_only
@pytest.mark.engines("sqlite", "redis", "cluster")
def test_waiters_and_callers_are_listed_while_they_wait_and_a_revoke_serves_the_first(
    state, monkeypatch
):
    from durnel.sqlite import waits

    monkeypatch.setattr(waits, "LOOK_EVERY", 120.0)  # only a wake-up serves a waiter in time
    started = int(time.time())
    state.claim_task("holder", "t")
    first = in_thread(state.wait_claim_task, "w1", "t", 60)
    deadline = time.monotonic() + 20

    def wait_for_waiters(count):
        while len(durnel.snapshot(state).waiters) < count and time.monotonic() < deadline:
            time.sleep(0.02)

    wait_for_waiters(1)
    second = in_thread(state.wait_claim_task, "w2", "t", 60)
    mail = in_thread(state.wait_for_messages, "m", 60)
    wait_for_waiters(3)
    shot = durnel.snapshot(state)
    assert [(w.kind, w.key, w.position, w.agent) for w in shot.waiters] == [
        ("claim", "task:t", 1, "w1"),
        ("claim", "task:t", 2, "w2"),
        ("mail", "m", 0, "m"),
    ]
    here = (socket.gethostname(), os.getpid())
    assert all((w.host, w.pid) == here and started <= w.since <= shot.now for w in shot.waiters)
    assert [p.agent for p in shot.presence] == ["holder", "m", "w1", "w2"]
    for seen in shot.presence:
        assert (seen.host, seen.pid, seen.object_id) == here + (target(state).object_id,)
        assert started <= seen.last_seen <= shot.now and seen.age == shot.now - seen.last_seen
    assert as_json(shot)["waiters"][0]["agent"] == "w1"

    assert state.revoke("task:t", "ops") == "holder"
    assert first(30) == "w1"
    event = durnel.snapshot(state, log_tail=2).log[0]
    assert (event.event, event.agent, event.resource, event.from_agent) == (
        "Revoked",
        "holder",
        "task:t",
        "ops",
    )
    assert state.status("holder") == "busy"  # left as a takeover leaves it
    state.send_message("x", "m", "hi")
    assert [m[2] for m in mail(30)] == ["hi"]
    state.release("w1", "task:t")
    assert second(30) == "w2"
    assert durnel.snapshot(state).waiters == ()
    with pytest.raises(RuntimeError, match="^no claim on task:none to revoke$"):
        state.revoke("task:none", "ops")


def test_what_cannot_be_snapshot_says_why():
    with pytest.raises(TypeError, match="no engine's snapshot reader serves it"):
        durnel.snapshot(object())
    for bad in (-1, 1.5, None, True):
        with pytest.raises(ValueError, match="log_tail"):
            durnel.snapshot(object(), log_tail=bad)
    for bad in (-1, "3", "1-0", 1.0, True):
        with pytest.raises(ValueError, match="after must be an event number"):
            follow_log(object(), bad, 0)


# ---- the Redis engine's own ----


def test_on_redis_a_snapshot_is_one_script_and_writes_nothing(redis_server, redis_client):
    import redis

    sent = []

    class Counting(redis.Redis):
        def execute_command(self, *args, **options):
            sent.append(args[0])
            return super().execute_command(*args, **options)

    from durnel.redis import RedisCoordinationState

    state = RedisCoordinationState(Counting(port=redis_server.port), "snap-" + str(time.time()))
    state.claim_task("a", "t")
    state.send_message("a", "b", "m")
    state.drain_inbox("b")  # leaves a session key behind
    state.send_message("a", "b", "n")
    keys = sorted(redis_client.scan_iter(match="durnel:{%s}:*" % state.namespace))
    before = {key: (redis_client.dump(key), redis_client.pttl(key) > 0) for key in keys}
    del sent[:]
    durnel.snapshot(state)
    assert sent == ["FCALL_RO"]
    assert sorted(redis_client.scan_iter(match="durnel:{%s}:*" % state.namespace)) == keys
    assert {k: (redis_client.dump(k), redis_client.pttl(k) > 0) for k in keys} == before


def test_on_redis_foreign_data_is_named(redis_client):
    from durnel.redis import ForeignDataError, RedisCoordinationState

    name = "snap-foreign-" + str(time.time())
    state = RedisCoordinationState(redis_client, name)
    state.send_message("a", "b", "m")
    prefix = "durnel:{%s}:" % name
    replaced = lambda k: redis_client.delete(k) and redis_client.set(k, "x")  # noqa: E731
    for key, spoil, named in [
        ("inbox:b", lambda k: redis_client.lset(k, 0, "garbage"), "inbox:b"),
        ("inbox:b", replaced, "inbox:b"),
        ("status", lambda k: redis_client.hset(k, "b", "asleep"), "status"),
        ("claims", lambda k: redis_client.hset(k, "task:x", "nostamp"), "claims"),
        ("log", replaced, "log"),
        ("inflight:b", lambda k: redis_client.hset(k, "x", "1|m"), "inflight:b"),
        ("inflight:b", lambda k: redis_client.set(k, "x"), "inflight:b"),
    ]:
        saved = redis_client.dump(prefix + key)
        spoil(prefix + key)
        with pytest.raises(ForeignDataError, match=r"durnel:\{%s\}:%s" % (name, named)):
            durnel.snapshot(state)
        redis_client.delete(prefix + key)
        if saved is not None:
            redis_client.restore(prefix + key, 0, saved)
    assert durnel.snapshot(state).mailboxes[0].length == 1


@pytest.mark.redis_only
def test_on_redis_a_lost_drain_counts_again_once_its_timeout_passes(clocked):
    from durnel.redis import RedisCoordinationState

    clocked.send_message("a", "b", "one")
    lost = RedisCoordinationState(clocked.state._client, clocked.namespace)
    assert len(lost.drain_inbox("b")) == 1
    del lost  # its reply is lost: nothing settles the batch
    clocked.at(1010)
    clocked.send_message("a", "b", "two")
    for at, box in [(1059, MailboxView("b", 1, 1010, 49)), (1060, MailboxView("b", 2, 1000, 60))]:
        clocked.at(at)
        assert clocked.snapshot(log_tail=0).mailboxes == (box,)
        assert len(clocked.inbox("b")) == box.length


@pytest.mark.redis_only
def test_on_redis_events_keep_their_numbers_when_the_log_is_trimmed(state):
    from durnel.redis import ForeignDataError, RedisCoordinationState

    trimmed = RedisCoordinationState(state._client, state.namespace, log_maxlen=3)
    for i in range(250):
        trimmed.claim_task("a", "t%d" % i)
    shot = durnel.snapshot(trimmed, log_tail=2)
    assert [(e.id, e.resource) for e in shot.log] == [(249, "task:t248"), (250, "task:t249")]
    assert shot.log_length < 250  # the oldest events are gone; the others keep their numbers
    oldest = 251 - shot.log_length
    assert [(e.id, e.resource) for e in follow_log(trimmed, None, 0)] == [
        (n, "task:t%d" % (n - 1)) for n in range(oldest, 251)
    ]
    assert [e.id for e in follow_log(trimmed, 240, 0)] == list(range(241, 251))
    assert [e.id for e in follow_log(trimmed, 3, 0)][0] == oldest
    log = trimmed._keys.log
    state._client.xdel(log, state._client.xrange(log, count=2)[1][0])  # not durnel's doing
    for read in (lambda: durnel.snapshot(trimmed), lambda: follow_log(trimmed, 240, 0)):
        with pytest.raises(ForeignDataError, match="deleted from its middle"):
            read()
    trimmed.delete_namespace()  # the servers are shared: leave no foreign log to other tests


# ---- the in-process engine's own ----

# Run in a child, so that a hang (a thread parked where no unlock looks, holding the GIL)
# fails the test instead of the run. Writers: a broadcaster to 20,000 mailboxes (it holds each
# inboxes shard for a while) and two agents fighting over one task; readers: two threads taking
# snapshots, the copy made without the GIL. Each side waits for the shards the other holds,
# parked and woken through durnel_core's parking table. Broadcasts go on until snapshots have
# caught an agent's status and its claim apart (read at two moments: the proof that they ran
# while the writers worked).
BESIDE_WRITERS = r"""
import faulthandler, threading, durnel
faulthandler.dump_traceback_later(120, exit=True)
state = durnel.connect()
for i in range(20000):
    state.send_message("setup", "agent-%05d" % i, "")
stop, torn, taken, sent = threading.Event(), [], [], [0]

def claimer(me):
    while not stop.is_set():
        try:
            state.claim_task(me, "t")
            state.release(me, "task:t")
        except RuntimeError:
            pass

def watcher():
    length = 0
    while not stop.is_set():
        shot = durnel.snapshot(state, log_tail=3)
        assert shot.log_length >= length and len(shot.agents) >= 20000
        busy = {a.agent for a in shot.agents if a.status == "busy"}
        torn.extend(busy ^ {c.holder for c in shot.claims})
        taken.append(length := shot.log_length)

threads = [threading.Thread(target=claimer, args=(n,)) for n in ("c1", "c2")]
threads += [threading.Thread(target=watcher) for _ in range(2)]
for thread in threads:
    thread.start()
while (not torn or len(taken) < 20) and sent[0] < 2000:
    state.broadcast("caster", str(sent[0]))
    sent[0] += 1
stop.set()
for thread in threads:
    thread.join()
final = {m.length for m in durnel.snapshot(state).mailboxes if m.agent < "b"}
print(len(taken), bool(torn), final == {sent[0] + 1})
"""


def test_in_process_snapshots_run_beside_writers(run_python):
    done = run_python(BESIDE_WRITERS, timeout=180)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    taken, caught_torn, all_delivered = done.stdout.split()
    assert int(taken) >= 20 and caught_torn == all_delivered == "True", done.stdout


# Daemon threads inside snapshots when the interpreter exits: one that takes the GIL back is
# ended by an unwinding through durnel_core's frames, which none of them may stop.
EXIT_DURING_SNAPSHOTS = r"""
import threading, time, durnel
state = durnel.connect()
for i in range(20000):
    state.send_message("a", "agent-%05d" % i, "x")
def watch():
    while True:
        durnel.snapshot(state)
for _ in range(4):
    threading.Thread(target=watch, daemon=True).start()
time.sleep(0.3)
print("exiting")
"""


def test_daemon_threads_taking_snapshots_let_the_interpreter_exit(run_python):
    for _ in range(3):
        done = run_python(EXIT_DURING_SNAPSHOTS)
        assert (done.returncode, done.stdout, done.stderr) == (0, "exiting\n", "")


def test_the_reader_module_takes_only_a_native_object_of_its_own_build(run_python):
    state = durnel.connect()
    with pytest.raises(TypeError, match="must be a durnel_core.CoordinationState, not "):
        durnel_core_snapshot.read(state, 0)
    with pytest.raises(ValueError, match="'log_tail' must be >= 0, not -1"):
        durnel_core_snapshot.read(state.native, -1)
    assert durnel_core_snapshot.read(state.native, log_tail=0)[1:] == ((), (), (), (), 0)
    # a durnel_core without the door of this build: refused at import, nothing read
    foreign = run_python(
        "import sys, types; sys.modules['durnel_core'] = types.ModuleType('durnel_core');"
        "sys.modules['durnel_core'].__file__ = 'elsewhere.so';"
        "sys.modules['durnel_core'].CoordinationState = type('CoordinationState', (), {});"
        "import durnel_core_snapshot"
    )
    refusal = r"ImportError: durnel_core_snapshot [\d.]+ cannot read the objects of the "
    assert re.search(
        refusal + "durnel_core at elsewhere.so: it is not of the same build", foreign.stderr
    )
