"""Argument handling of the nine methods: positional and keyword matching with the exact
TypeError texts, str conversion (subclasses, NUL, non-ASCII, surrogates, wrong types), the
order in which errors are reported, and reference counts across good and bad calls. Every test
runs on every engine (conftest.ALL_ENGINES), except where marked."""

import re
import sys

import pytest

from durnel.inprocess.waking import SWITCHED
from model import SIGNATURES as PARAMETERS  # parameters of every method, in order

# Every test runs against each engine. Arity and keyword errors are Python's own TypeErrors on
# the Redis engine, whose methods are plain Python functions: the same texts after the
# method's name, except that Python counts `self` among the positional arguments.
pytestmark = pytest.mark.every_engine

MISSING_ALL = {
    "claim_file": "2 required positional arguments: 'agent_id' and 'path'",
    "claim_task": "2 required positional arguments: 'agent_id' and 'task_id'",
    "release": "2 required positional arguments: 'agent_id' and 'resource_key'",
    "renew_claim": "2 required positional arguments: 'agent_id' and 'resource_key'",
    "send_message": "3 required positional arguments: 'from_agent', 'to_agent', and 'content'",
    "broadcast": "2 required positional arguments: 'from_agent' and 'content'",
    "inbox": "1 required positional argument: 'agent_id'",
    "drain_inbox": "1 required positional argument: 'agent_id'",
    "status": "1 required positional argument: 'agent_id'",
}


class Outer:
    class Inner:
        pass


class Tagged(str):
    """A str subclass whose str() and repr() differ from its value."""

    def __str__(self):
        return "tagged"

    def __repr__(self):
        return "Tagged()"


class UnnamedMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no qualified name")
        return super().__getattribute__(name)


class Unnamed(metaclass=UnnamedMeta):
    pass


class Posing:
    """No str, though isinstance() takes it for one (as a Mock(spec=str))."""

    __class__ = str


class Faceless:
    """No str, and asking its __class__ raises."""

    __class__ = property(lambda self: 1 / 0)


