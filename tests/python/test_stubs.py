"""The type stub durnel_core.pyi against the module it describes (and, by stubtest, the stub of
the snapshot reader durnel_core_snapshot against its module).

The stub is the API as users read it in their editor and as mypy checks their code, so it
must agree with the module on every point: the methods, their parameter names, the shape of
every result and the RuntimeError messages its docstrings promise. When the suite runs
against the installed wheel (the nox sessions set DURNEL_TESTING_INSTALLED_WHEEL), the
stub under test is the copy the wheel installed, and the module must come from
site-packages; otherwise it is the source copy in src/binding.
"""

import ast
import importlib.util
import inspect
import os
import re
import subprocess
import sys

import pytest

import durnel_core
from durnel_core import CoordinationState

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_STUB = os.path.join(HERE, os.pardir, os.pardir, "src", "binding", "durnel_core.pyi")
READER_STUB_DIR = os.path.join(HERE, os.pardir, os.pardir, "src", "snapshot_reader")
MODULE_DIR = os.path.dirname(os.path.abspath(durnel_core.__file__))
TESTING_WHEEL = os.environ.get("DURNEL_TESTING_INSTALLED_WHEEL") == "1"
SHIPPED_STUB = os.path.join(MODULE_DIR, "durnel_core.pyi")
SHIPPED_STUB_PACKAGE = os.path.join(MODULE_DIR, "durnel_core-stubs", "__init__.pyi")
STUB_PATH = SHIPPED_STUB if TESTING_WHEEL else SOURCE_STUB
SANITIZED = any(word in os.environ.get("LD_PRELOAD", "") for word in ("asan", "tsan", "ubsan"))

METHODS = (
    "claim_file",
    "claim_task",
    "release",
    "renew_claim",
    "send_message",
    "broadcast",
    "inbox",
    "drain_inbox",
    "status",
)


def read(path):
    with open(path, encoding="utf-8") as handle:
        return handle.read()


def stub_tree():
    return ast.parse(read(STUB_PATH), STUB_PATH)


def stub_class():
    classes = [node for node in stub_tree().body if isinstance(node, ast.ClassDef)]
    assert [node.name for node in classes] == ["CoordinationState"]
    return classes[0]


def stub_methods():
    return {node.name: node for node in stub_class().body if isinstance(node, ast.FunctionDef)}


def conforms(value, annotation):
    """Whether value has the type that the stub's annotation (an AST node) names."""
    if isinstance(annotation, ast.Constant) and annotation.value is None:
        return value is None
    if isinstance(annotation, ast.Name):
        kinds = {"str": str, "int": int}
        assert annotation.id in kinds, "unexpected type in the stub: " + annotation.id
        return type(value) is kinds[annotation.id]
    if isinstance(annotation, ast.Subscript):
        outer = annotation.value.id
        inner = annotation.slice
        items = inner.elts if isinstance(inner, ast.Tuple) else [inner]
        if outer == "Literal":
            return any(type(value) is type(item.value) and value == item.value for item in items)
        if outer == "tuple":
            return (
                type(value) is tuple
                and len(value) == len(items)
                and all(conforms(v, a) for v, a in zip(value, items))
            )
        if outer == "list":
            return type(value) is list and all(conforms(v, items[0]) for v in value)
        if outer == "Literal":
            return type(value) is str and value in [item.value for item in items]
    raise AssertionError("unexpected annotation in the stub: " + ast.dump(annotation))


def templates(docstring):
    """The RuntimeError messages a docstring promises, as regular expressions."""
    found = re.findall(r'RuntimeError\("([^"]*)"\)', docstring)
    return [
        re.compile("^" + re.sub(r"<[a-z_]+>", lambda _: "(.*)", re.escape(t)) + "$") for t in found
    ]


# ---- where the stub is and what it is ----


@pytest.mark.skipif(not TESTING_WHEEL, reason="runs against the installed wheel only")
def test_module_and_stubs_come_from_the_installed_wheel():
    assert os.path.basename(MODULE_DIR) == "site-packages", durnel_core.__file__
    assert os.path.basename(durnel_core.__file__) == "durnel_core.abi3.so"
    assert os.path.isfile(SHIPPED_STUB)
    assert os.path.isfile(SHIPPED_STUB_PACKAGE)
    assert read(SHIPPED_STUB) == read(SHIPPED_STUB_PACKAGE)
    if os.path.isfile(SOURCE_STUB):
        assert read(SHIPPED_STUB) == read(SOURCE_STUB), "the wheel ships an outdated stub"
    reader = os.path.join(MODULE_DIR, "durnel_core_snapshot.pyi")
    assert read(reader) == read(
        os.path.join(MODULE_DIR, "durnel_core_snapshot-stubs", "__init__.pyi")
    )


def test_stub_all_matches_module_all():
    assignments = [
        node
        for node in stub_tree().body
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]
    ]
    assert len(assignments) == 1
    assert ast.literal_eval(assignments[0].value) == durnel_core.__all__ == ["CoordinationState"]


