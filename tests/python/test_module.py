"""The module and class surface: names, docs, signatures, construction, the type's
restrictions, re-import, the refusal of a second interpreter and instance lifetime."""

import inspect
import os
import re
import sys
import weakref

import pytest

import durnel_core
from durnel_core import CoordinationState
from model import SIGNATURES as PARAMETERS  # parameters of every method, in order

METHODS = list(PARAMETERS)

DOCSTRINGS = {
    "claim_file": "Claims a file for `agent_id`. Raises `RuntimeError` if another agent\n"
    "already holds it. Returns the claiming agent's id back on success \u2014\n"
    "a no-op value, useful mainly to confirm the call didn't raise.",
    "claim_task": "",
    "release": 'Releases a claim keyed by e.g. `"file:src/lib"` or `"task:phase-7"`.\n'
    "Only the holder may release it.",
    "renew_claim": 'Renews a claim keyed by e.g. `"file:src/lib"` or `"task:phase-7"`,\n'
    "extending its lease so a long-running task isn't lost to the TTL.\n"
    "Only the holder may renew.",
    "send_message": "",
    "broadcast": "",
    "inbox": "Pending messages for `agent_id`, oldest first. Does not clear them \u2014\n"
    "use `drain_inbox` for that.",
    "drain_inbox": "",
    "status": 'One of `"idle"`, `"busy"`, `"completed"`, `"error"`.',
}


def test_module_attributes():
    assert durnel_core.__doc__ == ""
    assert durnel_core.__all__ == ["CoordinationState"]
    assert durnel_core.CoordinationState is CoordinationState
    public = {name for name in vars(durnel_core) if not name.startswith("__")}
    assert public == {"CoordinationState"}


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("durnel_core")
    try:
        import durnel_core as again

        assert again is first
        assert again.__all__ == ["CoordinationState"]
        assert again.CoordinationState is CoordinationState
    finally:
        sys.modules["durnel_core"] = first


def test_class_names_and_reprs():
    assert CoordinationState.__module__ == "builtins"
    assert CoordinationState.__name__ == CoordinationState.__qualname__ == "CoordinationState"
    assert repr(CoordinationState) == "<class 'builtins.CoordinationState'>"
    instance = CoordinationState()
    assert re.fullmatch(r"<builtins\.CoordinationState object at 0x[0-9a-fA-F]+>", repr(instance))
    assert CoordinationState.__doc__ == ""
    assert CoordinationState.__bases__ == (object,)


def test_class_text_signature():
    if sys.version_info >= (3, 10):
        assert CoordinationState.__text_signature__ == "()"
        assert str(inspect.signature(CoordinationState)) == "()"
    else:
        # 3.9 derives no text signature for classes from the docstring.
        assert CoordinationState.__text_signature__ is None


def test_methods_in_table_order():
    assert [name for name in vars(CoordinationState) if not name.startswith("_")] == METHODS


@pytest.mark.parametrize("name", METHODS)
def test_method_signature_and_docstring(name):
    method = getattr(CoordinationState, name)
    params = ", ".join(PARAMETERS[name])
    assert method.__text_signature__ == "($self, " + params + ")"
    assert str(inspect.signature(method)) == "(self, /, " + params + ")"
    assert str(inspect.signature(getattr(CoordinationState(), name))) == "(" + params + ")"
    # An empty body reads as None or "" depending on the interpreter.
    assert (method.__doc__ or "") == DOCSTRINGS[name]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "CoordinationState.__new__() takes 0 positional arguments but 1 was given"),
        (
            ("a", "b"),
            {},
            "CoordinationState.__new__() takes 0 positional arguments but 2 were given",
        ),
        ((), {"x": 1}, "CoordinationState.__new__() got an unexpected keyword argument 'x'"),
        (
            (1,),
            {"x": 1},
            "CoordinationState.__new__() takes 0 positional arguments but 1 was given",
        ),
    ],
)
def test_constructor_refuses_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        CoordinationState(*args, **kwargs)
    assert info.value.args == (message,)


