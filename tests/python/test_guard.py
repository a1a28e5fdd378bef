"""`durnel guard` in a real git repository: the hook it installs refuses a commit touching a
file another agent holds (naming the holder and the time left), lets the holder, untouched
files and the override through, and chains with the pre-commit hook that was there."""

import os
import re
import shutil
import subprocess
import sys

import pytest

import durnel
from conftest import MODULE_DIR

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(durnel.__file__)))


@pytest.fixture
def repository(tmp_path):
    if shutil.which("git") is None:
        pytest.skip("git is not installed")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, SOURCE_DIR]))
    env.update(GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@x", GIT_COMMITTER_NAME="t")
    env.update(GIT_COMMITTER_EMAIL="t@x", HOME=str(tmp_path))

    def run(*command, **extra):
        return subprocess.run(
            command, cwd=tmp_path, env=dict(env, **extra), capture_output=True, text=True
        )

    run("git", "init", "-q")
    run.path = tmp_path
    return run


def test_the_hook_refuses_held_files_and_chains_the_one_before(repository):
    before = repository.path / ".git" / "hooks" / "pre-commit"
    before.write_text('#!/bin/sh\necho ran >> chained.log\n[ -z "$REFUSE" ]\n')
    before.chmod(0o755)
    for _ in range(2):  # installing again keeps the chained hook, once
        installed = repository(sys.executable, "-m", "durnel", "guard", "install", "--agent", "bo")
        assert installed.returncode == 0, installed.stderr
        assert "(after pre-commit.before-durnel)" in installed.stdout

    (repository.path / "src").mkdir()
    for name in ("src/app.py", "notes.md"):
        (repository.path / name).write_text("v1\n")
    # no group file yet: nobody holds anything
    repository("git", "add", "src/app.py", "notes.md")
    assert repository("git", "commit", "-qm", "one").returncode == 0
    assert not (repository.path / ".durnel").exists()

    os.makedirs(repository.path / ".durnel")
    group = durnel.connect("sqlite:///%s/.durnel/state.db" % repository.path)
    group.claim_file("ana", "src/app.py")
    (repository.path / "src/app.py").write_text("v2\n")
    (repository.path / "notes.md").write_text("v2\n")
    repository("git", "add", "notes.md")
    assert repository("git", "commit", "-qm", "notes only").returncode == 0
    repository("git", "add", "src/app.py")
    refused = repository("git", "commit", "-qm", "app")
    assert refused.returncode == 1
    assert re.search(r"\n  src/app.py: held by ana for (4m5\d|5m00)s more\n", refused.stderr)
    assert "agents other than bo hold" in refused.stderr and "DURNEL_GUARD=off" in refused.stderr
    assert repository("git", "commit", "-qm", "app", DURNEL_AGENT="ana").returncode == 0

    (repository.path / "src/app.py").write_text("v3\n")
    repository("git", "rm", "-q", "--cached", "src/app.py")  # a deletion touches it too
    assert repository("git", "commit", "-qm", "rm").returncode == 1
    assert repository("git", "commit", "-qm", "rm", REFUSE="1", DURNEL_GUARD="off").returncode == 1
    assert repository("git", "commit", "-qm", "rm", DURNEL_GUARD="off").returncode == 0
    group.release("ana", "file:src/app.py")
    group.close()
    repository("git", "add", "src/app.py")
    assert repository("git", "commit", "-qm", "free").returncode == 0
    log = repository("git", "log", "--format=%s").stdout.splitlines()
    assert log == ["free", "rm", "app", "notes only", "one"]
    assert (repository.path / "chained.log").read_text().count("ran") == 8
