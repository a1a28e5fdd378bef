"""What the Redis engine's waits and asyncio client add to the waits every engine shares
(test_waits): wake-ups across processes, claim waiters killed or paused while first in line,
lost replies, a dropped or silent subscription and a lost batch's return during a wait,
cancellation at every await of an asyncio call (each hands back what it took), one session
per asyncio task, what an owner gone leaves behind, and a lease that lapses under the
server's faked clock."""

import asyncio
import gc
import os
import signal
import subprocess
import sys
import threading
import time
import uuid

import pytest

import durnel

redis = pytest.importorskip("redis")
aioredis = pytest.importorskip("redis.asyncio")

from conftest import SyncOverAsync, async_redis_factory  # noqa: E402
from durnel.redis import (  # noqa: E402
    AsyncRedisCoordinationState,
    OtherLoopError,
    RedisCoordinationState,
    hub,
    methods,
)
from durnel.redis.calls import QUEUE_SECONDS, TURN_GRACE  # noqa: E402
from durnel.redis.session import Session  # noqa: E402
from durnel.redis.waits import CHECK_SECONDS, RETURN_MARGIN  # noqa: E402
from faketime_helpers import child_environment  # noqa: E402
from redis_servers import ReplyDroppingProxy  # noqa: E402
from test_waits import SLEEP, in_thread, woken  # noqa: E402


def namespace():
    return "w-" + uuid.uuid4().hex


@pytest.fixture
def make(engine, request):
    """Makes objects of the Redis engine under test on one new namespace (``make.namespace``)
    with the engine's options, on the run's server or cluster, or at ``url`` (a proxy)."""
    name = namespace()

    def make(url=None, client=None, **options):
        # client: a function that makes a client of the caller's from redis or redis.asyncio
        if engine.startswith("aio-"):
            factory = async_redis_factory(engine, request, name, url, **options)
            if client is not None:
                factory = lambda: AsyncRedisCoordinationState(  # noqa: E731
                    client(aioredis), name, close_client=True, **options
                )
            adapter = SyncOverAsync(factory, per_loop=True)
            request.addfinalizer(adapter.close)
            return adapter
        if client is not None:
            url = client(redis)
            options["close_client"] = True
        if url is None:
            url = request.getfixturevalue(
                "cluster_client" if "cluster" in engine else "redis_client"
            )
        state = RedisCoordinationState(url, name, **options)
        request.addfinalizer(state.close)
        return state

    make.namespace = name
    make.direct = request.getfixturevalue(
        "cluster_client" if "cluster" in engine else "redis_client"
    )
    return make


def until(condition, seconds=20):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "not within %g s" % seconds
        time.sleep(0.02)


def child(url, name, code):
    """A Python process running `code` with `state`, the Redis engine on `name`."""
    source = (
        "import sys\nfrom durnel.redis import RedisCoordinationState\n"
        "state = RedisCoordinationState(%r, %r)\n" % (url, name) + code
    )
    return subprocess.Popen(
        [sys.executable, "-c", source],
        stdout=subprocess.PIPE,
        text=True,
        env=child_environment(),
    )


def test_processes_wake_each_other(redis_server):
    name = namespace()
    state = RedisCoordinationState(redis_server.url, name)
    waiter = child(
        redis_server.url,
        name,
        "print('waiting', flush=True)\n"
        "got = state.wait_for_messages('kid', 30)\n"
        "state.send_message('kid', 'parent', 'got ' + got[0][2])\n",
    )
    assert waiter.stdout.readline() == "waiting\n"
    time.sleep(SLEEP)
    state.send_message("parent", "kid", "hello")
    assert [m[2] for m in woken(state.wait_for_messages, "parent")] == ["got hello"]
    assert waiter.wait(30) == 0
    state.close()


