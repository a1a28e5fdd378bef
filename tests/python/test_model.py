"""Model-based test: a hypothesis state machine drives CoordinationState and the pure-Python
model of model.py side by side, under a wall clock that the test sets.

Every method is called with random agent ids, paths and contents (empty, NUL, non-ASCII,
str subclasses), by position, by name or mixed, interleaved with clock jumps across the
299/300-second lease edge and backwards, and with bad calls (wrong types, lone surrogates,
wrong, missing, repeated or surplus arguments). Every result, exception and message must
agree with the model; after each step every status, every inbox and every claim holder
agrees too, so a bad call that changed anything would be caught at once.

The clock: the machine runs in a child interpreter with libfaketime preloaded, reading a
frozen absolute time ("YYYY-MM-DD hh:mm:ss", UTC) from a timestamp file that each clock
step rewrites; monotonic clocks stay real. The parent test starts that child (with
DURNEL_MODEL_CHILD set) so the interpreter running the rest of the suite is never faked,
and it skips when libfaketime is not installed.

The same machine also drives the Redis engine (RedisCoordinationMachine), in this process,
against a redis-server whose clock libfaketime freezes at the timestamp file that each clock
step rewrites, and the SQLite engine (SQLiteCoordinationMachine) in a faked-clock child of
its own, as the module is.

Knobs (environment): DURNEL_MODEL_EXAMPLES (default 110), DURNEL_MODEL_REDIS_EXAMPLES
(default 30), DURNEL_MODEL_SQLITE_EXAMPLES (default 30) and DURNEL_MODEL_STEPS (default 50)
size the runs; DURNEL_MODEL_RANDOM=1 replaces the fixed derandomised run with a random one.
"""

import os
import subprocess
import sys
import time

import pytest

import durnel_core

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import model  # noqa: E402  (the model lives next to this file)
from conftest import sqlite_selected  # noqa: E402
from faketime_helpers import (  # noqa: E402
    faked_clock_environment,
    find_libfaketime,
    set_clock,
)

CHILD_FLAG = "DURNEL_MODEL_CHILD"
REPORT_VARIABLE = "DURNEL_MODEL_REPORT"
IN_CHILD = os.environ.get(CHILD_FLAG) == "1"

EXAMPLES = int(os.environ.get("DURNEL_MODEL_EXAMPLES", "110"))
SQLITE_EXAMPLES = int(os.environ.get("DURNEL_MODEL_SQLITE_EXAMPLES", "30"))
SQLITE_FILE_VARIABLE = "DURNEL_MODEL_SQLITE_FILE"
STEPS = int(os.environ.get("DURNEL_MODEL_STEPS", "50"))


@pytest.mark.skipif(IN_CHILD, reason="runs the model in a child; this is that child")
def test_model_agrees_with_module_under_faked_clock(tmp_path):
    run_machine_in_faked_clock_child(tmp_path, "TestCoordinationMachine", EXAMPLES)


@sqlite_selected
@pytest.mark.skipif(IN_CHILD, reason="runs the model in a child; this is that child")
def test_model_agrees_with_sqlite_engine_under_faked_clock(tmp_path):
    run_machine_in_faked_clock_child(
        tmp_path,
        "TestSQLiteCoordinationMachine",
        SQLITE_EXAMPLES,
        {SQLITE_FILE_VARIABLE: str(tmp_path / "model.db")},
    )


