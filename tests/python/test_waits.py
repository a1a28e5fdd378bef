"""Waits, on every engine whose objects have them: a wait returns what is there at once,
sleeps until another thread's call wakes it, gives up at its timeout without taking anything,
and never loses or doubles a message; claim waiters are served first come, first served, and
one that gives up hands its turn on. asyncio views: a thread and a task wake each other, and a
cancelled wait takes nothing."""

import asyncio
import contextlib
import gc
import logging
import os
import random
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from collections import defaultdict

import pytest

import durnel
import durnel.aio
from durnel.inprocess.waking import SWITCHED
from faketime_helpers import child_environment, set_clock

pytestmark = pytest.mark.waits

SLEEP = 0.3  # long enough for a thread on this busy machine to reach its wait
WAIT = 20.0  # a wait's timeout where a call should wake it long before


def woken(call, *args):
    """call(*args, WAIT), which must return because something woke it, not at its timeout
    (a wait drains once more when it times out, so a lost wake-up would otherwise pass)."""
    started = time.monotonic()
    result = call(*args, WAIT)
    assert time.monotonic() - started < WAIT / 2, "woken by the timeout, not by the call"
    return result


def later(delay, call, *args):
    thread = threading.Thread(target=lambda: (time.sleep(delay), call(*args)), daemon=True)
    thread.start()
    return thread


def in_thread(call, *args, **kwargs):
    """Starts call in a thread; returns a function that joins it and gives its result or
    raises its exception."""
    box = {}

    def body():
        try:
            box["result"] = call(*args, **kwargs)
        except BaseException as error:
            box["error"] = error

    thread = threading.Thread(target=body, daemon=True)
    thread.start()

    def join(timeout=30):
        thread.join(timeout)
        assert not thread.is_alive(), "the wait never returned"
        if "error" in box:
            raise box["error"]
        return box["result"]

    return join


def test_a_message_wait_takes_what_is_there_or_sleeps_until_one_comes(state):
    state.send_message("A", "B", "first")
    assert [m[2] for m in state.wait_for_messages("B")] == ["first"]
    started = time.monotonic()
    sender = later(SLEEP, state.send_message, "A", "B", "second")
    assert [m[:3] for m in woken(state.wait_for_messages, "B")] == [("A", "B", "second")]
    assert time.monotonic() - started >= SLEEP * 0.9
    sender.join()
    later(SLEEP, state.broadcast, "C", "to all")  # B is registered: a broadcast wakes it too
    assert [m[:3] for m in woken(state.wait_for_messages, "B")] == [("C", "B", "to all")]
    # A timeout returns [] and takes nothing: what comes afterwards waits for the next drain.
    assert state.wait_for_messages("B", 0.05) == []
    assert state.wait_for_messages("B", 0) == []
    state.send_message("A", "B", "after")
    assert [m[2] for m in state.drain_inbox("B")] == ["after"]


def test_waiting_agents_receive_every_message_once_and_in_order(state):
    senders, agents, per_sender = 4, 3, 150
    received = defaultdict(list)

    def receive(agent):
        expected = senders * per_sender
        while len(received[agent]) < expected:
            got = woken(state.wait_for_messages, agent)
            received[agent].extend((m[0], m[2]) for m in got)

    def send(sender):
        for i in range(per_sender):
            for agent in range(agents):
                state.send_message("s%d" % sender, "r%d" % agent, "%d" % i)

    joins = [in_thread(receive, "r%d" % a) for a in range(agents)]
    time.sleep(SLEEP)  # let the receivers sleep first, so that sends must wake them
    for join in [in_thread(send, s) for s in range(senders)] + joins:
        join()
    for agent in range(agents):
        by_sender = defaultdict(list)
        for sender, text in received["r%d" % agent]:
            by_sender[sender].append(int(text))
        assert by_sender == {"s%d" % s: list(range(per_sender)) for s in range(senders)}
        assert state.inbox("r%d" % agent) == []


def test_claim_waiters_are_served_first_come_first_served(state):
    state.claim_file("holder", "doc")
    order = []

    def wait_then_pass_on(agent):
        assert woken(state.wait_claim_file, agent, "doc") == agent
        order.append(agent)
        assert state.status(agent) == "busy"
        state.release(agent, "file:doc")

    joins = []
    for agent in ("w1", "w2", "w3"):
        joins.append(in_thread(wait_then_pass_on, agent))
        time.sleep(SLEEP)
    state.release("holder", "file:doc")
    for join in joins:
        join()
    assert order == ["w1", "w2", "w3"]


