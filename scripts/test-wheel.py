#!/usr/bin/env python3
"""Runs the Python test suite against the installed wheel under every supported CPython.

For each of CPython 3.9, 3.10, 3.11, 3.12 and 3.13 (pyenv's builds) it keeps a virtual
environment of its own under build-wheel/venvs/, installs the test requirements and the one
wheel from dist/ into it, and runs tests/python with pytest from a scratch directory, so
that `import durnel_core` can only find the installed wheel. Then, in one of the
environments, `python -m mypy.stubtest durnel_core` checks the shipped stub against the
module, and the wheel gets its stable-ABI checks (abi3audit, auditwheel show and, when it is
there, the shared check-abi3 script on the module file).

A version that cannot be found is named; with CI=true a missing version fails the run.
The last line printed is "python: N passed, N failed[, N skipped]" over every version and
check, and the same counts go to build-wheel/test-summary.txt.

usage: test-wheel.py [--wheel PATH] [--pythons 3.9,3.13] [-- extra pytest arguments]
Stdlib only; runs under any Python 3.8+.
"""
import argparse
import concurrent.futures
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WANTED = ["3.9.18", "3.10.13", "3.11.7", "3.12.1", "3.13.0"]
TESTS = os.path.join(ROOT, "tests", "python")
REQUIREMENTS = os.path.join(ROOT, "requirements-test.txt")
STATE_DIR = os.path.join(ROOT, "build-wheel")
SUMMARY = re.compile(r"(\d+) (passed|failed|errors?|skipped|xfailed|xpassed)\b")


def say(text):
    print(text, flush=True)


def pyenv_root():
    try:
        out = subprocess.run(["pyenv", "root"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, universal_newlines=True)
        if out.returncode == 0 and out.stdout.strip():
            return out.stdout.strip()
    except FileNotFoundError:
        pass
    return os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")


def find_python(version):
    """The interpreter of pyenv's `version`; failing that, of the newest pyenv 3.N.x."""
    candidates = []
    try:
        out = subprocess.run(["pyenv", "prefix", version], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, universal_newlines=True)
        if out.returncode == 0:
            candidates.append(out.stdout.strip())
    except FileNotFoundError:
        pass
    minor = ".".join(version.split(".")[:2])

    def patch_level(path):
        tail = os.path.basename(path)[len(minor) + 1:]
        return int(tail) if tail.isdigit() else -1

    for root in dict.fromkeys([pyenv_root(), os.path.expanduser("~/.pyenv")]):
        versions = os.path.join(root, "versions")
        candidates.append(os.path.join(versions, version))
        same_minor = [p for p in glob.glob(os.path.join(versions, minor + ".*"))
                      if patch_level(p) >= 0]
        candidates.extend(sorted(same_minor, key=patch_level, reverse=True))
    for prefix in candidates:
        python = os.path.join(prefix, "bin", "python" + minor)
        if not os.access(python, os.X_OK):
            python = os.path.join(prefix, "bin", "python3")
        if os.access(python, os.X_OK):
            return python
    return None


def run(cmd, **kwargs):
    return subprocess.run(cmd, **kwargs)


def quiet(cmd, what, **kwargs):
    """Runs cmd with its output captured; shows the output only when it fails."""
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, **kwargs)
    if proc.returncode != 0:
        say(proc.stdout)
        say("test-wheel: %s failed (exit %d)" % (what, proc.returncode))
    return proc.returncode == 0


def prepare_venv(python, minor, wheel, extra_packages):
    venv = os.path.join(STATE_DIR, "venvs", "py" + minor)
    vpy = os.path.join(venv, "bin", "python")
    if os.path.exists(venv) and not os.access(vpy, os.X_OK):
        shutil.rmtree(venv)
    if not os.access(vpy, os.X_OK):
        if not quiet([python, "-m", "venv", venv], "creating the venv of %s" % minor):
            return None
    wanted = [REQUIREMENTS] + sorted(extra_packages)
    stamp = os.path.join(venv, ".requirements")
    fingerprint = "\n".join(wanted) + "\n" + open(REQUIREMENTS).read()
    if not os.path.exists(stamp) or open(stamp).read() != fingerprint:
        cmd = [vpy, "-m", "pip", "install", "-q", "--disable-pip-version-check",
               "--no-compile", "-r", REQUIREMENTS] + sorted(extra_packages)
        if not quiet(cmd, "installing the test requirements for %s" % minor):
            return None
        with open(stamp, "w") as handle:
            handle.write(fingerprint)
    if not quiet([vpy, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                  "--force-reinstall", "--no-deps", wheel],
                  "installing %s for %s" % (os.path.basename(wheel), minor)):
        return None
    return vpy


