"""Claims on files and tasks: refusal messages, holders, statuses, release and renewal, and,
with the wall clock frozen by libfaketime in a child interpreter, the 300-second lease, the
takeover of lapsed claims, a clock set back, and a clock before 1970. Every test runs on every
engine (conftest.ALL_ENGINES), the faked-clock ones on those whose clock a test can move,
except where marked."""

import re

import pytest

from faketime_helpers import ChildRaised

pytestmark = pytest.mark.every_engine

PATH = "notes/plan.txt"
KEY = "file:" + PATH
EPOCH_PREFIX = "system clock before unix epoch: "


def refusal(call, *args):
    with pytest.raises(RuntimeError) as info:
        call(*args)
    assert type(info.value) is RuntimeError
    assert len(info.value.args) == 1
    return info.value.args[0]


# ---- without a faked clock ----


def test_claim_marks_busy_and_refuses_everyone_else(state):
    assert state.status("A") == "idle"
    assert state.claim_file("A", "src/lib.rs") == "A"
    assert state.claim_task("A", "phase-7") == "A"
    assert state.status("A") == "busy"
    for agent in ("B", "A", "a", "A "):
        assert (
            refusal(state.claim_file, agent, "src/lib.rs") == "A already holds claim on src/lib.rs"
        )
        assert (
            refusal(state.claim_task, agent, "phase-7") == "A already holds claim on task phase-7"
        )
    # Refused claims write no status: B is still unknown and gets no broadcast.
    assert state.status("B") == "idle"
    state.broadcast("C", "hello")
    assert state.inbox("B") == []


def test_only_the_holder_may_renew_or_release(state):
    state.claim_task("A", "t")
    for agent in ("B", "a", "A\x00"):
        assert (
            refusal(state.renew_claim, agent, "task:t") == agent + " cannot renew a claim held by A"
        )
        assert (
            refusal(state.release, agent, "task:t") == agent + " cannot release a claim held by A"
        )
    assert state.status("B") == "idle"
    state.claim_task("B", "own")
    refusal(state.release, "B", "task:t")
    assert state.status("B") == "busy"
    assert state.renew_claim("A", "task:t") == "A"
    assert state.release("A", "task:t") is None
    assert state.status("A") == "idle"
    assert state.claim_task("B", "t") == "B"


@pytest.mark.parametrize("key", ["x", "file:", "task:x", "file:./x", "File:x", " file:x"])
def test_keys_are_matched_exactly(state, key):
    state.claim_file("A", "x")
    assert refusal(state.release, "A", key) == "no claim found for A"
    assert refusal(state.renew_claim, "A", key) == "no claim on {} to renew".format(key)
    assert state.release("A", "file:x") is None


def test_file_and_task_of_the_same_name_are_separate(state):
    assert state.claim_file("A", "build") == "A"
    assert state.claim_task("B", "build") == "B"
    assert state.claim_file("C", "./build") == "C"
    assert refusal(state.release, "A", "task:build") == "A cannot release a claim held by B"
    assert state.release("B", "task:build") is None
    assert refusal(state.claim_file, "B", "build") == "A already holds claim on build"
    assert state.claim_task("A", "build") == "A"


def test_empty_strings(state):
    assert state.claim_file("", "") == ""
    assert state.claim_task("", "") == ""
    assert state.status("") == "busy"
    assert refusal(state.claim_file, "B", "") == " already holds claim on "
    assert refusal(state.claim_task, "B", "") == " already holds claim on task "
    assert refusal(state.release, "B", "file:") == "B cannot release a claim held by "
    assert refusal(state.release, "", "") == "no claim found for "
    assert refusal(state.renew_claim, "", "") == "no claim on  to renew"
    assert state.renew_claim("", "task:") == ""
    assert state.release("", "file:") is None
    assert state.status("") == "idle"
    assert state.release("", "task:") is None


def test_release_shows_idle_while_another_claim_is_held(state):
    state.claim_file("A", "one")
    state.claim_task("A", "two")
    assert state.release("A", "file:one") is None
    assert state.status("A") == "idle"
    assert refusal(state.claim_task, "B", "two") == "A already holds claim on task two"
    # Renewing writes no status either way.
    assert state.renew_claim("A", "task:two") == "A"
    assert state.status("A") == "idle"
    state.claim_file("A", "three")
    assert state.renew_claim("A", "file:three") == "A"
    assert state.status("A") == "busy"


def test_many_claims_and_releases_stay_consistent(state):
    names = ["task-{}".format(i) for i in range(3000)]
    for i, name in enumerate(names):
        assert state.claim_task("agent-{}".format(i % 7), name) == "agent-{}".format(i % 7)
    for i, name in enumerate(names):
        if i % 3:
            assert state.release("agent-{}".format(i % 7), "task:" + name) is None
    for i, name in enumerate(names):
        if i % 3:
            assert state.claim_task("new", name) == "new"
        else:
            expected = "agent-{} already holds claim on task {}".format(i % 7, name)
            assert refusal(state.claim_task, "new", name) == expected