def test_a_claim_waiter_killed_first_in_line_holds_nobody_back(redis_server, redis_client):
    name = namespace()
    state = RedisCoordinationState(redis_server.url, name)
    state.claim_file("holder", "doc")
    first = child(redis_server.url, name, "state.wait_claim_file('doomed', 'doc')\n")
    queue = "durnel:{%s}:queue:file:doc" % name
    deadline = time.monotonic() + 30
    while redis_client.zcard(queue) < 1:  # the child is in line
        assert time.monotonic() < deadline and first.poll() is None
        time.sleep(0.02)
    second = in_thread(state.wait_claim_file, "next", "doc", 30)
    while redis_client.zcard(queue) < 2:
        time.sleep(0.02)
    reader = child(redis_server.url, name, "state.wait_for_messages('doomed', 60)\n")
    until(lambda: redis_client.zcard("durnel:{%s}:mailwaiters" % name) == 1)
    listed = lambda: [(w.kind, w.agent) for w in durnel.snapshot(state).waiters]  # noqa: E731
    assert listed() == [("claim", "doomed"), ("claim", "next"), ("mail", "doomed")]
    for killed in (first, reader):
        killed.send_signal(signal.SIGKILL)
        killed.wait()
    until(lambda: listed() == [("claim", "next")], 10)  # the dead are no longer shown waiting
    started = time.monotonic()
    state.release("holder", "file:doc")
    assert second(timeout=10) == "next"
    assert time.monotonic() - started < 3
    assert redis_client.zcard(queue) == 0 and state.status("doomed") == "idle"
    # Killed while the claim was free and it was next: the one behind it goes within seconds.
    state.claim_file("holder", "doc2")
    third = child(redis_server.url, name, "state.wait_claim_file('doomed', 'doc2')\n")
    queue = "durnel:{%s}:queue:file:doc2" % name
    while redis_client.zcard(queue) < 1:
        time.sleep(0.02)
    fourth = in_thread(state.wait_claim_file, "patient", "doc2", 30)
    while redis_client.zcard(queue) < 2:
        time.sleep(0.02)
    os.kill(third.pid, signal.SIGSTOP)  # hung, then killed: it never takes its turn
    state.release("holder", "file:doc2")
    time.sleep(SLEEP)
    third.send_signal(signal.SIGKILL)
    third.wait()
    started = time.monotonic()
    assert fourth(timeout=10) == "patient"
    assert time.monotonic() - started < 4
    state.close()


@pytest.fixture
def proxied(redis_server):
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    proxy = ReplyDroppingProxy(redis_server.port)
    client = redis.Redis(port=proxy.port, retry=Retry(NoBackoff(), 0))  # the engine retries
    yield proxy, client
    client.close()
    proxy.close()


def test_lost_replies_and_dropped_subscriptions_during_a_wait_lose_and_double_nothing(
    proxied, redis_client, caplog
):
    caplog.set_level("INFO", logger="durnel.redis")
    proxy, client = proxied
    name = namespace()
    lossy = RedisCoordinationState(client, name)
    direct = RedisCoordinationState(redis_client, name)
    assert lossy.wait_for_messages("B", 0.1) == []  # connected and subscribed
    received = []
    for drops in (1, 2, 3, 1, 2):  # the wake-up, then the resubscription, the drain...
        wait = in_thread(lossy.wait_for_messages, "B", 30)
        time.sleep(SLEEP)
        proxy.drop = drops
        sent = direct.send_message("A", "B", "m%d" % len(received))
        received += wait()
        assert received[-1] == sent
    assert [m[2] for m in received] == ["m%d" % i for i in range(5)]
    assert proxy.dropped == 9
    assert direct.inbox("B") == [] and lossy.drain_inbox("B") == []
    reconnections = [r.getMessage() for r in caplog.records if "listener" in r.getMessage()]
    assert reconnections and reconnections[-1] == "a wake-up listener is connected again"


# ---- asyncio ----


def run(coroutine):
    return asyncio.new_event_loop().run_until_complete(coroutine)


def test_two_tasks_of_one_thread_never_share_a_session(redis_server):
    async def scenario():
        state = AsyncRedisCoordinationState(redis_server.url, namespace())
        await state.status("main")  # the main task's session must not pass to its children

        async def sender(me):
            for i in range(150):
                await state.send_message(me, "box", "%s %d" % (me, i))
                await asyncio.sleep(0)

        await asyncio.gather(sender("a"), sender("b"), sender("c"))
        got = [m[2] for m in await state.drain_inbox("box")]
        for me in "abc":
            assert [g for g in got if g[0] == me] == ["%s %d" % (me, i) for i in range(150)]
        sessions = {id(s) for s in state._sessions}
        await state.aclose()
        return len(sessions)

    assert run(scenario()) == 4