def run_machine_in_faked_clock_child(tmp_path, test_case, examples, extra_env=None):
    """Runs the machine ``test_case`` of this file in a child whose clock is the timestamp
    file, and checks that it passed and ran the bulk of its ``examples``."""
    libfaketime = find_libfaketime()
    if libfaketime is None:
        pytest.skip("libfaketime is not installed (Debian package libfaketime)")
    timestamp_file = tmp_path / "faketime.rc"
    set_clock(timestamp_file, 1_000_000_000)
    report = tmp_path / "steps.txt"
    env = faked_clock_environment(timestamp_file, libfaketime)
    env[CHILD_FLAG] = "1"
    env[REPORT_VARIABLE] = str(report)
    env.update(extra_env or {})
    command = [
        sys.executable,
        "-m",
        "pytest",
        "-q",
        "-p",
        "no:cacheprovider",
        "-x",
        os.path.abspath(__file__) + "::" + test_case,
    ]
    child = subprocess.run(
        command,
        env=env,
        cwd=HERE,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=900,
    )
    output = child.stdout[-12000:]
    assert child.returncode == 0, "model run failed (exit %d):\n%s" % (child.returncode, output)
    assert "1 passed" in child.stdout, output
    steps = [int(line) for line in report.read_text().split()]
    # hypothesis may end an example early, but the bulk of the planned steps must have run
    assert len(steps) >= examples // 2, output
    assert sum(steps) >= examples * STEPS // 2, "only %d steps ran" % sum(steps)


def test_model_rejects_what_the_module_rejects():
    # The model's argument rules on a few fixed calls, so that a mistake in the model itself
    # shows up without the child run.
    assert model.expected_call_error("status", ("a", "b"), {}) == (
        TypeError,
        "CoordinationState.status() takes 1 positional arguments but 2 were given",
    )
    assert model.expected_call_error("send_message", (), {}) == (
        TypeError,
        "CoordinationState.send_message() missing 3 required positional arguments: "
        "'from_agent', 'to_agent', and 'content'",
    )
    assert model.expected_call_error("send_message", ("a",), {}) == (
        TypeError,
        "CoordinationState.send_message() missing 2 required positional arguments: "
        "'to_agent' and 'content'",
    )
    assert model.expected_call_error("status", ("a",), {"agent_id": "a"}) == (
        TypeError,
        "CoordinationState.status() got multiple values for argument 'agent_id'",
    )
    assert model.expected_call_error("status", (), {"agent": "a"}) == (
        TypeError,
        "CoordinationState.status() got an unexpected keyword argument 'agent'",
    )
    assert model.expected_call_error("status", (5,), {}) == (
        TypeError,
        "argument 'agent_id': 'int' object cannot be converted to 'PyString'",
    )
    kind, _ = model.expected_call_error("status", ("\ud800",), {})
    assert kind is UnicodeEncodeError
    assert model.expected_call_error("claim_file", ("a",), {"path": "p"}) is None