def test_a_claim_wait_gives_up_with_the_plain_refusal_and_hands_its_turn_on(state):
    state.claim_task("holder", "t")
    with pytest.raises(RuntimeError) as refused:
        state.wait_claim_task("quitter", "t", 0.05)
    assert refused.value.args == ("holder already holds claim on task t",)
    assert state.status("quitter") == "idle"
    quitter = in_thread(state.wait_claim_task, "quitter", "t", SLEEP)
    time.sleep(SLEEP / 3)
    patient = in_thread(state.wait_claim_task, "patient", "t", 60)
    with pytest.raises(RuntimeError):
        quitter()
    state.release("holder", "task:t")  # the first in line has gone: the next one gets it
    assert patient(timeout=10) == "patient"
    assert state.wait_claim_task("holder", "free", 0) == "holder"


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda s: s.wait_for_messages("A", -1), ValueError),
        (lambda s: s.wait_for_messages("A", float("nan")), ValueError),
        (lambda s: s.wait_claim_task("A", "t", float("-inf")), ValueError),
        (lambda s: s.wait_for_messages("A", "1"), TypeError),
        (lambda s: s.wait_claim_file("A", "x", True), TypeError),
        (lambda s: s.wait_claim_file(1, "x"), TypeError),
        (lambda s: s.wait_claim_task("A", b"t"), TypeError),
        (lambda s: s.wait_for_messages(None), TypeError),
        (lambda s: s.wait_for_messages(1, -1), ValueError),  # the timeout is checked first
    ],
)
def test_bad_arguments_change_nothing(state, call, error):
    with pytest.raises(error):
        call(state)
    assert state.status("A") == "idle"
    assert state.claim_file("B", "x") == "B" and state.claim_task("B", "t") == "B"


@pytest.mark.parametrize("timeout", [float("inf"), 1e10, 10**400])
def test_any_non_negative_timeout_is_taken_and_a_call_ends_the_wait(state, timeout):
    sender = later(SLEEP, state.send_message, "A", "B", "hi")
    assert [m[2] for m in state.wait_for_messages("B", timeout)] == ["hi"]
    state.claim_task("holder", "t")
    releaser = later(SLEEP, state.release, "holder", "task:t")
    assert state.wait_claim_task("W", "t", timeout) == "W"
    sender.join()  # their calls may still be finishing (waking others) after the waits ended
    releaser.join()


@pytest.mark.engines("inprocess", "aio-inprocess")
def test_methods_fetched_before_anybody_waited_wake_every_later_waiter(state):
    # Each round, the first waiter arrives and the last one leaves while another thread sends
    # or releases at a random moment through methods fetched before any of it, by keyword.
    send, release, rng = state.send_message, state.release, random.Random(7)
    started = time.monotonic()
    for i in range(150):
        receiver = in_thread(woken, state.wait_for_messages, "B")
        time.sleep(rng.random() * 0.002)
        send(content="m%d" % i, to_agent="B", from_agent="A")
        assert [m[2] for m in receiver()] == ["m%d" % i]
    for _ in range(20):
        state.claim_file("holder", "f")
        claimer = in_thread(state.wait_claim_file, "W", "f", WAIT)
        time.sleep(rng.random() * 0.002)
        release(resource_key=Tagged("file:f"), agent_id="holder")
        assert claimer() == "W"
        state.release("W", "file:f")
    # A lost release is only retried at the next whole second: 20 of them would take ~10 s.
    assert time.monotonic() - started < 8


class Tagged(str):
    def __str__(self):
        return "tagged"


@pytest.mark.skipif(not SWITCHED, reason="the waking methods are Python functions here")
def test_no_python_code_runs_inside_a_waking_method_before_its_change():
    # What makes switching them exact: a finalizer that the call's own allocations make due
    # (collection threshold 1, a fresh argument tuple) runs only after its change of state.
    state, seen = durnel.connect(), []

    class Finalized:
        def __del__(self):
            seen.append(len(state.inbox("B")) - before)

    thresholds = gc.get_threshold()
    try:
        for _ in range(20):
            gc.disable()
            no_free_tuples = [tuple([i, i, i]) for i in range(5000)]
            first, second = Finalized(), Finalized()
            first.other, second.other = second, first
            del first, second
            before = len(state.inbox("B"))
            gc.set_threshold(1)
            gc.enable()
            state.send_message("A", "B", "m")
            gc.set_threshold(*thresholds)
            del no_free_tuples
    finally:
        gc.set_threshold(*thresholds)
        gc.enable()
    assert seen == [1] * 40


