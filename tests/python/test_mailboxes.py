"""Mailboxes: direct messages, broadcasts and who receives them, reading and draining, FIFO
order, time stamps under a frozen clock, and a drain whose result list cannot be built. Every
test runs on every engine (conftest.ALL_ENGINES), except where marked."""

import sys

import pytest

from durnel_core import CoordinationState

# The tests that take `state` or `clocked` run against every engine; the allocation-failure
# tests below build their own in-process objects.
pytestmark = pytest.mark.every_engine


def contents(messages):
    return [m[2] for m in messages]


def test_unseen_agent_has_an_empty_mailbox_and_gets_no_broadcast(state):
    assert state.inbox("ghost") == []
    assert state.drain_inbox("ghost") == []
    assert state.status("ghost") == "idle"
    state.broadcast("C", "hello")
    assert state.inbox("ghost") == []
    assert contents(state.inbox("C")) == ["hello"]


def test_direct_message_registers_the_recipient_only(state):
    sent = state.send_message("A", "B", "T")
    assert sent[:3] == ("A", "B", "T")
    assert [type(item) for item in sent] == [str, str, str, int]
    assert state.inbox("B") == [sent]
    assert state.inbox("B") == [sent]
    assert state.inbox("A") == []
    assert state.status("B") == "idle"
    assert state.status("A") == "idle"
    cast = state.broadcast("C", "all")
    assert cast[:3] == ("C", "*", "all")
    assert state.inbox("A") == []
    assert state.inbox("B") == [sent, ("C", "B", "all", cast[3])]
    assert state.inbox("C") == [("C", "C", "all", cast[3])]
    assert state.drain_inbox("B") == [sent, ("C", "B", "all", cast[3])]
    assert state.drain_inbox("B") == []
    assert state.inbox("B") == []
    to_self = state.send_message("A", "A", "note")
    assert state.drain_inbox("A") == [to_self]


def test_busy_agents_stay_busy(state):
    state.claim_file("B", "f")
    state.claim_file("C", "g")
    state.send_message("A", "B", "x")
    state.broadcast("C", "y")
    assert state.status("B") == "busy"
    assert state.status("C") == "busy"
    assert contents(state.inbox("B")) == ["x", "y"]
    assert contents(state.inbox("C")) == ["y"]


def test_empty_strings(state):
    assert state.send_message("", "", "")[:3] == ("", "", "")
    assert state.broadcast("", "")[:3] == ("", "*", "")
    assert [m[:3] for m in state.drain_inbox("")] == [("", "", ""), ("", "", "")]


def test_fifo_order_across_many_messages(state):
    expected = []
    for i in range(2500):
        sender = "s{}".format(i % 3)
        if i % 500 == 499:
            state.broadcast(sender, "b{}".format(i))
        else:
            state.send_message(sender, "box", "m{}".format(i))
        expected.append((sender, "box", ("b" if i % 500 == 499 else "m") + str(i)))
        if i == 1000:
            assert [m[:3] for m in state.drain_inbox("box")] == expected
            expected = []
    assert [m[:3] for m in state.inbox("box")] == expected
    assert [m[:3] for m in state.drain_inbox("box")] == expected
    assert state.inbox("box") == []


def test_broadcast_reaches_exactly_the_known_agents(state):
    known = set()
    for i in range(4000):
        agent = "agent-{}".format(i)
        kind = i % 5
        if kind == 0:
            state.send_message("mailer", agent, "x")
            known.add(agent)
        elif kind == 1:
            state.claim_task(agent, agent)
            known.add(agent)
        elif kind == 2:
            if i < 300:
                state.broadcast(agent, "self")
            else:
                state.claim_file(agent, "f")
                state.release(agent, "file:f")
            known.add(agent)
        elif kind == 3:
            state.inbox(agent)
        else:
            state.send_message(agent, agent + "-peer", "x")
            known.add(agent + "-peer")
    for agent in known:
        state.drain_inbox(agent)
    state.broadcast("announcer", "news")
    known.add("announcer")
    for i in range(4000):
        for agent in ("agent-{}".format(i), "agent-{}-peer".format(i)):
            got = state.drain_inbox(agent)
            if agent in known:
                assert [m[:3] for m in got] == [("announcer", agent, "news")]
            else:
                assert got == []
    assert [m[:3] for m in state.drain_inbox("announcer")] == [("announcer", "announcer", "news")]
    assert state.inbox("mailer") == []


