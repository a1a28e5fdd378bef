"""Fault injection: allocation failures while results are built, and a wall clock before 1970
at each clock read of each method.

Both run in a child interpreter (this file run as a script), so that a crash shows up as the
child's exit status instead of taking the test run down, and so that the faked clock never
reaches the interpreter running the rest of the suite:

* ``nomemory``: for every method, on its good and its refused paths, the Python allocator is
  made to fail (``_testcapi.set_nomemory``) at each allocation in turn, and from each
  allocation on. The call may fail (MemoryError, or PanicException "Python API call failed"
  when a result object cannot be made) but the interpreter survives, the state is either
  untouched or fully changed, and no message is lost or duplicated: a drain whose result
  cannot be built puts the messages back, in order.
* ``clock``: under libfaketime the clock is made to fall before 1970 at exactly the n-th
  read of a call (a timestamp file "@<start> i-<step>" makes each read <step> seconds
  earlier than the last), for every n up to one past the reads the call makes. The call
  raises PanicException, keeps exactly the changes made before that read, leaves no shard
  guard held (later calls on the same keys, once the clock is right, succeed instead of
  waiting forever; a watchdog ends a stuck child) and the object stays usable.
"""

import json
import os
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from faketime_helpers import (  # noqa: E402  (next to this file)
    child_environment,
    faked_clock_environment,
    find_libfaketime,
    set_clock,
)

A, B, C, D = "agent-a", "agent-b", "agent-\u00e7", "agent\x00d"
PATH, TASK = "docs/a\u00e9.txt", "phase-7"
KEY, TASK_KEY = "file:" + PATH, "task:" + TASK
PROBE = "\x00fault-probe"
API_FAILED = "Python API call failed"
CLOCK_PREFIX = "system clock before unix epoch: "


def is_panic(error):
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ == "durnel_runtime"


def holder(state, key):
    """The holder of `key`, read through a refused release that changes nothing."""
    try:
        state.release(PROBE, key)
    except RuntimeError as error:
        message = error.args[0]
    if message == "no claim found for " + PROBE:
        return None
    prefix = PROBE + " cannot release a claim held by "
    assert message.startswith(prefix), message
    return message[len(prefix) :]


def without_stamp(messages):
    return [tuple(message[:3]) for message in messages]


# ---------------------------------------------------------------------------------------
# allocation failures (child side)
# ---------------------------------------------------------------------------------------


class NoMemoryScenario:
    """One call, (method name, arguments), on a prepared state, and what must hold
    afterwards whatever happened."""

    def __init__(self, name, prepare, call, check, builds_result=True):
        self.name, self.prepare, self.call, self.check = name, prepare, call, check
        # a Python object is made after the core ran (a claim's holder is the caller's own
        # agent id str, a status a shared str: neither is made)
        self.builds_result = builds_result


def _claimed_by(who, claim="claim_file", name=PATH):
    def prepare(state):
        getattr(state, claim)(who, name)

    return prepare


def _mail_for(agent, count):
    def prepare(state):
        for i in range(count):
            state.send_message(B, agent, "m%d" % i)

    return prepare


def _nothing(state):
    pass


def _check_fresh_claim(key, agent):
    def check(state, result, error, before):
        held = holder(state, key)
        if error is None:
            assert result == agent and held == agent
        assert held in (None, agent)
        assert state.status(agent) == ("busy" if held else "idle")
        if held:
            state.release(agent, key)  # the guard is free
        assert holder(state, key) is None

    return check


def _check_unchanged_holder(key, agent, refusal):
    def check(state, result, error, before):
        assert error is not None, "a refused call succeeded"
        if isinstance(error, RuntimeError):
            assert error.args == (refusal,), error.args
        assert holder(state, key) == agent
        assert state.status(A) == "idle" or agent == A

    return check


def _check_renewed(state, result, error, before):
    if error is None:
        assert result == A
    assert holder(state, KEY) == A
    assert state.status(A) == "busy"


def _check_released(state, result, error, before):
    held = holder(state, KEY)
    if error is None:
        assert result is None and held is None
    assert state.status(A) == ("busy" if held else "idle")


def _check_release_missing(state, result, error, before):
    assert error is not None
    if isinstance(error, RuntimeError):
        assert error.args == ("no claim found for " + A,)
    assert holder(state, KEY) is None