def test_stub_declares_exactly_the_runtime_methods():
    runtime = {
        name
        for name in dir(CoordinationState)
        if not name.startswith("_") and callable(getattr(CoordinationState, name))
    }
    declared = {name for name in stub_methods() if not name.startswith("_")}
    assert declared == runtime == set(METHODS)


@pytest.mark.parametrize("name", METHODS)
def test_parameter_names_match_runtime_signature(name):
    runtime = list(inspect.signature(getattr(CoordinationState, name)).parameters)
    stub = [arg.arg for arg in stub_methods()[name].args.args]
    assert stub == runtime
    assert stub[0] == "self"
    for arg in stub_methods()[name].args.args[1:]:
        assert isinstance(arg.annotation, ast.Name) and arg.annotation.id == "str", arg.arg


def test_constructor_takes_no_arguments_in_stub_and_at_runtime():
    init = stub_methods()["__init__"]
    assert [arg.arg for arg in init.args.args] == ["self"]
    with pytest.raises(TypeError):
        CoordinationState("x")


# ---- results have the annotated shapes ----


def results_of_every_method():
    """Each method called on its success path, with lists that are not empty."""
    state = CoordinationState()
    results = {}
    results["claim_file"] = state.claim_file("ana", "src/app.py")
    results["claim_task"] = state.claim_task("ana", "build-7")
    results["renew_claim"] = state.renew_claim("ana", "task:build-7")
    results["release"] = state.release("ana", "file:src/app.py")
    results["send_message"] = state.send_message("ana", "bo", "hello")
    results["broadcast"] = state.broadcast("bo", "half way")
    results["inbox"] = state.inbox("bo")
    results["drain_inbox"] = state.drain_inbox("bo")
    results["status"] = state.status("ana")
    assert len(results["inbox"]) == 2 and results["inbox"] == results["drain_inbox"]
    return results


@pytest.mark.parametrize("name", METHODS)
def test_result_has_the_annotated_type(name):
    annotation = stub_methods()[name].returns
    assert annotation is not None, name + " has no return annotation"
    result = results_of_every_method()[name]
    assert conforms(result, annotation), (name, result, ast.dump(annotation))


def test_conforms_tells_shapes_apart():
    # The checker above must be able to fail, or the test before proves nothing.
    tuple_of_four = ast.parse("tuple[str, str, str, int]", mode="eval").body
    list_of_tuples = ast.parse("list[tuple[str, str, str, int]]", mode="eval").body
    assert conforms(("a", "b", "c", 1), tuple_of_four)
    assert not conforms(("a", "b", "c", "1"), tuple_of_four)
    assert not conforms(("a", "b", "c"), tuple_of_four)
    assert not conforms(["a", "b", "c", 1], tuple_of_four)
    assert not conforms([("a", "b", "c", True)], list_of_tuples)
    assert not conforms(None, ast.parse("str", mode="eval").body)
    status = ast.parse('Literal["idle", "busy"]', mode="eval").body
    assert conforms("busy", status)
    assert not conforms("Busy", status)
    assert not conforms(1, status)


def test_status_annotation_names_exactly_the_four_statuses():
    annotation = stub_methods()["status"].returns
    assert isinstance(annotation, ast.Subscript) and annotation.value.id == "Literal"
    assert [item.value for item in annotation.slice.elts] == ["idle", "busy", "completed", "error"]


# ---- the exceptions the docstrings promise ----


def refusals():
    """Every RuntimeError the claim methods can raise, by method."""
    state = CoordinationState()
    state.claim_file("ana", "src/app.py")
    state.claim_task("ana", "build-7")
    calls = {
        "claim_file": [("bo", "src/app.py")],
        "claim_task": [("bo", "build-7")],
        "release": [("bo", "file:nothing"), ("bo", "file:src/app.py")],
        "renew_claim": [("bo", "task:nothing"), ("bo", "task:build-7")],
    }
    messages = {}
    for name, argument_lists in calls.items():
        for arguments in argument_lists:
            with pytest.raises(RuntimeError) as refused:
                getattr(state, name)(*arguments)
            messages.setdefault(name, []).append(refused.value.args[0])
    return messages


@pytest.mark.parametrize("name", ["claim_file", "claim_task", "release", "renew_claim"])
def test_docstring_names_each_runtime_error_message(name):
    docstring = ast.get_docstring(stub_methods()[name])
    patterns = templates(docstring)
    messages = refusals()[name]
    # One promised message per way to fail, each matching what the module raises.
    assert len(patterns) == len(messages), (docstring, messages)
    for pattern, message in zip(patterns, messages):
        assert pattern.match(message), (pattern.pattern, message)


@pytest.mark.parametrize("name", ["send_message", "broadcast", "inbox", "drain_inbox", "status"])
def test_docstring_says_when_a_method_never_refuses(name):
    docstring = ast.get_docstring(stub_methods()[name])
    assert "Never raises ``RuntimeError``" in " ".join(docstring.split())
    assert not templates(docstring)


# ---- tools read the stub the way users do ----

MYPY = importlib.util.find_spec("mypy") is not None