@pytest.mark.engines("inprocess", "aio-inprocess")
def test_the_waking_methods_refuse_alike_whether_anybody_waits_or_not(state):
    bad_calls = [
        ("send_message", ("A",), {}),
        ("send_message", ("A", "B", "c", "d"), {}),
        ("send_message", ("A", "B"), {"to_agent": "B"}),
        ("send_message", ("A", 1, "c"), {}),
        ("broadcast", ("A",), {"zzz": "c"}),
        ("broadcast", ("A", "\ud800"), {}),
        ("release", (), {"agent_id": "A"}),
        ("release", ("A", "file:nothing"), {}),
        ("release", ("A", b"file:f"), {}),
    ]

    def refusals():
        found = []
        for name, args, kwargs in bad_calls:
            with pytest.raises(Exception) as error:
                getattr(state, name)(*args, **kwargs)
            found.append((type(error.value), str(error.value)))
        return found

    state.send_message("A", "B", "so that B is known")
    state.drain_inbox("B")
    alone = refusals()
    state.claim_file("holder", "f")
    mail, claim = (
        in_thread(state.wait_for_messages, "B", WAIT),
        in_thread(state.wait_claim_file, "W", "f", WAIT),
    )
    time.sleep(SLEEP)
    assert refusals() == alone
    assert state.inbox("B") == [] and state.status("A") == "idle"
    state.broadcast(content="to all", from_agent="A")
    state.release(agent_id="holder", resource_key="file:f")
    assert [m[2] for m in mail()] == ["to all"]
    assert claim() == "W"


# ---- asyncio views and threads together ----


@pytest.mark.engines("inprocess")
def test_threads_and_tasks_wake_each_other(state):
    view = durnel.aio.view(state)

    async def scenario():
        # a thread sends, a task wakes
        later(SLEEP, state.send_message, "thread", "task", "hello task")
        assert [m[2] for m in await view.wait_for_messages("task", 30)] == ["hello task"]
        # a task sends, a thread wakes
        thread_wait = in_thread(state.wait_for_messages, "thread", 30)
        await asyncio.sleep(SLEEP)
        await view.send_message("task", "thread", "hello thread")
        assert [
            m[2] for m in await asyncio.get_running_loop().run_in_executor(None, thread_wait)
        ] == ["hello thread"]
        # a task releases, a thread waiting for the claim gets it
        await view.claim_file("task", "f")
        thread_claim = in_thread(state.wait_claim_file, "thread", "f", 30)
        await asyncio.sleep(SLEEP)
        await view.release("task", "file:f")
        assert await asyncio.get_running_loop().run_in_executor(None, thread_claim) == "thread"

    asyncio.run(scenario())


@pytest.mark.engines("aio-inprocess", "aio-redis", "aio-cluster", "aio-sqlite")
def test_a_cancelled_wait_takes_nothing(state):
    view = state.target

    async def scenario():
        waiter = asyncio.ensure_future(view.wait_for_messages("B"))
        await asyncio.sleep(SLEEP)
        waiter.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiter
        await view.send_message("A", "B", "kept")
        assert [m[2] for m in await view.inbox("B")] == ["kept"]

        await view.claim_file("holder", "f")
        cancelled = asyncio.ensure_future(view.wait_claim_file("first", "f"))
        await asyncio.sleep(SLEEP)
        second = asyncio.ensure_future(view.wait_claim_file("second", "f", 30))
        await asyncio.sleep(SLEEP)
        cancelled.cancel()
        await view.release("holder", "file:f")
        assert await second == "second"
        assert await view.status("first") == "idle"

    state.loop().run_until_complete(scenario())  # the loop that the object belongs to


@pytest.mark.engines("aio-inprocess", "aio-sqlite")
def test_cancelling_waits_and_drains_at_any_moment_loses_and_doubles_nothing(state):
    view, rng = state.target, random.Random(5)
    sent, received = [], []

    async def send():
        sent.append("m%d" % len(sent))
        await view.send_message("A", "B", sent[-1])

    async def scenario():
        for round_ in range(60):
            if round_ % 2:
                await send()
            call = view.drain_inbox("B") if round_ % 3 == 0 else view.wait_for_messages("B", 5)
            task = asyncio.ensure_future(call)
            await asyncio.sleep(rng.choice([0, 0, 0.0002, 0.001, 0.003]))
            if round_ % 4 == 0:
                await send()  # may wake the wait just before it is cancelled
            task.cancel()
            try:
                received.extend(m[2] for m in await task)
            except asyncio.CancelledError:
                pass
        received.extend(m[2] for m in await view.drain_inbox("B"))

    asyncio.run(scenario())
    assert received == sent