def test_cancellation_at_any_await_of_a_drain_or_wait_loses_nothing(redis_server):
    async def scenario():
        name = namespace()
        state = AsyncRedisCoordinationState(redis_server.url, name)
        other = AsyncRedisCoordinationState(redis_server.url, name)
        expected, received, completed = [], [], 0
        for steps in range(0, 80, 2):
            for waits in (False, True):
                if not waits:
                    expected.append(await other.send_message("A", "B", "d%d" % steps))
                call = state.wait_for_messages("B", 5) if waits else state.drain_inbox("B")
                task = asyncio.ensure_future(call)
                for _ in range(steps):
                    await asyncio.sleep(0)
                if waits:  # a message that lands on the wait wherever it is
                    expected.append(await other.send_message("A", "B", "w%d" % steps))
                task.cancel()
                try:
                    received += await task
                    completed += 1
                except asyncio.CancelledError:
                    pass
                # A cancelled drain gave back what it took: another session's drain gets it.
                received += await other.drain_inbox("B")
                assert received == expected, (steps, waits)  # each once, in order
        await state.aclose()
        await other.aclose()
        return completed

    assert run(scenario()) > 0  # the sweep reached calls that finished before their cancel


def test_a_cancelled_waiter_leaves_the_queue_and_the_mail_waiters(redis_server, redis_client):
    name = namespace()
    sync = RedisCoordinationState(redis_client, name)

    async def scenario():
        state = AsyncRedisCoordinationState(redis_server.url, name)
        await state.claim_task("holder", "t")
        first = asyncio.ensure_future(state.wait_claim_task("first", "t"))
        await asyncio.sleep(SLEEP)
        second = asyncio.ensure_future(state.wait_claim_task("second", "t", 30))
        await asyncio.sleep(SLEEP)
        assert redis_client.zcard("durnel:{%s}:queue:task:t" % name) == 2
        first.cancel()
        with pytest.raises(asyncio.CancelledError):
            await first
        await state.release("holder", "task:t")
        assert await second == "second"
        assert redis_client.zcard("durnel:{%s}:queue:task:t" % name) == 0
        reading = asyncio.ensure_future(state.wait_for_messages("reader", 30))
        mail = "durnel:{%s}:mailwaiters" % name
        while not redis_client.zcard(mail):
            await asyncio.sleep(0.01)
        reading.cancel()
        with pytest.raises(asyncio.CancelledError):
            await reading
        assert redis_client.zcard(mail) == 0 and not durnel.snapshot(sync).waiters
        await state.aclose()

    run(scenario())


# ---- the lease's lapse, by the server's clock ----


@pytest.mark.engines("redis")
@pytest.mark.waits
def test_the_first_waiter_takes_a_lapsed_claim_at_the_lapse(clocked):
    clocked.at(1000)
    clocked.claim_file("holder", "f")
    clocked.at(1299.5)
    waiter = in_thread(clocked.wait_claim_file, "heir", "f", 20)
    time.sleep(1.5)
    assert clocked.status("heir") == "idle"  # frozen half a second before the lapse
    clocked.at(1300)
    assert waiter(timeout=5) == "heir"
    assert clocked.status("heir") == "busy"
    with pytest.raises(RuntimeError, match="^heir already holds claim on f$"):
        clocked.claim_file("holder", "f")


def test_a_forked_child_waits_on_a_hub_of_its_own(redis_server):
    state = RedisCoordinationState(redis_server.url, namespace())
    assert state.wait_for_messages("parent", 0.1) == []  # the parent's hub runs
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child reports through its exit status
        code = 1
        try:
            got = state.wait_for_messages("kid", 20)
            code = 0 if [m[2] for m in got] == ["to kid"] else 2
        finally:
            os._exit(code)
    time.sleep(SLEEP * 2)
    state.send_message("parent", "kid", "to kid")
    assert os.waitpid(pid, 0)[1] == 0
    state.close()


# ---- waiters that must not sleep through anything ----


@pytest.mark.waits
@pytest.mark.redis_only
def test_a_waiter_wakes_when_a_lost_batch_becomes_takeable(make):
    waiter, lost = make(visibility_timeout=2), make(visibility_timeout=2)
    drainer = RedisCoordinationState(make.direct, make.namespace, visibility_timeout=2)
    for agent, timeout in (("B", None), ("C", 60)):  # however far the wait's own timeout
        sent = lost.send_message("A", agent, "m")
        # a drain whose reply nobody reads (its process died): nothing is published at the lapse
        session = Session(drainer._keys.prefix)
        drainer._run(session, methods.drain(drainer._keys, drainer._options, session, agent))
        started = time.monotonic()
        assert in_thread(waiter.wait_for_messages, agent, timeout)(timeout=20) == [sent]
        assert time.monotonic() - started < 2 + RETURN_MARGIN + 3