def test_constructor_takes_an_empty_keyword_dict_and_refuses_subclasses():
    assert CoordinationState().status("a") == "idle"
    with pytest.raises(TypeError):
        type("Derived", (CoordinationState,), {})


def test_instances_take_no_attributes_and_no_weak_references():
    instance = CoordinationState()
    with pytest.raises(AttributeError):
        instance.note = "x"
    with pytest.raises(AttributeError):
        instance.status = None
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(instance)
    assert instance.status("a") == "idle"


def test_instances_are_independent():
    first, second = CoordinationState(), CoordinationState()
    first.claim_file("a", "shared.txt")
    first.send_message("a", "b", "hello")
    assert second.claim_file("z", "shared.txt") == "z"
    assert second.inbox("b") == []
    assert second.status("a") == "idle"
    assert second.status("b") == "idle"
    assert second.broadcast("z", "ping")[1] == "*"
    assert first.inbox("z") == []

    del first
    assert [m[:3] for m in second.inbox("z")] == [("z", "z", "ping")]
    assert second.status("z") == "busy"
    with pytest.raises(RuntimeError, match="^z already holds claim on shared.txt$"):
        second.claim_file("a", "shared.txt")
    third = CoordinationState()
    assert third.claim_file("a", "shared.txt") == "a"


def test_many_instances_leave_the_class_refcount_unchanged():
    before = sys.getrefcount(CoordinationState)
    for i in range(2000):
        instance = CoordinationState()
        if i % 3 == 0:
            instance.claim_task("a", str(i))
            instance.send_message("a", "b", "x" * (i % 50))
            instance.broadcast("b", "y")
        del instance
    held = [CoordinationState() for _ in range(100)]
    assert sys.getrefcount(CoordinationState) == before + 100
    del held
    assert sys.getrefcount(CoordinationState) == before


def test_second_interpreter_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    read_end, write_end = os.pipe()
    code = (
        "import os, sys\n"
        "sys.path.insert(0, {dir!r})\n"
        "try:\n"
        "    import durnel_core\n"
        "    report = 'imported'\n"
        "except BaseException as error:\n"
        "    report = type(error).__name__ + '|' + str(error)\n"
        "os.write({fd}, report.encode())\n"
    ).format(dir=os.path.dirname(os.path.abspath(durnel_core.__file__)), fd=write_end)
    try:
        assert testcapi.run_in_subinterp(code) == 0
    finally:
        os.close(write_end)
    with os.fdopen(read_end, "rb") as reader:
        report = reader.read().decode()
    kind, _, message = report.partition("|")
    assert kind == "ImportError"
    prefix = "Durnel modules do not yet support subinterpreters, see "
    assert message.startswith(prefix)
    assert re.fullmatch(r"https?://\S+", message[len(prefix) :])
    # The main interpreter keeps its module.
    assert sys.modules["durnel_core"] is durnel_core
    assert CoordinationState().status("a") == "idle"


DROPPED_WHILE_AN_EXCEPTION_IS_PENDING = {
    "bad argument on a temporary": "CoordinationState().status(5)",
    "weak reference to a temporary": "import weakref; weakref.ref(CoordinationState())",
    "failed operation on a temporary list": "[CoordinationState()] + 1",
}


@pytest.mark.parametrize(
    "statement",
    list(DROPPED_WHILE_AN_EXCEPTION_IS_PENDING.values()),
    ids=list(DROPPED_WHILE_AN_EXCEPTION_IS_PENDING),
)
def test_instance_dropped_while_an_exception_is_pending(run_python, statement):
    code = (
        "from durnel_core import CoordinationState\n"
        "try:\n"
        "    " + statement + "\n"
        "except TypeError as error:\n"
        "    print('caught', type(error).__name__)\n"
        "print('alive')\n"
    )
    result = run_python(code)
    assert (result.returncode, result.stdout, result.stderr) == (0, "caught TypeError\nalive\n", "")