# ---- with the wall clock frozen ----


def test_worked_sequence(clocked):
    assert clocked.at(1000) == 1000.0
    assert clocked.claim_file("A", PATH) == "A"
    assert clocked.status("A") == "busy"
    clocked.at(1010)
    assert refusal(clocked.claim_file, "B", PATH) == "A already holds claim on notes/plan.txt"
    clocked.at(1020)
    assert refusal(clocked.claim_file, "A", PATH) == "A already holds claim on notes/plan.txt"
    clocked.at(1299)
    assert refusal(clocked.claim_file, "B", PATH) == "A already holds claim on notes/plan.txt"
    assert clocked.status("B") == "idle"
    clocked.at(1300)
    assert clocked.claim_file("B", PATH) == "B"
    assert clocked.status("B") == "busy"
    assert clocked.status("A") == "busy"
    assert refusal(clocked.renew_claim, "A", KEY) == "A cannot renew a claim held by B"
    assert refusal(clocked.release, "A", KEY) == "A cannot release a claim held by B"
    clocked.at(1500)
    assert clocked.renew_claim("B", KEY) == "B"
    clocked.at(1799)
    for agent in ("A", "B"):
        assert refusal(clocked.claim_file, agent, PATH) == "B already holds claim on notes/plan.txt"
    clocked.at(1800)
    assert clocked.claim_file("B", PATH) == "B"
    assert clocked.release("B", KEY) is None
    assert clocked.status("B") == "idle"
    assert refusal(clocked.release, "B", KEY) == "no claim found for B"
    assert refusal(clocked.renew_claim, "B", KEY) == "no claim on file:notes/plan.txt to renew"
    assert clocked.claim_file("C", PATH) == "C"


@pytest.mark.parametrize(
    "claim, key, refused",
    [
        ("claim_file", "file:w", "A already holds claim on w"),
        ("claim_task", "task:w", "A already holds claim on task w"),
    ],
)
def test_lapsed_claim_can_be_renewed_by_its_holder(clocked, claim, key, refused):
    clocked.at(1000)
    getattr(clocked, claim)("A", "w")
    clocked.at(1400)
    assert refusal(clocked.renew_claim, "B", key) == "B cannot renew a claim held by A"
    assert refusal(clocked.release, "B", key) == "B cannot release a claim held by A"
    assert clocked.renew_claim("A", key) == "A"
    clocked.at(1699)
    assert refusal(getattr(clocked, claim), "B", "w") == refused
    clocked.at(1700)
    assert getattr(clocked, claim)("B", "w") == "B"


def test_lapsed_claim_can_be_released_or_reclaimed(clocked):
    clocked.claim_file("A", "x")
    clocked.claim_task("A", "y")
    clocked.at(90000)
    assert clocked.release("A", "file:x") is None
    assert clocked.status("A") == "idle"
    assert clocked.claim_task("A", "y") == "A"
    assert clocked.status("A") == "busy"
    clocked.at(90299)
    assert refusal(clocked.claim_task, "B", "y") == "A already holds claim on task y"


def test_clock_set_back_keeps_a_claim_young(clocked):
    clocked.at(5000)
    clocked.claim_file("A", "x")
    for now in (1000, 4999, 5299):
        clocked.at(now)
        assert refusal(clocked.claim_file, "B", "x") == "A already holds claim on x"
    clocked.at(5300)
    assert clocked.claim_file("B", "x") == "B"
    # A renewal restamps with whatever the clock reads, earlier or not.
    clocked.at(4000)
    assert clocked.renew_claim("B", "file:x") == "B"
    clocked.at(4299)
    assert refusal(clocked.claim_file, "A", "x") == "B already holds claim on x"
    clocked.at(4300)
    assert clocked.claim_file("A", "x") == "A"


def test_a_fraction_of_a_second_is_dropped_never_rounded(clocked):
    # Read as rounded, x.9 s would be x + 1, and a lease would lapse up to half a second early.
    assert clocked.at(1000.9) == pytest.approx(1000.9)
    assert clocked.send_message("A", "B", "t") == ("A", "B", "t", 1000)
    clocked.at(2000)
    assert clocked.claim_file("A", "x") == "A"
    clocked.at(2299.9)
    assert refusal(clocked.claim_file, "B", "x") == "A already holds claim on x"
    assert clocked.broadcast("A", "b")[3] == 2299
    clocked.at(2300)
    assert clocked.claim_file("B", "x") == "B"


def test_epoch_itself_is_a_valid_reading(clocked):
    clocked.at(0)
    assert clocked.claim_file("A", "x") == "A"
    assert clocked.send_message("A", "B", "t") == ("A", "B", "t", 0)
    clocked.at(300)
    assert clocked.claim_file("B", "x") == "B"