if True:  # the machine; the native run defines its TestCase only in the faked-clock child
    from hypothesis import HealthCheck, settings
    from hypothesis import strategies as st
    from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

    class Text(str):
        """A str subclass: accepted wherever a str is, passed on as its string value."""

    class Shadowed(str):
        """A str subclass whose str() lies; the call must use the stored characters."""

        def __str__(self):
            return "shadowed"

    class NamelessMeta(type):
        """Its classes have no readable __qualname__."""

        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise AttributeError("no name today")
            return super().__getattribute__(name)

    class Nameless(metaclass=NamelessMeta):
        pass

    def _nameless_instance():
        return Nameless()

    def _local_class_instance():
        class Local:
            pass

        return Local()

    AGENTS = [
        "agent-1",
        "agent-2",
        "Agent-1",
        "",
        "\x00",
        "a\x00b",
        "\u00e9",
        "\u65e5\u672c",
        "\U0001f642x",
    ]
    NAMES = [
        "docs/a.txt",
        "./docs/a.txt",
        "",
        "\x00",
        "a\x00b",
        "\u00fc/\u00f1.md",
        "agent-1",
        "phase-7",
    ]
    CONTENTS = ["", "hello", "\x00", "\u00df\u00df", "\U0001f4ac line\nbreak"]
    PROBE = "\x00probe\x00"  # longer than any generated id: never holds, sends or receives

    valid_text = st.text(max_size=3)  # hypothesis leaves out lone surrogates by default

    def with_subclasses(strategy):
        return st.one_of(strategy, strategy.map(Text), strategy.map(Shadowed))

    agent_ids = with_subclasses(
        st.one_of(st.sampled_from(AGENTS), st.sampled_from(AGENTS), valid_text)
    )
    names = with_subclasses(st.one_of(st.sampled_from(NAMES), st.sampled_from(NAMES), valid_text))
    resource_keys = with_subclasses(
        st.one_of(
            st.tuples(st.sampled_from(["file:", "task:"]), st.sampled_from(NAMES)).map("".join),
            st.tuples(st.sampled_from(["file:", "task:"]), st.sampled_from(NAMES)).map("".join),
            st.sampled_from(NAMES),
            valid_text,
        )
    )
    contents = with_subclasses(st.one_of(st.sampled_from(CONTENTS), st.text(max_size=12)))
    clock_steps = st.one_of(
        st.sampled_from([0, 1, 2, 59, 298, 299, 300, 301, 600, -1, -2, -299, -300, -301]),
        st.integers(-900, 900),
    )
    bad_values = st.one_of(
        st.sampled_from([5, -1, 1.5, b"agent-1", bytearray(b"x"), None, [], ("t",), {}, True]),
        st.builds(object),
        st.builds(_nameless_instance),
        st.builds(_local_class_instance),
        st.sampled_from(["\ud800", "a\udfffb", "\udc80\u00e9"]),
        st.sampled_from(["\ud800", "a\udfffb"]).map(Text),
    )
    bogus_keywords = st.sampled_from(
        ["agent", "Agent_id", "agent_id ", "pathx", "\ud800", "\u00e9", "", "self"]
    )

    def good_value(parameter):
        if parameter == "content":
            return contents
        if parameter in ("path", "task_id"):
            return names
        if parameter == "resource_key":
            return resource_keys
        return agent_ids

    def same_result(actual, expected):
        """Equal values of exactly the same shapes and types (str, never a subclass)."""
        if type(actual) is not type(expected):
            return False
        if isinstance(expected, (list, tuple)):
            return len(actual) == len(expected) and all(
                same_result(a, e) for a, e in zip(actual, expected)
            )
        return actual == expected

    class CoordinationMachine(RuleBasedStateMachine):
        """The module and the model, step by step; the clock is the timestamp file."""

        def __init__(self):
            super().__init__()
            self.clock_file = os.environ["FAKETIME_TIMESTAMP_FILE"]
            self.state = self.new_state()
            self.model = model.CoordinationModel(now=0)
            self.agents = set(AGENTS)
            self.keys = {prefix + name for prefix in ("file:", "task:") for name in NAMES}
            self.steps = 0

        # Arity and keyword errors are exact natively; on the Redis engine they are Python's
        # own TypeErrors, in Python's order (keywords before surplus positionals).
        exact_arity_errors = True

        def new_state(self):
            return durnel_core.CoordinationState()

        def read_clock(self):
            return time.time()

        # ---- the clock ----

        def set_clock(self, seconds):
            set_clock(self.clock_file, seconds)
            self.model.now = seconds

        @initialize(start=st.integers(1_000_000_000, 1_700_000_000))
        def start_clock(self, start):
            self.set_clock(start)
            # The engine reads the same faked clock as this check does.
            assert self.read_clock() == float(start), "the clock is not under the test's control"

        @rule(delta=clock_steps)
        def move_clock(self, delta):
            self.set_clock(self.model.now + delta)

        @precondition(lambda self: self.model.claims)
        @rule(data=st.data(), offset=st.sampled_from([-1, 0, 1, 298, 299, 300, 301]))
        def clock_to_lease_edge(self, data, offset):
            key = data.draw(st.sampled_from(sorted(self.model.claims)), label="claim")
            self.set_clock(self.model.claims[key][1] + offset)

        # ---- one call on both sides ----

        def remember(self, method, plain_values):
            """Adds the ids and keys of a well-formed call to those checked after each step."""
            for parameter, plain in zip(model.SIGNATURES[method], plain_values):
                if parameter in ("path", "task_id"):
                    self.keys.update(("file:" + plain, "task:" + plain))
                elif parameter == "resource_key":
                    self.keys.add(plain)
                elif parameter != "content":
                    self.agents.add(plain)

        def call(self, method, args, kwargs):
            expected_error = model.expected_call_error(method, args, kwargs)
            try:
                actual = getattr(self.state, method)(*args, **kwargs)
                actual_error = None
            except Exception as error:  # a PanicException (BaseException) fails the run
                actual, actual_error = None, error
            if expected_error is not None:
                kind, message = expected_error
                assert type(actual_error) is kind, (method, args, kwargs, actual, actual_error)
                conversion = kind is not TypeError or message.startswith("argument '")
                if conversion or self.exact_arity_errors:
                    assert str(actual_error) == message, (str(actual_error), message)
                if kind is TypeError:
                    assert actual_error.__cause__ is None
                self.check_everything()  # a bad call changes nothing
                return
            plain = model.plain_arguments(method, args, kwargs)
            self.remember(method, plain)
            try:
                expected = getattr(self.model, method)(*plain)
                refusal = None
            except RuntimeError as error:
                expected, refusal = None, error
            if refusal is not None:
                assert type(actual_error) is RuntimeError, (method, plain, actual, actual_error)
                assert actual_error.args == refusal.args, (actual_error.args, refusal.args)
            else:
                assert actual_error is None, (method, plain, actual_error)
                assert same_result(actual, expected), (method, plain, actual, expected)

        def good_call(self, data, method, values):
            """Calls with `values` by position, by name or mixed, keywords in any order."""
            parameters = model.SIGNATURES[method]
            positional = data.draw(st.integers(0, len(parameters)), label="positional")
            named = data.draw(st.permutations(range(positional, len(parameters))), label="order")
            self.call(method, tuple(values[:positional]), {parameters[i]: values[i] for i in named})

        # ---- the nine methods with well-formed arguments ----

        @rule(
            data=st.data(),
            kind=st.sampled_from(["claim_file", "claim_task"]),
            agent=agent_ids,
            name=names,
        )
        def claim(self, data, kind, agent, name):
            self.good_call(data, kind, [agent, name])

        @rule(
            data=st.data(),
            method=st.sampled_from(["renew_claim", "release"]),
            agent=agent_ids,
            key=resource_keys,
        )
        def renew_or_release_any(self, data, method, agent, key):
            self.good_call(data, method, [agent, key])

        @precondition(lambda self: self.model.claims)
        @rule(
            data=st.data(),
            method=st.sampled_from(["renew_claim", "release"]),
            by_holder=st.booleans(),
            other=agent_ids,
        )
        def renew_or_release_held(self, data, method, by_holder, other):
            key = data.draw(st.sampled_from(sorted(self.model.claims)), label="claim")
            agent = self.model.claims[key][0] if by_holder else other
            self.good_call(data, method, [agent, key])

        @rule(data=st.data(), sender=agent_ids, recipient=agent_ids, content=contents)
        def send_message(self, data, sender, recipient, content):
            self.good_call(data, "send_message", [sender, recipient, content])

        @rule(data=st.data(), sender=agent_ids, content=contents)
        def broadcast(self, data, sender, content):
            self.good_call(data, "broadcast", [sender, content])

        @rule(
            data=st.data(),
            method=st.sampled_from(["inbox", "drain_inbox", "status"]),
            agent=agent_ids,
        )
        def read(self, data, method, agent):
            self.good_call(data, method, [agent])

        # ---- bad calls ----

        @rule(data=st.data(), method=st.sampled_from(sorted(model.SIGNATURES)))
        def bad_call(self, data, method):
            parameters = model.SIGNATURES[method]
            values = [data.draw(st.one_of(good_value(p), bad_values), label=p) for p in parameters]
            positional = data.draw(st.integers(0, len(parameters) + 2), label="positional")
            args = list(values[:positional])
            while len(args) < positional:
                args.append(data.draw(st.one_of(agent_ids, bad_values), label="surplus"))
            kwargs = {}
            for i in data.draw(st.permutations(range(len(parameters))), label="order"):
                if i >= positional and data.draw(st.integers(0, 4), label="keep") > 0:
                    kwargs[parameters[i]] = values[i]  # usually given, sometimes missing
                elif i < positional and data.draw(st.integers(0, 6), label="again") == 0:
                    kwargs[parameters[i]] = values[i]  # given twice
            if data.draw(st.integers(0, 3), label="bogus") == 0:
                items = list(kwargs.items())
                at = data.draw(st.integers(0, len(items)), label="at")
                items.insert(at, (data.draw(bogus_keywords, label="keyword"), "x"))
                kwargs = dict(items)
            self.call(method, tuple(args), kwargs)

        # ---- everything observable agrees after every step ----

        @invariant()
        def everything_agrees(self):
            self.steps += 1
            self.check_everything()

        def check_everything(self):
            state, expected = self.state, self.model
            for agent in sorted(self.agents | set(expected.statuses) | set(expected.inboxes)):
                assert state.status(agent) == expected.status(agent), agent
                assert same_result(state.inbox(agent), expected.inbox(agent)), agent
            for key in sorted(self.keys | set(expected.claims)):
                holder = expected.holder(key)
                # A refused release by an agent that never holds anything reads the holder
                # without changing any table.
                with pytest.raises(RuntimeError) as refused:
                    state.release(PROBE, key)
                if holder is None:
                    assert refused.value.args == ("no claim found for " + PROBE,), key
                else:
                    assert refused.value.args == (
                        PROBE + " cannot release a claim held by " + holder,
                    ), key

        def teardown(self):
            report = os.environ.get(REPORT_VARIABLE)
            if report:
                with open(report, "a") as handle:
                    handle.write("%d\n" % self.steps)

    CoordinationMachine.TestCase.settings = settings(
        max_examples=EXAMPLES,
        stateful_step_count=STEPS,
        deadline=None,
        derandomize=os.environ.get("DURNEL_MODEL_RANDOM") != "1",
        database=None,
        print_blob=True,
        suppress_health_check=[
            HealthCheck.too_slow,
            HealthCheck.data_too_large,
            HealthCheck.filter_too_much,
        ],
    )

    if IN_CHILD:
        TestCoordinationMachine = CoordinationMachine.TestCase

    class RedisCoordinationMachine(CoordinationMachine):
        """The same steps on the Redis engine; the clock is that of the redis-server."""

        exact_arity_errors = False
        target = None  # (redis client, clock file), set by the test below

        def __init__(self):
            os.environ.setdefault("FAKETIME_TIMESTAMP_FILE", "")
            super().__init__()
            self.clock_file = str(self.target[1])

        def new_state(self):
            import uuid

            from durnel.redis import RedisCoordinationState

            return RedisCoordinationState(self.target[0], "model-" + uuid.uuid4().hex)

        def read_clock(self):
            whole, micros = self.target[0].time()
            return whole + micros / 1e6

    class SQLiteCoordinationMachine(CoordinationMachine):
        """The same steps on the SQLite engine, in the faked-clock child: the engine's clock
        is this interpreter's time.time(). One file for the run, a namespace per example."""

        exact_arity_errors = False

        def new_state(self):
            import uuid

            from durnel.sqlite import SQLiteCoordinationState

            name = "model-" + uuid.uuid4().hex
            return SQLiteCoordinationState(os.environ[SQLITE_FILE_VARIABLE], name)

    if IN_CHILD and SQLITE_FILE_VARIABLE in os.environ:
        TestSQLiteCoordinationMachine = SQLiteCoordinationMachine.TestCase
        TestSQLiteCoordinationMachine.settings = settings(
            CoordinationMachine.TestCase.settings, max_examples=SQLITE_EXAMPLES
        )


REDIS_EXAMPLES = int(os.environ.get("DURNEL_MODEL_REDIS_EXAMPLES", "30"))


@pytest.mark.skipif(IN_CHILD, reason="runs in the parent, against a redis-server")
def test_model_agrees_with_redis_engine_under_faked_server_clock(clocked_redis_server):
    import redis
    from hypothesis.stateful import run_state_machine_as_test

    client = redis.Redis(port=clocked_redis_server.port)
    RedisCoordinationMachine.target = (client, clocked_redis_server.clock_file)
    try:
        run_state_machine_as_test(
            RedisCoordinationMachine,
            settings=CoordinationMachine.TestCase.settings.__class__(
                CoordinationMachine.TestCase.settings, max_examples=REDIS_EXAMPLES
            ),
        )
    finally:
        RedisCoordinationMachine.target = None
        client.close()