def clean_env(venv_python):
    env = dict(os.environ)
    for name in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "VIRTUAL_ENV", "PYTHONSAFEPATH"):
        env.pop(name, None)
    bindir = os.path.dirname(venv_python)
    env["PATH"] = bindir + os.pathsep + env.get("PATH", "")
    env["VIRTUAL_ENV"] = os.path.dirname(bindir)
    # Read by tests/python/test_stubs.py: the module must come from site-packages.
    env["DURNEL_TESTING_INSTALLED_WHEEL"] = "1"
    return env


def counts_of(output):
    """The counts on pytest's closing line, e.g. {'passed': 120, 'skipped': 2}."""
    lines = [ln for ln in output.splitlines() if SUMMARY.search(ln) and " in " in ln]
    result = {}
    if lines:
        for number, word in SUMMARY.findall(lines[-1]):
            word = "errors" if word.startswith("error") else word
            result[word] = result.get(word, 0) + int(number)
    return result


def run_pytest(vpy, label, scratch, pytest_args):
    say("")
    say("=== CPython %s: pytest %s (%s)" % (label, os.path.relpath(TESTS, ROOT), vpy))
    where = run([vpy, "-c", "import durnel_core, sys; print(durnel_core.__file__); "
                 "print(sys.version.split()[0])"], cwd=scratch, env=clean_env(vpy),
                stdout=subprocess.PIPE, universal_newlines=True)
    say("    durnel_core from " + " under ".join(where.stdout.split()))
    cmd = [vpy, "-m", "pytest", "-q", "-rfE", "-p", "no:cacheprovider",
           "--rootdir", TESTS, TESTS] + pytest_args
    start = time.time()
    proc = subprocess.Popen(cmd, cwd=scratch, env=clean_env(vpy), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, universal_newlines=True)
    captured = []
    for line in proc.stdout:
        sys.stdout.write(line)
        captured.append(line)
    proc.wait()
    elapsed = time.time() - start
    counts = counts_of("".join(captured))
    if proc.returncode == 5 or not counts:
        say("test-wheel: pytest under %s ran no test" % label)
        counts["failed"] = counts.get("failed", 0) + 1
    elif proc.returncode != 0 and not (counts.get("failed") or counts.get("errors")):
        say("test-wheel: pytest under %s exited %d" % (label, proc.returncode))
        counts["failed"] = counts.get("failed", 0) + 1
    return counts, elapsed


def run_stubtest(vpy, scratch):
    say("")
    say("=== stubtest: the shipped durnel_core.pyi against the module (%s)" % vpy)
    proc = run([vpy, "-m", "mypy.stubtest", "durnel_core"], cwd=scratch, env=clean_env(vpy))
    return proc.returncode == 0


def run_abi_checks(wheel, scratch):
    say("")
    say("=== stable ABI: %s" % os.path.basename(wheel))
    ok = True
    proc = run([sys.executable, "-m", "abi3audit", "--strict", "--verbose", wheel])
    if proc.returncode != 0:
        say("test-wheel: abi3audit reports violations")
        ok = False
    run([sys.executable, "-m", "auditwheel", "show", wheel])
    checker = os.path.join(os.path.dirname(ROOT), "shared", "abi", "check-abi3")
    if os.path.isfile(checker):
        with zipfile.ZipFile(wheel) as archive:
            archive.extract("durnel_core.abi3.so", scratch)
        proc = run([sys.executable, checker, os.path.join(scratch, "durnel_core.abi3.so")])
        ok = ok and proc.returncode == 0
    else:
        say("(no %s here: the shared check-abi3 script is skipped)" % checker)
    return ok