@pytest.mark.native_only
def test_clock_before_1970_raises_panic_and_keeps_the_state(clocked):
    clocked.at(1000)
    clocked.claim_file("A", "renewed")
    clocked.claim_file("A", "released")
    clocked.send_message("A", "B", "early")

    def panics(call, *args):
        lines_before = clocked.stderr_text().count("\n")
        with pytest.raises(ChildRaised) as info:
            call(*args)
        error = info.value
        assert error.type_name == "durnel_runtime.PanicException"
        assert error.mro == [
            "durnel_runtime.PanicException",
            "builtins.BaseException",
            "builtins.object",
        ]
        assert not error.is_exception
        assert not error.in_module
        assert error.doc.startswith("\n") and error.doc.endswith("\n")
        assert len(error.error_args) == 1
        message = error.error_args[0]
        assert message.startswith(EPOCH_PREFIX) and len(message) > len(EPOCH_PREFIX)
        new_lines = clocked.stderr_text().splitlines()[lines_before:]
        assert len(new_lines) == 1 and message in new_lines[0]
        # The location is relative to the source tree, whichever directory built the module.
        assert re.match(
            r"durnel_core: unrecoverable failure at src/core/clock\.cpp:\d+: ", new_lines[0]
        )

    for before_epoch in (-1, -0.5, -86400 * 365):
        clocked.at(before_epoch)
        panics(clocked.claim_task, "C", "q")
        panics(clocked.claim_file, "B", "renewed")
        panics(clocked.renew_claim, "A", "file:renewed")
        panics(clocked.send_message, "A", "B", "lost")
        panics(clocked.broadcast, "D", "lost")
        # Calls that read no clock still work.
        assert clocked.status("A") == "busy"
        assert [m[2] for m in clocked.inbox("B")] == ["early"]
    # A release reads the clock only after removing the claim and writing the status.
    panics(clocked.release, "A", "file:released")
    assert clocked.status("A") == "idle"

    clocked.at(1299)
    assert refusal(clocked.claim_file, "B", "renewed") == "A already holds claim on renewed"
    clocked.at(1300)
    assert clocked.claim_file("B", "renewed") == "B"
    assert clocked.claim_task("C", "q") == "C"
    assert refusal(clocked.release, "A", "file:released") == "no claim found for A"
    assert clocked.claim_file("E", "released") == "E"
    assert clocked.drain_inbox("B") == [("A", "B", "early", 1000)]
    clocked.broadcast("F", "late")
    assert clocked.inbox("D") == []
    assert clocked.inbox("B") == [("F", "B", "late", 1300)]


@pytest.mark.redis_only
def test_server_clock_before_1970_is_an_error_that_changes_nothing(clocked):
    from durnel.redis import ServerClockError

    clocked.at(1000)
    clocked.claim_file("A", "held")
    clocked.at(-1)
    for call, args in [
        ("claim_file", ("B", "x")),
        ("renew_claim", ("A", "file:held")),
        ("release", ("A", "file:held")),
        ("send_message", ("A", "B", "t")),
        ("broadcast", ("A", "t")),
    ]:
        with pytest.raises(ServerClockError, match="^system clock before unix epoch: "):
            getattr(clocked, call)(*args)
        assert not isinstance(ServerClockError("x"), RuntimeError)
    clocked.at(1001)
    assert clocked.status("B") == "idle" and clocked.inbox("B") == []
    assert refusal(clocked.claim_file, "B", "held") == "A already holds claim on held"
    assert refusal(clocked.release, "B", "file:x") == "no claim found for B"


@pytest.mark.sqlite_only
def test_clock_before_1970_is_a_clock_error_that_changes_nothing(clocked):
    clocked.at(1000)
    clocked.claim_file("A", "held")
    for before_epoch in (-1, -0.5):
        clocked.at(before_epoch)
        for call, args in [
            ("claim_file", ("B", "x")),
            ("renew_claim", ("A", "file:held")),
            ("release", ("A", "file:held")),
            ("send_message", ("A", "B", "t")),
            ("broadcast", ("A", "t")),
        ]:
            with pytest.raises(ChildRaised) as info:
                getattr(clocked, call)(*args)
            assert "durnel.errors.ClockError" in info.value.mro
            assert "builtins.RuntimeError" not in info.value.mro
            assert info.value.error_args[0].startswith(EPOCH_PREFIX)
    clocked.at(1001)
    assert clocked.status("B") == "idle" and clocked.inbox("B") == []
    assert refusal(clocked.claim_file, "B", "held") == "A already holds claim on held"
    assert refusal(clocked.release, "B", "file:x") == "no claim found for B"
    clocked.at(1300)
    assert clocked.claim_file("B", "held") == "B"  # the lease ran from 1000: no renewal stuck