@pytest.mark.waits
@pytest.mark.engines("redis", "aio-redis")
def test_the_listener_reads_a_connection_of_its_own_and_closing_wakes_at_once(
    engine, make, redis_server
):
    # A client whose pool holds one connection: a listener that took it would starve every
    # call, and one that handed it back while still reading it would read their replies.
    state = make(
        client=lambda r: r.Redis(
            connection_pool=r.BlockingConnectionPool(
                port=redis_server.port, max_connections=1, timeout=1
            )
        )
    )
    other = make()
    for _ in range(2):  # the second wait on the same listener
        timer = threading.Timer(SLEEP, other.send_message, ("A", "B", "hi"))
        timer.start()
        assert [m[2] for m in state.wait_for_messages("B", 30)] == ["hi"]
        timer.join()
    other.claim_task("holder", "t")
    waits = (("wait_for_messages", "B", 120), ("wait_claim_task", "W", "t", 120))
    if engine == "redis":
        threads = [in_thread(getattr(state, name), *args) for name, *args in waits]
        time.sleep(SLEEP * 3)
        started, ended = time.monotonic(), []
        state.close()
        for thread in threads:
            with pytest.raises(durnel.ClosedError):
                thread(timeout=60)
    else:

        async def scenario(target):
            tasks = [asyncio.ensure_future(getattr(target, n)(*args)) for n, *args in waits]
            await asyncio.sleep(SLEEP * 3)
            await target.aclose()
            return await asyncio.gather(*tasks, return_exceptions=True)

        started = time.monotonic()
        ended = state.loop().run_until_complete(scenario(state.target))
    assert all(isinstance(e, durnel.ClosedError) for e in ended), ended
    assert time.monotonic() - started < 10  # at once (the fault: a 30 s socket timeout)
    assert (
        other.status("W") == "idle"
        and make.direct.zcard("durnel:{%s}:queue:task:t" % make.namespace) == 0
    )  # the claim wait left the queue


@pytest.mark.waits
@pytest.mark.engines("redis", "aio-redis")
def test_a_silent_listener_is_replaced_and_its_waiters_look_again(make, redis_server, monkeypatch):
    monkeypatch.setattr(hub, "HEALTH_SECONDS", 0.3)
    monkeypatch.setattr(hub, "ANSWER_SECONDS", 0.5)
    proxy = ReplyDroppingProxy(redis_server.port)
    waiting, sender = make(url=proxy.url), make()
    assert waiting.wait_for_messages("B", 0.1) == []  # a listener through the proxy
    wait = in_thread(waiting.wait_for_messages, "B")  # another thread's, for the asyncio one
    time.sleep(SLEEP * 2)
    proxy.silence_subscribers()  # open, but nothing passes: the wake-up below is lost
    sent = sender.send_message("A", "B", "lost wake-up")
    assert wait(timeout=20) == [sent]
    later = threading.Timer(SLEEP, sender.send_message, ("A", "C", "new agent"))
    later.start()
    assert [m[2] for m in waiting.wait_for_messages("C", 20)] == ["new agent"]
    later.join()
    proxy.close()


@pytest.mark.waits
@pytest.mark.engines("redis", "aio-redis")
def test_paused_waiters_at_the_head_hold_no_free_resource_back(make, redis_server, caplog):
    caplog.set_level("INFO", logger="durnel.redis")
    holder = make()
    holder.claim_file("holder", "doc")
    queue = "durnel:{%s}:queue:file:doc" % make.namespace
    paused = []
    for i in range(2):  # however many: each loses its turn after the same grace
        paused.append(child(redis_server.url, make.namespace, "state.wait_claim_file('p', 'doc')"))
        until(lambda i=i: make.direct.zcard(queue) == i + 1)
        os.kill(paused[-1].pid, signal.SIGSTOP)
    live = in_thread(make().wait_claim_file, "live", "doc", 60)
    until(lambda: make.direct.zcard(queue) == 3)
    started = time.monotonic()
    holder.release("holder", "file:doc")
    assert live(timeout=30) == "live"
    assert time.monotonic() - started < TURN_GRACE + CHECK_SECONDS + 3
    assert "passed over 2 paused waiter(s) for file:doc: they left it free for 5 s untaken" in [
        r.getMessage() for r in caplog.records
    ]
    for process in paused:
        process.kill()
        process.wait()