def test_time_stamps_follow_the_clock(clocked):
    clocked.at(1000)
    first = [clocked.send_message("A", "B", str(i)) for i in range(3)]
    assert first == [("A", "B", str(i), 1000) for i in range(3)]
    clocked.at(1001)
    assert clocked.broadcast("B", "later") == ("B", "*", "later", 1001)
    far = 2208988800  # 2040-01-01, past the 32-bit range
    clocked.at(far)
    assert clocked.send_message("C", "B", "far") == ("C", "B", "far", far)
    clocked.at(5)
    assert clocked.drain_inbox("B") == first + [("B", "B", "later", 1001), ("C", "B", "far", far)]


def first_panic_under_one_failed_allocation(make_state, call):
    """Fails the start-th allocation of `call` for start = 0, 1, 2, ... until the call raises
    PanicException; returns (state, panic, [outcomes of the earlier starts])."""
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("this interpreter's _testcapi cannot fail allocations")
    outcomes = []
    for start in range(200):
        fresh = make_state()
        try:
            testcapi.set_nomemory(start, start + 1)
            try:
                call(fresh)
            finally:
                testcapi.remove_mem_hooks()
        except MemoryError:
            outcomes.append((fresh, "MemoryError"))
            continue
        except BaseException as error:
            if type(error).__name__ != "PanicException":
                raise
            return fresh, error.with_traceback(None), outcomes
        outcomes.append((fresh, "done"))
    pytest.fail("no allocation failure reached the result: {}".format(outcomes))


def with_three_messages():
    fresh = CoordinationState()
    for i in range(3):
        fresh.send_message("s", "agent", "m{}".format(i))
    return fresh


SENT = [("s", "agent", "m{}".format(i)) for i in range(3)]


@pytest.mark.parametrize(
    "call, expected_after",
    [
        (lambda s: s.drain_inbox("agent"), SENT),
        (lambda s: s.inbox("agent"), SENT),
        (lambda s: s.send_message("s", "agent", "m3"), SENT + [("s", "agent", "m3")]),
    ],
    ids=["drain_inbox", "inbox", "send_message"],
)
def test_result_that_cannot_be_built_raises_panic_and_keeps_the_messages(
    capfd, call, expected_after
):
    fresh, panic, earlier = first_panic_under_one_failed_allocation(with_three_messages, call)
    assert panic.args == ("Python API call failed",)
    assert type(panic).__module__ == "durnel_runtime"
    assert not isinstance(panic, Exception)
    err = capfd.readouterr().err
    assert "MemoryError" in err and "Python API call failed" in err
    # Earlier starts failed while converting the arguments: nothing was touched.
    assert earlier and all(outcome == "MemoryError" for _, outcome in earlier)
    for untouched, _ in earlier:
        assert [m[:3] for m in untouched.inbox("agent")] == SENT
    # The messages are still there, in order, and later ones queue behind them.
    assert [m[:3] for m in fresh.inbox("agent")] == expected_after
    later = [fresh.send_message("t", "agent", "n{}".format(i)) for i in range(10)]
    drained = fresh.drain_inbox("agent")
    assert [m[:3] for m in drained] == expected_after + [m[:3] for m in later]
    assert fresh.drain_inbox("agent") == []
    assert sys.getrefcount(fresh) == 2
    # The hooks are gone: allocation works again.
    assert len(bytearray(1 << 20)) == 1 << 20


class AgentId(str):
    pass


def test_claim_whose_result_cannot_be_built_is_still_made(capfd):
    # A str subclass: the holder handed back is then a new str (an exact str argument is
    # handed back itself, with nothing left to fail after the claim is made).
    fresh, panic, _ = first_panic_under_one_failed_allocation(
        CoordinationState, lambda s: s.claim_file(AgentId("agent"), "p")
    )
    assert panic.args == ("Python API call failed",)
    assert fresh.status("agent") == "busy"
    with pytest.raises(RuntimeError, match="^agent already holds claim on p$"):
        fresh.claim_file("other", "p")