# ---- other processes ----

PROCESS = r"""
import sys, durnel
state = durnel.connect(sys.argv[1], namespace=sys.argv[2])
command, args = sys.argv[3], sys.argv[4:]
if command == "send":  # sender, count, recipients...
    for i in range(int(args[1])):
        for recipient in args[2:]:
            state.send_message(args[0], recipient, str(i))
elif command == "hold":  # agent, path: a claim that dies with this process
    state = durnel.connect(sys.argv[1] + "?ephemeral_claims=1", namespace=sys.argv[2])
    state.claim_file(args[0], args[1])
    print("waiting", flush=True)
    __import__("time").sleep(60)
else:
    print("waiting", flush=True)
    if command == "wait-messages":
        print([m[2] for m in state.wait_for_messages(args[0], 30)], flush=True)
    else:
        if args[2:] == ["fork"]:  # a child of this waiter's, that outlives it, once it waits
            import os, threading, time

            def fork():
                time.sleep(0.1)
                if os.fork() == 0:
                    time.sleep(60)
                    os._exit(0)

            threading.Thread(target=fork).start()
        print(state.wait_claim_file(args[0], args[1], 60), flush=True)
"""


def reachable(state):
    """(URL, namespace) by which another process reaches a SQLite state (the Redis engines'
    waits across processes are tested in test_redis_waits.py)."""
    target = getattr(state, "target", state)
    target = getattr(target, "sync", target)
    return "sqlite:///" + target.path, target.namespace


def process(state, *args):
    """Another process on the state, running PROCESS with ``args``; once it waits."""
    child = subprocess.Popen(
        [sys.executable, "-c", PROCESS, *reachable(state), *args],
        stdout=subprocess.PIPE,
        text=True,
        env=child_environment(),
    )
    if args[0] != "send":
        assert child.stdout.readline() == "waiting\n"
        time.sleep(SLEEP)
    return child


@pytest.mark.engines("sqlite", "aio-sqlite")
def test_processes_wake_each_other_and_every_message_arrives_once(state):
    far = process(state, "wait-messages", "far")
    state.send_message("near", "far", "hello")
    assert far.communicate(timeout=WAIT / 2)[0] == "['hello']\n"
    state.claim_file("near", "f")
    far = process(state, "wait-claim", "far", "f")
    state.release("near", "file:f")
    assert far.communicate(timeout=WAIT / 2)[0] == "far\n"
    # M agents waiting here, N sender processes: each message once, in order per sender.
    received = defaultdict(list)

    def receive(agent):
        while len(received[agent]) < 2 * 100:
            received[agent].extend((m[0], int(m[2])) for m in woken(state.wait_for_messages, agent))

    joins = [in_thread(receive, agent) for agent in ("r0", "r1", "r2")]
    time.sleep(SLEEP)
    senders = [process(state, "send", "s%d" % i, "100", "r0", "r1", "r2") for i in range(2)]
    for sender in senders:
        assert sender.wait(timeout=60) == 0
    for join in joins:
        join()
    for agent in ("r0", "r1", "r2"):
        for sender in ("s0", "s1"):
            assert [i for s, i in received[agent] if s == sender] == list(range(100))


@pytest.mark.engines("sqlite", "aio-sqlite")
def test_a_killed_waiter_holds_nobody_back(state):
    state.claim_file("holder", "f")
    first = process(state, "wait-claim", "first", "f")
    second = process(state, "wait-claim", "second", "f")  # the third's turn hangs on both
    mail = process(state, "wait-messages", "gone")
    third = in_thread(state.wait_claim_file, "third", "f", WAIT)
    time.sleep(SLEEP)
    for child in (first, second, mail):
        child.kill()
        child.wait()
    started = time.monotonic()
    state.release("holder", "file:f")
    assert third() == "third"
    assert time.monotonic() - started < 5
    state.send_message("A", "gone", "kept")  # its waiter is gone: the message stays
    assert [m[2] for m in state.drain_inbox("gone")] == ["kept"]


@pytest.mark.engines("sqlite", "aio-sqlite")
def test_a_killed_waiter_whose_forked_child_lives_holds_nobody_back(state):
    state.claim_file("holder", "f")
    first = process(state, "wait-claim", "first", "f", "fork")
    second = in_thread(state.wait_claim_file, "second", "f", WAIT)
    time.sleep(SLEEP)
    children = subprocess.run(
        ["pgrep", "-P", str(first.pid)], capture_output=True, text=True
    ).stdout.split()
    first.kill()
    first.wait()
    try:
        started = time.monotonic()
        state.release("holder", "file:f")
        assert second() == "second"
        assert time.monotonic() - started < 5
    finally:
        for child in children:
            os.kill(int(child), signal.SIGKILL)