@pytest.mark.waits
@pytest.mark.engines("redis", "aio-redis")
def test_a_wait_interrupted_in_its_last_plain_claim_hands_the_claim_back(
    engine, make, redis_server
):
    holder = make()
    holder.claim_file("holder", "doc")
    queue = "durnel:{%s}:queue:file:doc" % make.namespace
    paused = child(redis_server.url, make.namespace, "state.wait_claim_file('p', 'doc')")
    until(lambda: make.direct.zcard(queue) == 1)
    os.kill(paused.pid, signal.SIGSTOP)
    holder.release("holder", "file:doc")  # free, its paused head keeps its turn a while
    waiter = make()
    target = waiter.target if engine.startswith("aio-") else waiter
    send = target._run
    # the wait times out behind the head, then claims as claim_file would; the interruption
    # comes once that claim has run, before the wait reads its reply
    if engine == "redis":

        def run(session, call):
            reply = send(session, call)
            if call.script == "claim":
                raise KeyboardInterrupt
            return reply

        interruption = KeyboardInterrupt
    else:

        async def run(session, call):
            reply = await send(session, call)
            if call.script == "claim":
                asyncio.current_task().cancel()
                await asyncio.sleep(0)
            return reply

        interruption = asyncio.CancelledError
    target._run = run
    with pytest.raises(interruption):
        waiter.wait_claim_file("w", "doc", 0.5)
    assert holder.status("w") == "idle"
    assert not make.direct.hexists("durnel:{%s}:claims" % make.namespace, "file:doc")
    paused.kill()
    paused.wait()


def test_an_asyncio_object_refuses_another_event_loop(redis_server):
    async def first():  # made in the loop it first runs in (redis.asyncio on 3.9 asks)
        made = AsyncRedisCoordinationState(redis_server.url, namespace())
        await made.send_message("A", "B", "m")
        return made

    state = asyncio.run(first())
    for call in (lambda: state.send_message("A", "B", "again"), lambda: state.inbox("B")):
        with pytest.raises(OtherLoopError, match="make one object per event loop"):
            asyncio.run(call())
    with RedisCoordinationState(redis_server.url, state.namespace) as direct:
        assert [m[2] for m in direct.inbox("B")] == ["m"]


def test_a_loop_closed_without_asyncio_run_ends_quietly(redis_server, run_python):
    program = (
        "import asyncio\n"
        "from durnel.redis import AsyncRedisCoordinationState\n"
        "async def main():\n"
        "    state = AsyncRedisCoordinationState(%r, %r)\n"
        "    await state.send_message('x', 'B', 'm')\n"
        "    assert await state.drain_inbox('B')\n"  # a settle due later
        "    await state.wait_for_messages('C', 0.05)\n"  # a listener
        "    del state\n"  # a release to run on the loop
        "loop = asyncio.new_event_loop()\n"
        "loop.run_until_complete(main())\n"
        "loop.close()\n"
    ) % (redis_server.url, namespace())
    done = run_python(program)
    assert done.returncode == 0 and done.stderr == "", done.stderr


# ---- cancellation ----


@pytest.mark.waits
@pytest.mark.engines("aio-redis", "aio-cluster")
def test_a_cancelled_call_raises_and_hands_back_what_it_took(state):
    view = state.target

    async def scenario():
        calls = (
            lambda: view.drain_inbox("B"),
            lambda: view.wait_for_messages("B", 5),
            lambda: view.claim_task("W", "t"),
            lambda: view.wait_claim_task("W", "t", 5),
        )
        handed_back = 0
        for turns in range(80):
            for kind, call in enumerate(calls):
                mail = kind < 2
                sent = await view.send_message("A", "B", "%d %d" % (kind, turns)) if mail else 0
                task = asyncio.ensure_future(call())
                for _ in range(turns):
                    await asyncio.sleep(0)
                if task.cancel():  # not done yet: the caller must see it cancelled
                    handed_back += 1
                    with pytest.raises(asyncio.CancelledError):
                        await task
                    if mail:  # the batch is back for the next drain
                        assert await view.drain_inbox("B") == [sent], (kind, turns)
                    else:  # the claim went to nobody
                        assert await view.claim_task("other", "t") == "other", (kind, turns)
                        await view.release("other", "task:t")
                elif mail:
                    assert task.result() == [sent] and await view.inbox("B") == []
                else:
                    await view.release("W", "task:t")
        return handed_back

    assert state.loop().run_until_complete(scenario()) > 0