def _check_send(state, result, error, before):
    after = state.inbox(A)
    assert after[: len(before)] == before, "a message was lost"
    added = without_stamp(after[len(before) :])
    assert added in ([], [(B, A, "new")]), added
    if error is None:
        assert tuple(result[:3]) == (B, A, "new") and added == [(B, A, "new")]
        assert result[3] == after[-1][3]


def _check_broadcast(state, result, error, before):
    # `before` holds the inboxes of A and B; both get the copy or neither does.
    delivered = []
    for agent, old in zip((A, B), before):
        after = state.inbox(agent)
        assert after[: len(old)] == old, "a message was lost"
        added = without_stamp(after[len(old) :])
        assert added in ([], [(A, agent, "all")]), added
        delivered.append(bool(added))
    assert delivered[0] == delivered[1], "a broadcast reached only some recipients"
    if error is None:
        assert tuple(result[:3]) == (A, "*", "all") and delivered[0]


def _check_inbox(state, result, error, before):
    if error is None:
        assert result == before
    assert state.inbox(A) == before


def _check_drain(state, result, error, before):
    left = state.inbox(A)
    if error is None:
        assert result == before and left == []
    else:
        assert left == before, "a failed drain lost or reordered messages: %r" % (left,)


def _check_status(state, result, error, before):
    if error is None:
        assert result == "busy"
    assert state.status(A) == "busy"


NOMEMORY_SCENARIOS = [
    NoMemoryScenario(
        "claim_file",
        _nothing,
        ("claim_file", (A, PATH)),
        _check_fresh_claim(KEY, A),
        builds_result=False,
    ),
    NoMemoryScenario(
        "claim_task",
        _nothing,
        ("claim_task", (A, TASK)),
        _check_fresh_claim(TASK_KEY, A),
        builds_result=False,
    ),
    NoMemoryScenario(
        "claim_file refused",
        _claimed_by(B),
        ("claim_file", (A, PATH)),
        _check_unchanged_holder(KEY, B, B + " already holds claim on " + PATH),
    ),
    NoMemoryScenario(
        "claim_task refused",
        _claimed_by(B, "claim_task", TASK),
        ("claim_task", (A, TASK)),
        _check_unchanged_holder(TASK_KEY, B, B + " already holds claim on task " + TASK),
    ),
    NoMemoryScenario(
        "renew_claim",
        _claimed_by(A),
        ("renew_claim", (A, KEY)),
        _check_renewed,
        builds_result=False,
    ),
    NoMemoryScenario(
        "renew_claim refused",
        _claimed_by(B),
        ("renew_claim", (A, KEY)),
        _check_unchanged_holder(KEY, B, A + " cannot renew a claim held by " + B),
    ),
    NoMemoryScenario(
        "release", _claimed_by(A), ("release", (A, KEY)), _check_released, builds_result=False
    ),
    NoMemoryScenario(
        "release refused",
        _claimed_by(B),
        ("release", (A, KEY)),
        _check_unchanged_holder(KEY, B, A + " cannot release a claim held by " + B),
    ),
    NoMemoryScenario("release missing", _nothing, ("release", (A, KEY)), _check_release_missing),
    NoMemoryScenario("send_message", _mail_for(A, 2), ("send_message", (B, A, "new")), _check_send),
    NoMemoryScenario(
        "broadcast",
        lambda s: (_mail_for(A, 2)(s), _mail_for(B, 1)(s)),
        ("broadcast", (A, "all")),
        _check_broadcast,
    ),
    NoMemoryScenario("inbox", _mail_for(A, 3), ("inbox", (A,)), _check_inbox),
    NoMemoryScenario("drain_inbox", _mail_for(A, 5), ("drain_inbox", (A,)), _check_drain),
    NoMemoryScenario(
        "status", _claimed_by(A), ("status", (A,)), _check_status, builds_result=False
    ),
]

ALLOCATION_RANGE = 70  # well past the allocations of any one call here


