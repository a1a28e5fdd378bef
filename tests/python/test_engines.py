"""The registry of engines (durnel.engines): found by URL, by object, by entry point, lazily;
a clash refused; an engine whose entry point is broken skipped without breaking the others.
(That every registered engine keeps the contract is the contract suites' job: conftest takes
its engines from the registry, the dict engine of plugins/ included.)"""

import os
import textwrap

import pytest

import durnel
from durnel.engines import Engine, for_object, for_url, named, register
from durnel.sqlite import SQLiteCoordinationState

HERE = os.path.dirname(os.path.abspath(__file__))


def test_engines_are_found_by_url_and_by_object_and_clashes_are_refused(tmp_path):
    with durnel.connect("dict://") as state:  # through its entry point
        assert for_object(state) is named("dict") is for_url("dict://x")
        with pytest.raises(TypeError, match="no asyncio view of DictCoordinationState"):
            durnel.aio.view(state)
    with SQLiteCoordinationState(str(tmp_path / "s.db")) as state:
        assert for_object(state) is named("sqlite") is for_url("sqlite:///s.db")
    assert for_object(durnel.connect()) is named("inprocess") is for_url(None)
    assert for_object(object()) is None
    with pytest.raises(ValueError, match=r"scheme must be one of .*sqlite://.*dict://"):
        durnel.connect("nowhere://x")
    with pytest.raises(ValueError, match="the dict engine has no asyncio client"):
        durnel.aio.connect("dict://")
    assert register(named("sqlite")) is named("sqlite")  # the same engine again: nothing
    for clash in (Engine("sqlite", open="x:y"), Engine("other", schemes=("sqlite",), open="x:y")):
        with pytest.raises(ValueError):
            register(clash)


LAZY = """
import sys, durnel, durnel.aio
durnel.connect()
durnel.connect("sqlite:///{path}")
loaded = [m for m in ("redis", "dict_engine", "broken_engine") if m in sys.modules]
print("loaded before a miss:", loaded)
import warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    with durnel.connect("dict://") as state:  # a miss: the entry points are loaded
        state.claim_file("a", "f")
print(sorted(e.name for e in durnel.engines.engines()))
print([str(w.message) for w in caught])
"""


def test_entry_points_load_on_a_miss_and_a_broken_one_is_skipped(run_python, tmp_path):
    broken = tmp_path / "broken_engine-1.0.dist-info"
    broken.mkdir()
    (broken / "METADATA").write_text("Metadata-Version: 2.1\nName: broken-engine\nVersion: 1.0\n")
    (broken / "entry_points.txt").write_text("[durnel.engines]\nbroken = broken_engine:ENGINE\n")
    (tmp_path / "broken_engine.py").write_text("raise ImportError('its client is missing')\n")
    code = "import sys; sys.path[:0] = [%r, %r]\n" % (str(tmp_path), os.path.join(HERE, "plugins"))
    child = run_python(code + textwrap.dedent(LAZY.format(path=tmp_path / "lazy.db")))
    lines = child.stdout.splitlines()
    assert lines[:2] == [
        "loaded before a miss: []",
        "['dict', 'inprocess', 'redis', 'sqlite']",
    ], (child.stdout, child.stderr)
    assert "broken" in lines[2] and "its client is missing" in lines[2], child.stdout
