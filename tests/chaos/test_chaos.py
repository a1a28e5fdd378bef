"""The short chaos run of ``make test`` (``make test-chaos``): each engine for CHAOS_SECONDS
(25) with the seed CHAOS_SEED (26), every nemesis that applies to it injected at least once;
a promise broken fails the engine's test, which prints the checker's report (its seed, and
the stretch of history that shows each violation) and keeps the run's directory."""

import os
import shutil
import sys
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "python")]

import run  # noqa: E402
from engines import ENGINES  # noqa: E402

SECONDS = float(os.environ.get("CHAOS_SECONDS", "25"))
SEED = os.environ.get("CHAOS_SEED", "26")


def servers_or_skip(engine):
    if engine not in ("redis", "cluster"):
        return
    try:
        import redis  # noqa: F401

        from redis_servers import redis_server_binary
    except ImportError as error:
        missing = "redis-py is not installed: %s" % error
    else:
        if redis_server_binary() is not None:
            return
        missing = "redis-server is not installed"
    if os.environ.get("CI") == "true":
        pytest.fail(missing)
    pytest.skip(missing)


@pytest.mark.parametrize("engine", list(ENGINES))
def test_no_promise_broken_under_every_nemesis(engine):
    servers_or_skip(engine)
    workdir = tempfile.mkdtemp(prefix="chaos-%s-" % engine)
    lines = []
    report = run.run_engine(engine, SECONDS, SEED, workdir, out=lines.append)
    text = "\n".join(lines)
    print(text)
    assert not report.missing_faults(), text
    assert not report.violations, "%s\n  history and logs kept in %s" % (text, workdir)
    shutil.rmtree(workdir, ignore_errors=True)
