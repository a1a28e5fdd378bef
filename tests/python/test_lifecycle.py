"""One lifecycle on every object that durnel.connect() and durnel.aio.connect() return, whatever
its engine: closed with close() / aclose() or by leaving a with / async with block, closed
twice without harm, and then refusing every call with ClosedError naming the object; a wait
asleep on an object that is closed is woken and raises it. Views: closing one leaves the object
it shares open, and a closed object gives no view and no snapshot."""

import asyncio
import re
import threading
import time

import pytest

import durnel
import durnel.aio
from conftest import ALL_ENGINES, VARIANTS

pytestmark = pytest.mark.every_engine

CLOSABLE = [name for name in ALL_ENGINES if name != "native"]
CALLS = {
    "claim_file": ("a", "f"),
    "claim_task": ("a", "t"),
    "renew_claim": ("a", "file:f"),
    "release": ("a", "file:f"),
    "send_message": ("a", "b", "hi"),
    "broadcast": ("a", "hi"),
    "inbox": ("b",),
    "drain_inbox": ("b",),
    "status": ("a",),
    "wait_for_messages": ("b", 0),
    "wait_claim_file": ("a", "f", 0),
    "wait_claim_task": ("a", "t", 0),
}


def refused(obj):
    return pytest.raises(durnel.ClosedError, match="^%s is closed$" % re.escape(repr(obj)))


@pytest.mark.engines(*CLOSABLE)
def test_a_closed_object_refuses_every_call_and_closes_once(engine, state):
    calls = list(CALLS.items())[: 12 if VARIANTS[engine].waits else 9]
    if not VARIANTS[engine].asynchronous:
        with state as same:
            assert same is state and not state.closed
            state.claim_file("a", "f")
        state.close()  # again: nothing happens
        for name, args in calls:
            with refused(state):
                getattr(state, name)(*args)
        with refused(state), state:
            pass
        return

    async def scenario(target):
        async with target as same:
            assert same is target and not target.closed
            await target.claim_file("a", "f")
        await target.aclose()
        for name, args in calls:
            with refused(target):
                await getattr(target, name)(*args)
        with refused(target):
            async with target:
                pass

    state.loop().run_until_complete(scenario(state.target))


@pytest.mark.waits
@pytest.mark.engines(*CLOSABLE)
def test_closing_wakes_the_waits_asleep_on_the_object(engine, state):
    state.claim_file("holder", "f")
    waits = [("wait_for_messages", ("w", 120)), ("wait_claim_file", ("w", "f", 120))]
    if VARIANTS[engine].asynchronous:

        async def scenario(target):
            tasks = [asyncio.ensure_future(getattr(target, n)(*args)) for n, args in waits]
            await asyncio.sleep(0.5)
            await target.aclose()
            return await asyncio.gather(*tasks, return_exceptions=True)

        started = time.monotonic()
        ended = state.loop().run_until_complete(scenario(state.target))
    else:
        ended = []

        def wait(name, args):
            try:
                getattr(state, name)(*args)
            except Exception as error:
                ended.append(error)

        threads = [threading.Thread(target=wait, args=call) for call in waits]
        for thread in threads:
            thread.start()
        time.sleep(0.5)
        started = time.monotonic()
        state.close()
        for thread in threads:
            thread.join(60)
    assert len(ended) == 2 and all(isinstance(e, durnel.ClosedError) for e in ended), ended
    # (a view that made its object may find that one closed first, and name it)
    assert all(str(e).endswith(" is closed") for e in ended)
    # SQLite's waits find it at their next look, within its LOOK_EVERY (5 s); the others at once
    assert time.monotonic() - started < 30


@pytest.mark.engines("inprocess", "sqlite")
def test_a_view_closes_alone_and_a_closed_object_gives_no_view(engine, state):
    async def through_views():
        async with durnel.aio.view(state) as view:
            await view.send_message("a", "b", "via the view")
        with pytest.raises(durnel.ClosedError):
            await view.inbox("b")
        return durnel.aio.view(state)

    later = asyncio.run(through_views())
    assert [m[2] for m in state.drain_inbox("b")] == ["via the view"]  # still open
    state.close()
    with refused(state):
        durnel.aio.view(state)
    with refused(state):
        durnel.snapshot(state)
    with refused(state):  # a view's calls reach its object, closed now
        asyncio.run(later.status("a"))
    asyncio.run(later.aclose())