USER_CODE = """\
from durnel_core import CoordinationState

state = CoordinationState()
reveal_type(state.inbox("ana"))
reveal_type(state.release("ana", "file:a"))
state.claim_file(1, "src/app.py")
state.claim_file(agent="ana", path="src/app.py")
if state.status("ana") == "done":
    pass
"""


def mypy_env():
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)  # mypy itself never loads the module
    if not TESTING_WHEEL:
        source = os.path.dirname(os.path.dirname(SOURCE_STUB))
        env["MYPYPATH"] = os.pathsep.join([os.path.dirname(SOURCE_STUB), READER_STUB_DIR, source])
    return env


@pytest.mark.skipif(not MYPY, reason="mypy is installed in one test environment only")
def test_mypy_checks_user_code_against_the_stub(tmp_path):
    program = tmp_path / "user.py"
    program.write_text(USER_CODE)
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--no-incremental",
            "--cache-dir",
            os.devnull,
            "--no-error-summary",
            "--hide-error-context",
            "--strict-equality",
            str(program),
        ],
        cwd=str(tmp_path),
        env=mypy_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=300,
    )
    # mypy versions differ in whether they spell builtins out.
    lines = proc.stdout.replace("builtins.", "").splitlines()
    assert any(
        ':4: note: Revealed type is "list[tuple[str, str, str, int]]"' in line for line in lines
    ), proc.stdout
    assert any(':5: note: Revealed type is "None"' in line for line in lines), proc.stdout
    assert any(
        ':6: error: Argument 1 to "claim_file"' in line and "arg-type" in line for line in lines
    ), proc.stdout
    assert any(':7: error: Unexpected keyword argument "agent"' in line for line in lines), (
        proc.stdout
    )
    # status() is one of four literals, so comparing it with any other string is a mistake.
    assert any(
        ":8: error: Non-overlapping equality check" in line and "comparison-overlap" in line
        for line in lines
    ), proc.stdout
    assert not any("import-untyped" in line or "import-not-found" in line for line in lines)


@pytest.mark.skipif(not MYPY, reason="mypy is installed in one test environment only")
@pytest.mark.skipif(SANITIZED, reason="stubtest imports the module outside the sanitizer run")
def test_stubtest_passes():
    env = mypy_env()
    if not TESTING_WHEEL:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "durnel_core", "durnel_core_snapshot"],
        cwd=HERE,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stdout


ENGINES_CODE = """\
from typing import List
import durnel
from durnel import Coordination
from durnel_core import CoordinationState

engines: List[Coordination] = [CoordinationState(), durnel.connect()]
reveal_type(engines[0].status("a"))

class Partial:
    def claim_file(self, agent_id: str, path: str) -> str:
        return agent_id

missing: Coordination = Partial()
"""


def engines_code():
    """ENGINES_CODE, then for every registered engine (durnel.engines) its objects as its
    openers type them, each held against the protocol it promises: the synchronous object
    against WaitingCoordination (Coordination alone for one that does not wait), the asyncio
    object and the asyncio view against AsyncCoordination."""
    import durnel.engines

    lines = [ENGINES_CODE]
    for number, engine in enumerate(durnel.engines.engines()):
        promised = "durnel.WaitingCoordination" if engine.waits else "durnel.Coordination"
        url = "'%s://'" % engine.schemes[0] if engine.schemes else "None"
        made = "sync_%d" % number
        for kind, reference, typed in (
            ("open", engine.open, None),
            ("open_async", engine.open_async, "durnel.AsyncCoordination"),
            ("view", engine.view, "durnel.AsyncCoordination"),
        ):
            if reference is None:
                continue
            module, _, attribute = reference.partition(":")
            name = "%s_%d" % (kind, number)
            lines.append("from %s import %s as %s" % (module, attribute, name))
            if kind == "open":
                lines.append("%s = %s(%s, 'n')" % (made, name, url))
                lines.append("checked_%s: %s = %s" % (made, promised, made))
            else:
                argument = made if kind == "view" else url + ", 'n'"
                lines.append("%s_made: %s = %s(%s)" % (name, typed, name, argument))
    return "\n".join(lines) + "\n"


@pytest.mark.skipif(not MYPY, reason="mypy is installed in one test environment only")
def test_mypy_finds_every_engine_satisfies_the_coordination_protocol(tmp_path):
    pytest.importorskip("redis")
    program = tmp_path / "engines.py"
    program.write_text(engines_code())
    env = mypy_env()  # and the test engine's module, where conftest found it
    plugins = os.path.join(HERE, "plugins")
    env["MYPYPATH"] = os.pathsep.join(filter(None, [env.get("MYPYPATH"), plugins]))
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--no-incremental",
            "--cache-dir",
            os.devnull,
            "--no-error-summary",
            "--hide-error-context",
            str(program),
        ],
        cwd=str(tmp_path),
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=300,
    )
    lines = [line for line in proc.stdout.splitlines() if "engines.py" in line]
    assert any(
        ":7: note: Revealed type is" in line and "Literal['completed']" in line for line in lines
    ), proc.stdout
    # The one error: the class that lacks eight of the methods.
    errors = [line for line in lines if ": error:" in line]
    assert len(errors) == 1 and ":13: error:" in errors[0], proc.stdout