def run_nomemory_child(name):
    """Runs the scenario `name` with every allocation in turn failing ("one") and with
    every allocation from each one on failing ("from"); prints what each attempt gave."""
    import _testcapi
    import gc

    from durnel_core import CoordinationState

    summary = {}
    for scenario in NOMEMORY_SCENARIOS:
        if scenario.name != name:
            continue
        for mode in ("one", "from"):
            outcomes = []
            for start in range(ALLOCATION_RANGE):
                state = CoordinationState()
                scenario.prepare(state)
                if scenario.name == "broadcast":
                    before = [state.inbox(A), state.inbox(B)]
                else:
                    before = state.inbox(A)
                # The bound method and its argument tuple are made beforehand: calling it
                # then allocates nothing in the interpreter itself, so the failing allocation
                # is one of the call's own.
                method = getattr(state, scenario.call[0])
                arguments = scenario.call[1]
                box = [None, None]
                gc.disable()  # a collection inside the window would shift what fails
                _testcapi.set_nomemory(start, start + 1 if mode == "one" else 0)
                try:
                    box[0] = method(*arguments)
                except BaseException as error:
                    box[1] = error
                finally:
                    _testcapi.remove_mem_hooks()
                    gc.enable()
                result, error = box
                if error is None:
                    outcome = "ok"
                elif is_panic(error):
                    assert error.args == (API_FAILED,), (scenario.name, error.args)
                    outcome = "panic"
                elif type(error) in (MemoryError, RuntimeError):
                    outcome = type(error).__name__
                else:
                    raise AssertionError("%s: unexpected %r" % (scenario.name, error))
                try:
                    scenario.check(state, result, error, before)
                except AssertionError as failure:
                    raise AssertionError(
                        "%s, allocation %d (%s): %s after %r"
                        % (scenario.name, start, mode, failure, error)
                    ) from None
                # the object is still fully usable
                state.send_message(C, D, "after")
                assert without_stamp(state.drain_inbox(D)) == [(C, D, "after")]
                outcomes.append(outcome)
                del state, box, result, error, method
            summary["%s/%s" % (scenario.name, mode)] = outcomes
    sys.last_type = sys.last_value = sys.last_traceback = None
    print("SUMMARY " + json.dumps(summary))


# ---------------------------------------------------------------------------------------
# clock before 1970 (child side, under libfaketime)
# ---------------------------------------------------------------------------------------


class FakeClock:
    """Drives libfaketime through its timestamp file (TZ=UTC)."""

    STEP = 2000  # seconds between two reads while falling

    def __init__(self, path):
        self.path = path

    def _write(self, text):
        with open(self.path, "w") as handle:
            handle.write(text + "\n")

    @staticmethod
    def _format(seconds):
        return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(seconds))

    def freeze(self, seconds):
        """Every read gives `seconds` until the next change."""
        self._write(self._format(seconds))

    def fail_at(self, n, last_good):
        """The next reads give last_good + (n - 2) * STEP, ..., last_good (read n - 1), then
        last_good - STEP, before 1970, at read n, and keep falling."""
        assert 0 <= last_good < self.STEP
        # In the "i" mode libfaketime counts the reads made in that mode over the process's
        # life and answers start + count * increment; one read at start 0, increment -1
        # tells the count, so the start can be chosen for the reads that follow.
        self._write("@1970-01-01 00:00:00 i-1")
        count = -int(time.time()) + 1
        start = last_good + (n - 2) * self.STEP + count * self.STEP
        self._write("@%s i-%d" % (self._format(start), self.STEP))

    def first_reading(self, n, last_good):
        return last_good + (n - 2) * self.STEP


def _attempt(call):
    try:
        return call(), None
    except BaseException as error:
        return None, error


def _expect_panic(error, where):
    assert error is not None and is_panic(error), "%s: expected a clock panic, got %r" % (
        where,
        error,
    )
    assert not isinstance(error, Exception)
    (message,) = error.args
    assert message.startswith(CLOCK_PREFIX) and "SystemTimeError" in message, message


def _broadcast_reaches(state, clock, agent):
    """Whether `agent` is a known agent: a broadcast by D reaches it."""
    clock.freeze(50_000)
    before = len(state.inbox(agent))
    state.broadcast(D, "roll call")
    after = state.inbox(agent)
    assert len(after) in (before, before + 1)
    return len(after) == before + 1