def test_a_cancelled_drain_gives_back_in_front_and_its_late_copy_runs_nothing(redis_server):
    proxy = ReplyDroppingProxy(redis_server.port)

    async def cancelled(call, meanwhile):
        task = asyncio.ensure_future(call)
        while not proxy.holding.is_set():
            await asyncio.sleep(0.01)
        sent = await meanwhile
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return sent

    async def scenario():
        name = namespace()
        state = AsyncRedisCoordinationState(proxy.url, name)
        other = AsyncRedisCoordinationState(redis_server.url, name)
        await state.drain_inbox("B")  # connected, library loaded
        first = await other.send_message("A", "B", "first")
        proxy.hold(replies=True)  # the drain ran; its reply is on the way when it is cancelled
        second = await cancelled(state.drain_inbox("B"), other.send_message("A", "B", "second"))
        assert await other.inbox("B") == [first, second]  # given back in front
        proxy.release()
        assert await other.drain_inbox("B") == [first, second]
        proxy.hold()  # the drain has not reached the server when it is cancelled
        third = await cancelled(state.drain_inbox("B"), other.send_message("A", "B", "third"))
        proxy.release()  # it arrives now, and must not take what came since
        assert await other.inbox("B") == [third]
        # A batch given back wakes whoever waits for it, long before its visibility timeout.
        await other.drain_inbox("B")
        fourth = await other.send_message("A", "B", "fourth")
        proxy.hold(replies=True)
        drain = asyncio.ensure_future(state.drain_inbox("B"))
        while not proxy.holding.is_set():
            await asyncio.sleep(0.01)
        waiter = asyncio.ensure_future(other.wait_for_messages("B"))
        await asyncio.sleep(0.5)  # asleep, the batch in the held drain's flight
        drain.cancel()
        assert await asyncio.wait_for(waiter, 20) == [fourth]
        with pytest.raises(asyncio.CancelledError):
            await drain
        proxy.release()
        await state.aclose()
        await other.aclose()

    asyncio.run(scenario())
    proxy.close()


# ---- what an owner that has gone leaves behind ----


@pytest.mark.waits
@pytest.mark.engines("redis", "aio-redis")
def test_what_a_gone_owner_held_is_released(engine, make, redis_server, redis_client):
    from durnel.redis.aio import FREE_SESSIONS

    state, aio = make(), engine.startswith("aio-")
    if aio:  # 100 tasks at once, then none
        view = state.target

        async def tasks():
            await asyncio.gather(*(view.status("A") for _ in range(100)))

        state.loop().run_until_complete(tasks())
    else:  # 100 short-lived threads
        for _ in range(100):
            in_thread(state.status, "A")()
    gc.collect()
    assert len((view if aio else state)._sessions) <= (FREE_SESSIONS if aio else 0)
    # objects that waited once and were dropped: their listeners and connections go
    connected = redis_client.info("clients")["connected_clients"]
    listeners = sum(t.name == "durnel-hub" for t in threading.enumerate())

    url, name = redis_server.url, make.namespace

    async def wait_once():
        await AsyncRedisCoordinationState(url, name).wait_for_messages("A", 0.01)

    for _ in range(5):  # an object made, waited on once and dropped
        if aio:
            state.loop().run_until_complete(wait_once())
        else:
            RedisCoordinationState(url, name).wait_for_messages("A", 0.01)
    gc.collect()
    if aio:
        state.loop().run_until_complete(asyncio.sleep(0.5))  # the loop lets go of them
    until(lambda: redis_client.info("clients")["connected_clients"] <= connected)
    until(lambda: sum(t.name == "durnel-hub" for t in threading.enumerate()) <= listeners)
    # a claim waiter killed while nobody else waits: its queue expires
    state.claim_file("holder", "doc")
    waiter = child(redis_server.url, make.namespace, "state.wait_claim_file('doomed', 'doc')")
    queue, turns = ("durnel:{%s}:%s:file:doc" % (make.namespace, k) for k in ("queue", "turns"))
    until(lambda: redis_client.zcard(queue) == 1)
    waiter.kill()
    waiter.wait()
    assert 0 < redis_client.ttl(queue) <= QUEUE_SECONDS
    assert 0 < redis_client.ttl(turns) <= QUEUE_SECONDS