@pytest.mark.engines("sqlite", "aio-sqlite")
def test_a_waiter_moved_up_by_one_that_leaves_takes_up_its_watch(state):
    # The first in line stops, is woken by the release and dies before it claims: nothing
    # but the second's watch over it frees the line, and that is the patient one only since
    # the quitter left.
    state.claim_file("holder", "f")
    first = process(state, "wait-claim", "first", "f")
    quitter = in_thread(state.wait_claim_file, "quitter", "f", 2 * SLEEP)
    time.sleep(SLEEP / 3)
    patient = in_thread(state.wait_claim_file, "patient", "f", WAIT)
    with pytest.raises(RuntimeError):
        quitter()
    first.send_signal(signal.SIGSTOP)
    state.release("holder", "file:f")
    first.kill()
    first.wait()
    started = time.monotonic()
    assert patient() == "patient"
    assert time.monotonic() - started < 5


@pytest.mark.engines("sqlite", "aio-sqlite")
@pytest.mark.parametrize("freed_by", ["release", "the holder's death"])
def test_a_paused_first_waiter_loses_its_turn_and_then_takes_its_place_back(
    state, monkeypatch, caplog, freed_by
):
    from durnel.sqlite import waits

    caplog.set_level(logging.INFO, logger="durnel.sqlite")

    monkeypatch.setattr(waits, "LOOK_EVERY", 1.0)  # (this process's waiters look sooner,
    monkeypatch.setattr(waits, "TURN_GRACE", 1.0)  # and give a paused one less time)
    if freed_by == "release":
        state.claim_file("holder", "f")
    else:
        holder = process(state, "hold", "holder", "f")
    first = process(state, "wait-claim", "first", "f")
    place = "SELECT ticket FROM waiters WHERE pid = %d" % first.pid
    database = reachable(state)[0][len("sqlite:///") :]

    def ticket():
        with contextlib.closing(sqlite3.connect(database)) as db:
            return db.execute(place).fetchall()

    in_line = ticket()
    second = in_thread(state.wait_claim_file, "second", "f", WAIT)
    time.sleep(SLEEP)
    first.send_signal(signal.SIGSTOP)
    if freed_by == "release":
        state.release("holder", "file:f")
    else:
        holder.kill()
        holder.wait()
    try:
        assert second() == "second"
    finally:
        first.send_signal(signal.SIGCONT)
    assert "passed over the first waiter" in caplog.text
    started = time.monotonic()
    while ticket() != in_line and time.monotonic() < started + WAIT:
        time.sleep(0.05)
    assert ticket() == in_line  # back in its place, ahead of any later waiter
    state.release("second", "file:f")
    assert first.communicate(timeout=WAIT)[0] == "first\n"


@pytest.mark.engines("sqlite", "aio-sqlite")
def test_a_first_waiter_paused_for_less_than_the_grace_keeps_its_turn(state, monkeypatch):
    from durnel.sqlite import waits

    monkeypatch.setattr(waits, "LOOK_EVERY", 1.0)  # (the second finds the resource free sooner)
    state.claim_file("holder", "f")
    first = process(state, "wait-claim", "first", "f")
    second = in_thread(state.wait_claim_file, "second", "f", WAIT)
    time.sleep(SLEEP)
    first.send_signal(signal.SIGSTOP)
    state.release("holder", "file:f")
    # The second takes its turn every second meanwhile, and lets the grace run from the first.
    time.sleep(waits.TURN_GRACE - 1.5)
    first.send_signal(signal.SIGCONT)
    try:
        assert first.communicate(timeout=WAIT)[0] == "first\n"
    finally:
        first.kill()
    state.release("first", "file:f")
    assert second() == "second"


# ---- time ----


def test_the_first_in_line_claims_the_moment_the_lease_lapses(clocked):
    clocked.at(1000)
    clocked.claim_file("holder", "f")
    clocked.at(1299.6)
    waiting = threading.Thread(target=lambda: box.append(clocked.wait_claim_file("W", "f", 30)))
    box = []
    waiting.start()
    time.sleep(1.5)  # sleeps until 1300, finds the clock (frozen) short of it, and so on
    assert waiting.is_alive()
    set_clock(clocked._clock_file, 1300)
    waiting.join(10)
    assert box == ["W"] and clocked.status("W") == "busy"