def type_error(call, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert len(info.value.args) == 1
    return info.value.args[0]


WAKING = ("send_message", "broadcast", "release")


def arity_kind(engine, name):
    """How the engine's method `name` words an arity or keyword error: as the native object
    ("native"), as a Python function taking the same parameters ("function": before 3.12 the
    objects around the native one wrap the three methods that may wake a waiter in one), or as
    a Python method, which counts `self` ("method": the other engines)."""
    in_process = engine in ("inprocess", "aio-inprocess")
    if engine == "native" or (in_process and (SWITCHED or name not in WAKING)):
        return "native"
    return "function" if engine in ("inprocess", "aio-inprocess") else "method"


def assert_arity_error(engine, actual, expected):
    """`actual` is the native text `expected`, or for a Python function or method Python's own
    text for the call."""
    method, rest = expected.split("() ", 1)
    name = method.split(".")[-1]
    kind = arity_kind(engine, name)
    if kind == "native":
        assert actual == expected
        return
    takes = re.match(r"takes (\d+) positional arguments but (\d+) (was|were) given$", rest)
    if takes and kind == "method":
        rest = "takes %d positional arguments but %d were given" % (
            int(takes.group(1)) + 1,
            int(takes.group(2)) + 1,
        )
    actual = re.sub(r"\. Did you mean '[^']*'\?$", "", actual)  # a suggestion, from 3.13 on
    assert actual.endswith(name + "() " + rest), (actual, expected)


def assert_pristine(state, names):
    """Nothing was stored for `names`: no status, no mailbox content, no claim."""
    for name in names:
        assert state.status(name) == "idle"
    state.broadcast("probe", "p")
    for name in names:
        assert state.inbox(name) == []
        assert state.claim_file("probe", name) == "probe"
        assert state.claim_task("probe", name) == "probe"


@pytest.mark.parametrize("name", sorted(PARAMETERS))
def test_missing_every_argument(engine, state, name):
    expected = "CoordinationState.{}() missing {}".format(name, MISSING_ALL[name])
    assert_arity_error(engine, type_error(getattr(state, name)), expected)


@pytest.mark.parametrize("name", sorted(PARAMETERS))
def test_too_many_positional(engine, state, name):
    count = len(PARAMETERS[name])
    expected = "CoordinationState.{}() takes {} positional arguments but {} were given".format(
        name, count, count + 1
    )
    assert_arity_error(engine, type_error(getattr(state, name), *["x"] * (count + 1)), expected)
    # Arity is checked before types, and natively before keywords too (Python itself checks
    # keywords first).
    bogus = type_error(getattr(state, name), *[5] * (count + 1), bogus="x")
    if arity_kind(engine, name) == "native":
        assert bogus == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda s: s.claim_file("a"),
            "claim_file() missing 1 required positional argument: 'path'",
        ),
        (
            lambda s: s.claim_file(path="p"),
            "claim_file() missing 1 required positional argument: 'agent_id'",
        ),
        (
            lambda s: s.send_message("a"),
            "send_message() missing 2 required positional arguments: 'to_agent' and 'content'",
        ),
        (
            lambda s: s.send_message("a", "b"),
            "send_message() missing 1 required positional argument: 'content'",
        ),
        (
            lambda s: s.send_message(to_agent="b"),
            "send_message() missing 2 required positional arguments: 'from_agent' and 'content'",
        ),
        (
            lambda s: s.send_message(content="c"),
            "send_message() missing 2 required positional arguments: 'from_agent' and 'to_agent'",
        ),
        (lambda s: s.status("a", "b"), "status() takes 1 positional arguments but 2 were given"),
        (
            lambda s: s.status("a", agent_id="b"),
            "status() got multiple values for argument 'agent_id'",
        ),
        (
            lambda s: s.send_message("a", "b", "c", to_agent="x"),
            "send_message() got multiple values for argument 'to_agent'",
        ),
        (lambda s: s.status(agent="x"), "status() got an unexpected keyword argument 'agent'"),
        (lambda s: s.status("a", agent="x"), "status() got an unexpected keyword argument 'agent'"),
        (
            lambda s: s.claim_file("a", "p", extra="z"),
            "claim_file() got an unexpected keyword argument 'extra'",
        ),
        (
            lambda s: s.inbox(**{"agent id": "a"}),
            "inbox() got an unexpected keyword argument 'agent id'",
        ),
        (
            lambda s: s.status(**{"\ud800": "a"}),
            "status() got an unexpected keyword argument '\ud800'",
        ),
        (
            lambda s: s.status(Agent_Id="a"),
            "status() got an unexpected keyword argument 'Agent_Id'",
        ),
        # Keywords are taken in the order given; the first failure wins.
        (
            lambda s: s.send_message("a", from_agent="b", zzz="c"),
            "send_message() got multiple values for argument 'from_agent'",
        ),
        (
            lambda s: s.send_message("a", zzz="c", from_agent="b"),
            "send_message() got an unexpected keyword argument 'zzz'",
        ),
        # Arity and names come before any type check.
        (
            lambda s: s.send_message(1, to_agent=2),
            "send_message() missing 1 required positional argument: 'content'",
        ),
        (
            lambda s: s.status(5, agent_id=None),
            "status() got multiple values for argument 'agent_id'",
        ),
        (
            lambda s: s.claim_task(b"a", bogus=1),
            "claim_task() got an unexpected keyword argument 'bogus'",
        ),
    ],
)
def test_arity_and_keyword_errors(engine, state, call, message):
    assert_arity_error(engine, type_error(call, state), "CoordinationState." + message)
    assert_pristine(state, ["a", "b", "c", "p", "x"])


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {"agent_id": "a", "path": "b"}),
        ((), {"path": "b", "agent_id": "a"}),
        (("a",), {"path": "b"}),
        (("a", "b"), {}),
    ],
)
def test_claim_by_position_name_or_mixed(state, args, kwargs):
    assert state.claim_file(*args, **kwargs) == "a"
    with pytest.raises(RuntimeError, match="^a already holds claim on b$"):
        state.claim_file(path="b", agent_id="c")


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("a",), {"content": "t", "to_agent": "b"}),
        (("a", "b"), {"content": "t"}),
        ((), {"to_agent": "b", "content": "t", "from_agent": "a"}),
    ],
)
def test_send_by_position_name_or_mixed(state, args, kwargs):
    sent = state.send_message(*args, **kwargs)
    assert sent[:3] == ("a", "b", "t")
    assert state.inbox(agent_id="b") == [sent]


def test_str_subclass_is_passed_on_as_its_value(state):
    agent, other, path = Tagged("agent"), Tagged("other"), Tagged("p")
    holder = state.claim_file(agent, path=path)
    assert type(holder) is str and holder == "agent"
    assert state.status(Tagged("agent")) == "busy"
    with pytest.raises(RuntimeError) as info:
        state.claim_file("x", "p")
    assert info.value.args == ("agent already holds claim on p",)
    sent = state.send_message(agent, other, Tagged("hello"))
    assert sent[:3] == ("agent", "other", "hello")
    assert [type(item) for item in sent] == [str, str, str, int]
    (received,) = state.inbox(Tagged("other"))
    assert received[:3] == ("agent", "other", "hello")
    assert [type(item) for item in received] == [str, str, str, int]
    renewed = state.renew_claim(agent, Tagged("file:p"))
    assert type(renewed) is str and renewed == "agent"
    sent = state.broadcast(agent, Tagged("all"))
    assert sent[:3] == ("agent", "*", "all")
    assert [type(item) for item in sent] == [str, str, str, int]
    assert state.release(agent, Tagged("file:p")) is None