def clock_fresh_claim(clock, n, claim, name, key):
    """claim_file / claim_task on a free resource; reads: claimed_at, renewed_at, the
    Claimed event's stamp, the log bucket."""
    from durnel_core import CoordinationState

    state = CoordinationState()
    clock.fail_at(n, 1300)
    result, error = _attempt(lambda: getattr(state, claim)(A, name))
    where = "%s fresh, read %d" % (claim, n)
    if n <= 4:
        _expect_panic(error, where)
    else:
        assert error is None and result == A, (where, error)
    clock.freeze(5000)
    stored = n >= 3
    assert holder(state, key) == (A if stored else None), where
    assert state.status(A) == ("busy" if stored else "idle"), where
    if stored:
        assert state.release(A, key) is None
    assert getattr(state, claim)(C, name) == C  # the claims guard is free
    assert state.status(C) == "busy"


def clock_takeover(clock, n):
    """claim_file on a lapsed claim of B; reads: claimed_at, renewed_at, the lapse test,
    Claimed's stamp and bucket, Released's stamp and bucket."""
    from durnel_core import CoordinationState

    state = CoordinationState()
    clock.freeze(1000)
    state.claim_file(B, PATH)
    clock.fail_at(n, 1300)  # every read before n is at least 1300: the claim has lapsed
    result, error = _attempt(lambda: state.claim_file(A, PATH))
    where = "takeover, read %d" % n
    if n <= 7:
        _expect_panic(error, where)
    else:
        assert error is None and result == A, (where, error)
    clock.freeze(5000)
    taken = n >= 4
    assert holder(state, KEY) == (A if taken else B), where
    assert state.status(A) == ("busy" if taken else "idle"), where
    assert state.status(B) == "busy", where
    current = A if taken else B
    assert state.release(current, KEY) is None  # the claims guard was let go
    assert state.claim_file(C, PATH) == C
    assert state.status(current) == "idle"


def clock_refused(clock, n):
    """claim_file on a claim of B that holds; reads: claimed_at, renewed_at, the lapse test."""
    from durnel_core import CoordinationState

    state = CoordinationState()
    clock.freeze(1000)
    state.claim_file(B, PATH)
    clock.fail_at(n, 1100)  # read n - 1 is 1100: age 100, the claim holds
    result, error = _attempt(lambda: state.claim_file(A, PATH))
    where = "refused claim, read %d" % n
    if n <= 3:
        _expect_panic(error, where)
    else:
        assert isinstance(error, RuntimeError), (where, error)
        assert error.args == (B + " already holds claim on " + PATH,)
    clock.freeze(1100)
    assert holder(state, KEY) == B and state.status(A) == "idle", where
    assert state.release(B, KEY) is None


def clock_renew(clock, n):
    """renew_claim by the holder; reads: claimed_at, renewed_at."""
    from durnel_core import CoordinationState

    state = CoordinationState()
    clock.freeze(1000)
    state.claim_file(A, PATH)
    clock.fail_at(n, 1250)
    result, error = _attempt(lambda: state.renew_claim(A, KEY))
    where = "renew, read %d" % n
    if n <= 2:
        _expect_panic(error, where)
    else:
        assert error is None and result == A, (where, error)
    # At 1300 the original lease (from 1000) has run out; a completed renewal (stamps 3250
    # and 1250) still holds.
    clock.freeze(1300)
    assert holder(state, KEY) == A
    result, error = _attempt(lambda: state.claim_file(C, PATH))
    if n <= 2:
        assert error is None and result == C, (where, error)  # stamps left as they were
    else:
        assert isinstance(error, RuntimeError), (where, error)
        assert error.args == (A + " already holds claim on " + PATH,)


def clock_release(clock, n):
    """release by the holder; reads: the Released event's stamp, the log bucket."""
    from durnel_core import CoordinationState

    state = CoordinationState()
    clock.freeze(1000)
    state.claim_file(A, PATH)
    clock.fail_at(n, 1300)
    result, error = _attempt(lambda: state.release(A, KEY))
    where = "release, read %d" % n
    if n <= 2:
        _expect_panic(error, where)
    else:
        assert error is None and result is None, (where, error)
    clock.freeze(5000)
    # The claim was removed and the status written before the first read.
    assert holder(state, KEY) is None, where
    assert state.status(A) == "idle", where
    assert state.claim_file(C, PATH) == C