def newest_wheel():
    wheels = glob.glob(os.path.join(ROOT, "dist", "durnel_core-*-cp39-abi3-*.whl"))
    return max(wheels, key=os.path.getmtime) if wheels else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--wheel", help="the wheel to test (default: newest in dist/)")
    parser.add_argument("--pythons", help="comma-separated minor versions, e.g. 3.9,3.13")
    parser.add_argument("--stubtest-python", default="3.13",
                        help="the version that also runs stubtest (default 3.13)")
    parser.add_argument("pytest_args", nargs="*", help="passed on to pytest (after --)")
    args = parser.parse_args()

    wheel = os.path.abspath(args.wheel) if args.wheel else newest_wheel()
    if not wheel or not os.path.isfile(wheel):
        say("test-wheel: no wheel in dist/; run `make wheel` first")
        return 2
    wanted = WANTED
    if args.pythons:
        minors = args.pythons.split(",")
        wanted = [v for v in WANTED if ".".join(v.split(".")[:2]) in minors]
    in_ci = os.environ.get("CI", "").lower() in ("1", "true", "yes")
    say("test-wheel: %s under CPython %s" % (os.path.basename(wheel),
                                             ", ".join(v.rsplit(".", 1)[0] for v in wanted)))

    found, missing = [], []
    for version in wanted:
        python = find_python(version)
        (found if python else missing).append((version, python))
    for version, _ in missing:
        say("test-wheel: CPython %s not found (looked in `pyenv prefix %s`, %s/versions and "
            "~/.pyenv/versions)" % (version, version, pyenv_root()))

    totals = {"passed": 0, "failed": 0, "skipped": 0}
    rows = []
    run_started = time.time()
    stub_minor = args.stubtest_python
    if stub_minor not in [".".join(v.split(".")[:2]) for v, _ in found] and found:
        stub_minor = ".".join(found[-1][0].split(".")[:2])
    stub_python = None
    scratch = tempfile.mkdtemp(prefix="durnel-wheel-test-")
    try:
        # The environments are made side by side (mostly waiting on pip), the tests run one
        # version at a time.
        def setup(entry):
            version, python = entry
            minor = ".".join(version.split(".")[:2])
            started = time.time()
            vpy = prepare_venv(python, minor, wheel, {"mypy"} if minor == stub_minor else set())
            return minor, vpy, time.time() - started

        if found:
            say("test-wheel: preparing %d environments under %s"
                % (len(found), os.path.relpath(os.path.join(STATE_DIR, "venvs"), ROOT)))
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            prepared = list(pool.map(setup, found))
        for minor, vpy, setup_time in prepared:
            if vpy is None:
                totals["failed"] += 1
                rows.append((minor, "venv or install failed", setup_time, 0.0))
                continue
            if minor == stub_minor:
                stub_python = vpy
            counts, elapsed = run_pytest(vpy, minor, scratch, args.pytest_args)
            # pytest's own verdicts: an expected failure counts as skipped, an unexpected
            # pass (of a non-strict xfail) as passed.
            totals["passed"] += counts.get("passed", 0) + counts.get("xpassed", 0)
            totals["failed"] += counts.get("failed", 0) + counts.get("errors", 0)
            totals["skipped"] += counts.get("skipped", 0) + counts.get("xfailed", 0)
            text = ", ".join("%d %s" % (n, w) for w, n in sorted(counts.items()))
            rows.append((minor, text, setup_time, elapsed))

        checks = []
        if stub_python:
            checks.append(("stubtest", run_stubtest(stub_python, scratch)))
        checks.append(("stable ABI", run_abi_checks(wheel, scratch)))
        for _, ok in checks:
            totals["passed" if ok else "failed"] += 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    say("")
    say("test-wheel: summary for %s, %.0f s in all" % (os.path.basename(wheel),
                                                      time.time() - run_started))
    say("  %-13s %-40s %8s %8s" % ("", "pytest", "venv", "tests"))
    for minor, text, setup, elapsed in rows:
        say("  CPython %-5s %-40s %6.1f s %6.1f s" % (minor, text, setup, elapsed))
    for name, ok in checks:
        say("  %-13s %s" % (name, "ok" if ok else "FAILED"))
    for version, _ in missing:
        say("  CPython %-5s NOT FOUND%s" % (version.rsplit(".", 1)[0],
                                            " (fails the run under CI)" if in_ci else ""))
    if missing and in_ci:
        totals["failed"] += len(missing)
    os.makedirs(STATE_DIR, exist_ok=True)
    with open(os.path.join(STATE_DIR, "test-summary.txt"), "w") as handle:
        handle.write("%d %d %d\n" % (totals["passed"], totals["failed"], totals["skipped"]))
    line = "python: %d passed, %d failed" % (totals["passed"], totals["failed"])
    if totals["skipped"]:
        line += ", %d skipped" % totals["skipped"]
    say(line)
    return 1 if totals["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