def test_nul_and_non_ascii_round_trip(state):
    agent, path = "a\x00b", "notes\x00/plan"
    assert state.claim_file(agent, path) == agent
    assert state.status(agent) == "busy"
    assert state.status("a") == "idle"
    with pytest.raises(RuntimeError) as info:
        state.claim_file("c", path)
    assert info.value.args == ("a\x00b already holds claim on notes\x00/plan",)
    with pytest.raises(RuntimeError) as info:
        state.release("a", "file:notes\x00/plan")
    assert info.value.args == ("a cannot release a claim held by a\x00b",)
    with pytest.raises(RuntimeError, match="no claim found for a\x00b"):
        state.release(agent, "file:notes")
    assert state.release(agent, "file:" + path) is None

    text = "gr\u00fc\u00dfe \U0001f30d\x00end"
    sent = state.send_message("\u00e4gent", "r\x00", text)
    assert sent[:3] == ("\u00e4gent", "r\x00", text)
    assert state.drain_inbox("r\x00") == [sent]
    assert state.inbox("r") == []


@pytest.mark.parametrize(
    "value, type_name",
    [
        (5, "int"),
        (b"agent", "bytes"),
        (None, "NoneType"),
        (bytearray(b"a"), "bytearray"),
        (["a"], "list"),
        (Outer.Inner(), "Outer.Inner"),
        (Unnamed(), "<failed to extract type name>"),
        pytest.param(Posing(), "Posing", id="posing"),
        pytest.param(Faceless(), "Faceless", id="faceless"),
    ],
)
@pytest.mark.parametrize("name", sorted(PARAMETERS))
def test_non_str_is_rejected_naming_the_first_bad_parameter(state, name, value, type_name):
    params = PARAMETERS[name]
    method = getattr(state, name)
    for index, param in enumerate(params):
        args = ["a", "b", "c"][: len(params)]
        args[index] = value
        expected = "argument '{}': '{}' object cannot be converted to 'PyString'".format(
            param, type_name
        )
        with pytest.raises(TypeError) as info:
            method(*args)
        assert info.value.args == (expected,)
        assert info.value.__cause__ is None
        # Every later parameter bad as well, one of them undecodable: still the first.
        for later in range(index + 1, len(params)):
            args[later] = 7.5 if later % 2 else "\udfff"
        assert type_error(method, *args) == expected
        # The same by name.
        assert type_error(method, **dict(zip(params, args))) == expected
    assert_pristine(state, ["a", "b", "c"])


@pytest.mark.parametrize("name", sorted(PARAMETERS))
def test_lone_surrogate_raises_unicode_encode_error_and_changes_nothing(state, name):
    params = PARAMETERS[name]
    for index in range(len(params)):
        args = ["a", "b", "c"][: len(params)]
        args[index] = "ok\ud83d"
        # A later non-str argument does not matter: conversion stops at the first failure.
        if index + 1 < len(params):
            args[index + 1] = 5
        with pytest.raises(UnicodeEncodeError) as info:
            getattr(state, name)(*args)
        error = info.value
        assert (error.encoding, error.reason, error.object, error.start, error.end) == (
            "utf-8",
            "surrogates not allowed",
            "ok\ud83d",
            2,
            3,
        )
    assert_pristine(state, ["a", "b", "c"])


def test_surrogates_leave_existing_claims_and_mailboxes_alone(state):
    state.claim_file("a", "p")
    state.send_message("a", "b", "kept")
    for method, args in [
        ("release", ("\udc80", "file:p")),
        ("release", ("a", "file:p\udc80")),
        ("drain_inbox", ("b\udfff",)),
        ("send_message", ("a", "b", "\ud800")),
    ]:
        with pytest.raises(UnicodeEncodeError):
            getattr(state, method)(*args)
    assert [m[2] for m in state.inbox("b")] == ["kept"]
    assert state.release("a", "file:p") is None


@pytest.mark.native_only
def test_calls_leave_reference_counts_unchanged(state):
    agent = "".join(["age", "nt"])
    path = "".join(["pa", "th"])
    text = "".join(["con", "tent"])
    wrong = 10**30
    surrogate = "x" + chr(0xD800)
    tagged = Tagged("".join(["tag", "ged"]))
    watched = [state, agent, path, text, wrong, surrogate, tagged]

    def attempt(call, *args, **kwargs):
        try:
            call(*args, **kwargs)
        except (TypeError, RuntimeError, UnicodeEncodeError):
            pass

    attempt(state.claim_file, agent, path)
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(300):
        attempt(state.claim_file, agent, path)  # refused: already held
        attempt(state.claim_file, tagged, path=path)
        attempt(state.renew_claim, agent, "file:" + path)
        attempt(state.release, tagged, "file:" + path)
        attempt(state.send_message, agent, tagged, text)
        attempt(state.send_message, from_agent=agent, to_agent=tagged, content=wrong)
        attempt(state.broadcast, tagged, text)
        attempt(state.drain_inbox, tagged)
        attempt(state.inbox, agent_id=agent)
        attempt(state.status, agent, agent)
        attempt(state.status, agent, agent_id=agent)
        attempt(state.status, agent_id=wrong)
        attempt(state.status, surrogate)
        attempt(state.claim_task, agent, surrogate)
        attempt(state.claim_task, agent, bogus=text)
    assert [sys.getrefcount(obj) for obj in watched] == before