def clock_send(clock, n):
    """send_message; reads: sent_at, the MessageSent stamp, the log bucket."""
    from durnel_core import CoordinationState

    state = CoordinationState()
    clock.fail_at(n, 1300)
    result, error = _attempt(lambda: state.send_message(A, B, "hi"))
    where = "send_message, read %d" % n
    sent_at = clock.first_reading(n, 1300)
    if n <= 3:
        _expect_panic(error, where)
    else:
        assert error is None and result == (A, B, "hi", sent_at), (where, error, result)
    delivered = n >= 2
    clock.freeze(5000)
    assert state.inbox(B) == ([(A, B, "hi", sent_at)] if delivered else []), where
    assert _broadcast_reaches(state, clock, B) == delivered, where  # registered with it
    assert not _broadcast_reaches(state, clock, A), where  # the sender never is
    assert state.send_message(A, B, "again")[:3] == (A, B, "again")


def clock_broadcast(clock, n):
    """broadcast; reads: sent_at, the BroadcastSent stamp, the log bucket."""
    from durnel_core import CoordinationState

    state = CoordinationState()
    clock.freeze(1000)
    state.send_message(C, B, "hello")  # B is known
    state.drain_inbox(B)
    clock.fail_at(n, 1300)
    result, error = _attempt(lambda: state.broadcast(A, "all"))
    where = "broadcast, read %d" % n
    sent_at = clock.first_reading(n, 1300)
    if n <= 3:
        _expect_panic(error, where)
    else:
        assert error is None and result == (A, "*", "all", sent_at), (where, error, result)
    delivered = n >= 2
    clock.freeze(5000)
    for agent in (A, B):
        assert state.inbox(agent) == ([(A, agent, "all", sent_at)] if delivered else []), where
    assert _broadcast_reaches(state, clock, A) == delivered, where  # the sender registered


def clock_free_methods(clock):
    """inbox, drain_inbox and status read no clock: they work whatever it says."""
    from durnel_core import CoordinationState

    state = CoordinationState()
    clock.freeze(1000)
    state.claim_task(A, TASK)
    state.send_message(B, A, "one")
    clock.freeze(-86_400)
    assert state.inbox(A) == [(B, A, "one", 1000)]
    assert state.status(A) == "busy"
    assert state.drain_inbox(A) == [(B, A, "one", 1000)]
    assert state.inbox(A) == []


def clock_keeps_reference_counts(clock):
    from durnel_core import CoordinationState

    state = CoordinationState()
    agent, path = "".join(["ag", "ent"]), "".join(["pa", "th"])
    watched = (agent, path, state, CoordinationState)
    clock.freeze(-700)
    for _ in range(20):
        _attempt(lambda: state.claim_file(agent, path))
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(300):
        _attempt(lambda: state.claim_file(agent, path))
        _attempt(lambda: state.send_message(agent, path, agent))
    after = [sys.getrefcount(obj) for obj in watched]
    assert before == after, (before, after)
    clock.freeze(5000)
    assert state.claim_file(agent, path) == agent


def clock_cases():
    """Every clock case by name: the call, and n, the read that falls before 1970 (one past
    the call's reads: the call succeeds)."""
    cases = []
    for n in range(1, 6):
        cases.append(
            (
                "claim_file fresh/%d" % n,
                lambda clock, n=n: clock_fresh_claim(clock, n, "claim_file", PATH, KEY),
            )
        )
        cases.append(
            (
                "claim_task fresh/%d" % n,
                lambda clock, n=n: clock_fresh_claim(clock, n, "claim_task", TASK, TASK_KEY),
            )
        )
    cases += [("takeover/%d" % n, lambda clock, n=n: clock_takeover(clock, n)) for n in range(1, 9)]
    cases += [("refused/%d" % n, lambda clock, n=n: clock_refused(clock, n)) for n in range(1, 5)]
    cases += [("renew/%d" % n, lambda clock, n=n: clock_renew(clock, n)) for n in range(1, 4)]
    cases += [("release/%d" % n, lambda clock, n=n: clock_release(clock, n)) for n in range(1, 4)]
    cases += [("send/%d" % n, lambda clock, n=n: clock_send(clock, n)) for n in range(1, 5)]
    cases += [
        ("broadcast/%d" % n, lambda clock, n=n: clock_broadcast(clock, n)) for n in range(1, 5)
    ]
    cases += [
        ("no clock reads", clock_free_methods),
        ("reference counts", clock_keeps_reference_counts),
    ]
    return cases


