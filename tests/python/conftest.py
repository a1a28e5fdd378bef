"""Shared fixtures: a fresh CoordinationState, a child interpreter with a frozen wall clock,
and a runner for snippets that must execute in an interpreter of their own."""
import os
import subprocess
import sys

import pytest

import durnel_core
from faketime_helpers import ClockedState, find_libfaketime

MODULE_DIR = os.path.dirname(os.path.abspath(durnel_core.__file__))


@pytest.fixture
def state():
    return durnel_core.CoordinationState()


@pytest.fixture
def clocked(tmp_path):
    """A CoordinationState in a child whose clock stands at second 1000 until moved with .at()."""
    libfaketime = find_libfaketime()
    if libfaketime is None:
        pytest.skip("libfaketime is not installed")
    child = ClockedState(libfaketime, str(tmp_path))
    try:
        if child.at(1000) != 1000.0:
            pytest.skip("libfaketime does not freeze the clock of this interpreter")
        yield child
    finally:
        child.close()


def _run_python(code, timeout=60):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-c", code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        env=env,
        timeout=timeout,
    )


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter that can import durnel_core; returns the
    CompletedProcess with text stdout and stderr."""
    return _run_python