def run_clock_child(selection):
    """Runs the named clock cases ("all", or "all-but:<name>,<name>", or "<name>,<name>")."""
    import faulthandler

    faulthandler.dump_traceback_later(240, exit=True)  # a guard left held blocks for ever
    clock = FakeClock(os.environ["FAKETIME_TIMESTAMP_FILE"])
    # The timestamp file really steers the reads, one step per read.
    clock.fail_at(3, 1300)
    readings = [time.time() for _ in range(3)]
    assert readings == [3300.0, 1300.0, -700.0], readings
    clock.freeze(1000)
    assert time.time() == 1000.0

    cases = clock_cases()
    names = [name for name, _ in cases]
    if selection == "all":
        wanted = names
    elif selection.startswith("all-but:"):
        left_out = selection[len("all-but:") :].split(",")
        assert set(left_out) <= set(names), left_out
        wanted = [name for name in names if name not in left_out]
    else:
        wanted = selection.split(",")
        assert set(wanted) <= set(names), wanted
    checked = []
    for name, case in cases:
        if name in wanted:
            case(clock)
            checked.append(name)
    faulthandler.cancel_dump_traceback_later()
    print("SUMMARY " + json.dumps(checked))


# ---------------------------------------------------------------------------------------
# the tests (parent side)
# ---------------------------------------------------------------------------------------


def _run_child(mode, env, timeout, *arguments):
    child = subprocess.run(
        [sys.executable, os.path.abspath(__file__), mode, *arguments],
        env=env,
        cwd=HERE,
        capture_output=True,
        text=True,
        errors="replace",
        timeout=timeout,
    )
    details = "exit %d\n--- stdout\n%s\n--- stderr (end)\n%s" % (
        child.returncode,
        child.stdout[-4000:],
        child.stderr[-8000:],
    )
    assert child.returncode == 0, details
    lines = [line for line in child.stdout.splitlines() if line.startswith("SUMMARY ")]
    assert len(lines) == 1, details
    return json.loads(lines[0][len("SUMMARY ") :]), child.stderr


@pytest.mark.parametrize(
    "scenario", NOMEMORY_SCENARIOS, ids=[scenario.name for scenario in NOMEMORY_SCENARIOS]
)
def test_allocation_failures_never_crash_or_lose_messages(scenario):
    try:
        import _testcapi

        _testcapi.set_nomemory  # noqa: B018 - only whether it is there
        _testcapi.remove_mem_hooks  # noqa: B018
    except (ImportError, AttributeError):
        pytest.skip("this interpreter has no _testcapi.set_nomemory")
    # One child per scenario: which allocation a call makes first depends on what the
    # interpreter did before (free lists, caches), so each starts from the same state.
    summary, _ = _run_child("nomemory", child_environment(), 300, scenario.name)
    single = summary[scenario.name + "/one"]
    assert len(summary[scenario.name + "/from"]) == ALLOCATION_RANGE
    # allocations past the end of the call fail nothing: the range covered the whole call
    assert single[-5:] == [single[-1]] * 5, single
    assert single[-1] in ("ok", "RuntimeError"), single
    if scenario.builds_result:
        # a result that could not be made was reported as such, after the core ran
        assert "panic" in single, single
    assert "MemoryError" in single, single


def _clock_child(tmp_path, selection):
    libfaketime = find_libfaketime()
    if libfaketime is None:
        pytest.skip("libfaketime is not installed (Debian package libfaketime)")
    timestamp_file = tmp_path / "faketime.rc"
    set_clock(timestamp_file, 1000)
    env = faked_clock_environment(timestamp_file, libfaketime)
    return _run_child("clock", env, 600, selection)


def test_clock_before_1970_at_each_read(tmp_path):
    checked, stderr = _clock_child(tmp_path, "all")
    assert len(checked) == len(clock_cases())
    # every panic was announced on standard error first
    assert CLOCK_PREFIX in stderr


if __name__ == "__main__":
    if sys.argv[1] == "nomemory":
        run_nomemory_child(sys.argv[2])
    else:
        run_clock_child(sys.argv[2] if len(sys.argv) > 2 else "all")
