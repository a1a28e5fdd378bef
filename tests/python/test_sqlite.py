"""What the SQLite engine adds to the contract that every engine shares (test_claims,
test_mailboxes, test_arguments, test_model, test_load): URLs, the file as ordinary tools see
it, files and places it must refuse without changing them, another connection holding the
write lock, a full disk, threads and forks, and worker processes killed mid-write."""

import asyncio
import contextlib
import gc
import itertools
import logging
import os
import random
import select
import shutil
import signal
import socket
import sqlite3
import stat
import subprocess
import sys
import tempfile
import threading
import time
import warnings
from pathlib import Path

import pytest

import durnel
import durnel.aio
from conftest import sqlite_selected
from durnel.snapshots import namespaces
from durnel.sqlite import (
    SCHEMA_VERSION,
    BusyError,
    DamagedFileError,
    ForeignDataError,
    SchemaVersionError,
    SQLiteCoordinationState,
)
from faketime_helpers import child_environment
from test_waits import in_thread

pytestmark = sqlite_selected


def rows(path, query):
    with contextlib.closing(sqlite3.connect(str(path))) as db:
        return db.execute(query).fetchall()


# ---- URLs and the file as other tools see it ----


def test_urls_name_files_relative_or_absolute(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    relative = durnel.connect("sqlite:///sub.db", namespace="a")
    assert relative.path == str(tmp_path / "sub.db")
    absolute = durnel.connect("sqlite:///" + str(tmp_path / "sub.db"), namespace="b")
    relative.claim_task("A", "t")
    assert absolute.claim_task("A", "t") == "A"  # namespaces share the file and nothing else
    assert absolute.status("A") == relative.status("A") == "busy"
    tuned = durnel.connect(
        "sqlite:///sub.db?synchronous=full&busy_timeout=0.5&log_maxlen=2&ephemeral_claims=1"
    )
    assert tuned.log_maxlen == 2 and tuned.ephemeral_claims and not relative.ephemeral_claims
    assert tuned._connections.cursor().execute("PRAGMA synchronous").fetchone() == (2,)


@pytest.mark.parametrize(
    "url, says",
    [
        ("sqlite://", "any other process"),
        ("sqlite:///", "any other process"),
        ("sqlite:///:memory:", "any other process"),
        ("sqlite://host/state.db", "names a host"),
        ("sqlite:state.db", "sqlite:////absolute"),
        ("sqlite:///state.db?mode=ro", "unknown or repeated option 'mode'"),
        ("sqlite:///state.db?synchronous=FULL&synchronous=OFF", "repeated option"),
        ("sqlite:///state.db?busy_timeout=soon", "busy_timeout='soon' is not a float"),
        ("sqlite:///state.db?synchronous=OFF", "synchronous must be 'NORMAL' or 'FULL'"),
        ("sqlite:///state.db?ephemeral_claims=maybe", "ephemeral_claims='maybe' is not 1 or 0"),
    ],
)
def test_bad_urls_say_why(tmp_path, monkeypatch, url, says):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match=says.replace("?", r"\?")):
        durnel.connect(url)
    assert os.listdir(str(tmp_path)) == []


def test_the_file_reads_with_ordinary_tools(tmp_path):
    path = tmp_path / "state.db"
    state = SQLiteCoordinationState(path, "n", log_maxlen=5)
    other = SQLiteCoordinationState(path, "other")
    other.send_message("A", "B", "elsewhere")
    state.claim_file("A", "f")
    state.send_message("A", "B", "hi")
    state.broadcast("B", "all")
    state.drain_inbox("A")
    assert rows(path, "SELECT namespace, resource, holder FROM claims") == [("n", "file:f", "A")]
    assert rows(
        path,
        "SELECT recipient, sender, content, broadcast FROM messages "
        "WHERE namespace = 'n' ORDER BY id",
    ) == [("B", "A", "hi", 0), ("B", "B", "all", 1)]
    assert rows(path, "PRAGMA user_version") == [(SCHEMA_VERSION,)]
    assert rows(path, "PRAGMA journal_mode") == [("wal",)]
    with pytest.raises(RuntimeError):
        state.claim_file("C", "f")
    # A takeover logs the new claim, then the release of the lapsed one.
    with contextlib.closing(sqlite3.connect(str(path))) as db:
        db.execute("UPDATE claims SET stamp = stamp - 300 WHERE namespace = 'n'")
        db.commit()
    state.claim_file("C", "f")
    state.release("C", "file:f")
    # log_maxlen: the namespace keeps its latest 5 events; the other namespace keeps its own.
    assert rows(
        path, "SELECT seq, event, agent, from_agent FROM log WHERE namespace = 'n' ORDER BY seq"
    ) == [
        (2, "MessageSent", None, "A"),
        (3, "BroadcastSent", None, "B"),
        (4, "Claimed", "C", None),
        (5, "Released", "A", None),
        (6, "Released", "C", None),
    ]
    assert rows(path, "SELECT count(*) FROM log WHERE namespace = 'other'") == [(1,)]
    assert rows(path, "SELECT agent, status FROM statuses WHERE namespace = 'n'") == [
        ("A", "busy"),
        ("B", "idle"),
        ("C", "idle"),
    ]


# ---- files and places that are refused, unchanged ----


def make_foreign(path):
    with contextlib.closing(sqlite3.connect(str(path))) as db:
        db.execute("CREATE TABLE notes (body TEXT)")
        db.commit()


def alter_table(path):
    SQLiteCoordinationState(path)
    with contextlib.closing(sqlite3.connect(str(path))) as db:
        db.execute("ALTER TABLE claims ADD COLUMN note TEXT")
        db.execute("DROP TRIGGER message_sent")
        db.commit()


def with_objects(*statements):
    def prepare(path):
        SQLiteCoordinationState(path)
        with contextlib.closing(sqlite3.connect(str(path))) as db:
            for statement in statements:
                db.execute(statement)
            db.commit()

    return prepare


def newer_version(path):
    SQLiteCoordinationState(path)
    with contextlib.closing(sqlite3.connect(str(path))) as db:
        db.execute("PRAGMA user_version = %d" % (SCHEMA_VERSION + 1))


@pytest.mark.parametrize(
    "prepare, error, says",
    [
        (lambda p: p.write_bytes(b"# notes\n" * 10), ForeignDataError, "not a SQLite database"),
        (make_foreign, ForeignDataError, "durnel did not make: it holds table notes"),
        (
            alter_table,
            ForeignDataError,
            "the table claims is not the one durnel makes; the trigger message_sent is missing",
        ),
        (
            with_objects(
                "CREATE TRIGGER eat AFTER INSERT ON messages BEGIN "
                "DELETE FROM messages WHERE id = NEW.id; END",
                "CREATE TABLE notes (body TEXT)",
            ),
            ForeignDataError,
            "makes them: the trigger eat is not durnel's; the table notes is not durnel's$",
        ),
        (
            with_objects("CREATE VIEW v AS SELECT 1", "CREATE INDEX i ON log (at)"),
            ForeignDataError,
            "the index i is not durnel's; the view v is not durnel's$",
        ),
        (
            newer_version,
            SchemaVersionError,
            "newer durnel \\(schema version %d; this one reads" % (SCHEMA_VERSION + 1),
        ),
        (
            with_objects(  # (SQLite's own names are no sign of SQLite's objects)
                "PRAGMA writable_schema = ON",
                "CREATE TRIGGER sqlite_eat AFTER INSERT ON messages BEGIN "
                "DELETE FROM messages WHERE id = NEW.id; END",
            ),
            ForeignDataError,
            "makes them: the trigger sqlite_eat is not durnel's$",
        ),
        (lambda p: p.mkdir(), IsADirectoryError, "must be a file"),
        (lambda p: os.mkfifo(str(p)), ForeignDataError, "not a SQLite database: it is a FIFO"),
        (
            lambda p: (SQLiteCoordinationState(p), os.link(str(p), str(p) + ".copy")),
            OSError,
            "has 2 names \\(hard links\\): SQLite keeps a -wal per name",
        ),
    ],
)
def test_files_durnel_did_not_make_are_refused_unchanged(tmp_path, prepare, error, says):
    path = tmp_path / "state.db"
    prepare(path)
    # (Readers of a WAL file note themselves in its -shm index: not a change of the data.)
    files = lambda: {p.name: p.read_bytes() for p in tmp_path.glob("*[!m]") if p.is_file()}  # noqa: E731
    before = files()
    with pytest.raises(error, match=says):
        SQLiteCoordinationState(path)
    assert files() == before
    if error not in (IsADirectoryError, OSError):
        assert isinstance(error("x"), (durnel.ForeignDataError, sqlite3.DatabaseError))


def test_a_missing_directory_is_named(tmp_path):
    with pytest.raises(FileNotFoundError, match="there is no directory") as info:
        durnel.connect("sqlite:///" + str(tmp_path / "nowhere" / "state.db"))
    assert info.value.filename == str(tmp_path / "nowhere")
    assert os.listdir(str(tmp_path)) == []


def fork():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # a fork with threads, from 3.12
        return os.fork()


def in_child_as_nobody(body):
    """Runs ``body()`` in a forked child without root's rights; returns what it returned."""
    reader, writer = os.pipe()
    pid = fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            if os.geteuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
            result = repr(body())
        except BaseException as error:
            result = repr((type(error).__name__, str(error)))
        os.write(writer, result.encode())
        os._exit(0)
    os.close(writer)
    with os.fdopen(reader) as pipe:
        result = pipe.read()
    os.waitpid(pid, 0)
    return result


def test_read_only_files_and_directories_are_named():
    place = tempfile.mkdtemp()
    try:
        os.chmod(place, 0o777)
        path = os.path.join(place, "state.db")
        SQLiteCoordinationState(path).claim_task("A", "t")
        os.chmod(path, 0o444)
        before = Path(path).read_bytes()
        said = in_child_as_nobody(lambda: SQLiteCoordinationState(path).claim_task("B", "u"))
        assert "PermissionError" in said and "cannot read and write the file" in said, said
        os.chmod(place, 0o755)
        said = in_child_as_nobody(lambda: SQLiteCoordinationState(place + "/new.db"))
        assert "PermissionError" in said and "cannot write in the directory" in said, said
        assert Path(path).read_bytes() == before
        assert not os.path.exists(place + "/new.db")
    finally:
        os.chmod(place, 0o755)
        for name in os.listdir(place):
            os.remove(os.path.join(place, name))
        os.rmdir(place)


FULL_DISK = r"""
import os, resource, signal, sys
from durnel.sqlite import SQLiteCoordinationState, StorageError

signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG
state = SQLiteCoordinationState(sys.argv[1], "full")
state.claim_task("a", "t")
state.send_message("a", "b", "small")
resource.setrlimit(resource.RLIMIT_FSIZE, (256 * 1024, resource.RLIM_INFINITY))
for call in (lambda: state.send_message("a", "b", "x" * 300000),
             lambda: state.broadcast("a", "y" * 300000)):
    try:
        call()
        print("written")
    except StorageError as error:
        print("refused:", error)
resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY,) * 2)
print([m[2] for m in state.inbox("b")], state.inbox("a"))
state.release("a", "task:t")
print(state.status("a"))
"""


def test_a_full_disk_rolls_the_call_back(tmp_path):
    path = str(tmp_path / "state.db")
    child = subprocess.run(
        [sys.executable, "-c", FULL_DISK, path],
        env=child_environment(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    lines = child.stdout.splitlines()
    assert child.returncode == 0 and len(lines) == 4, child.stdout + child.stderr
    assert all(line.startswith("refused: '%s' could not be written" % path) for line in lines[:2])
    assert lines[2:] == ["['small'] []", "idle"]
    assert rows(path, "PRAGMA integrity_check") == [("ok",)]


# ---- the write lock ----


def test_a_held_write_lock_makes_writes_wait_then_fail_cleanly(tmp_path):
    path = tmp_path / "state.db"
    state = SQLiteCoordinationState(path, busy_timeout=0.3)
    state.send_message("A", "B", "kept")
    holder = sqlite3.connect(str(path), isolation_level=None, check_same_thread=False)
    holder.execute("BEGIN IMMEDIATE")
    started = time.monotonic()
    with pytest.raises(BusyError, match="locked by another connection .* changed nothing"):
        state.claim_task("A", "t")
    assert time.monotonic() - started >= 0.3
    assert isinstance(BusyError("x"), (durnel.BusyError, sqlite3.OperationalError))
    assert not isinstance(BusyError("x"), RuntimeError)
    # Reads take no write lock: they go on, and an empty inbox is drained without it.
    assert state.status("A") == "idle" and state.drain_inbox("A") == []
    assert [m[2] for m in state.inbox("B")] == ["kept"]
    threading.Timer(0.1, lambda: holder.execute("COMMIT")).start()
    assert state.claim_task("A", "t") == "A"  # waited for the lock, within the timeout
    assert state.status("A") == "busy"
    holder.close()


# ---- threads and forks ----


def test_threads_and_a_forked_child_each_use_their_own_connection(tmp_path):
    state = SQLiteCoordinationState(tmp_path / "state.db")
    errors, paused = [], threading.Barrier(5)

    def work(me, rounds):
        try:
            for i in rounds:
                state.claim_task(me, "%s-%d" % (me, i))
                state.send_message(me, "box", "%s|%d" % (me, i))
                state.release(me, "task:%s-%d" % (me, i))
        except Exception as error:  # reported below
            errors.append(error)

    def thread_body(me):
        work(me, range(30))
        paused.wait()  # idle, its connection open, while the main thread forks
        paused.wait()
        work(me, range(30, 60))

    threads = [threading.Thread(target=thread_body, args=("w%d" % i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    paused.wait()
    pid = fork()  # while the threads are between calls, their connections open
    if pid == 0:  # pragma: no cover - the child
        code = 1
        try:
            work("child", range(60))
            code = 0 if not errors and state.status("child") == "idle" else 1
        finally:
            os._exit(code)
    paused.wait()
    for thread in threads:
        thread.join()
    _, code = os.waitpid(pid, 0)
    assert code == 0 and errors == []
    inbox = [m[2] for m in state.drain_inbox("box")]
    for me in ["w%d" % i for i in range(4)] + ["child"]:
        expected = ["%s|%d" % (me, i) for i in range(60)]
        assert [m for m in inbox if m.startswith(me + "|")] == expected
    assert rows(tmp_path / "state.db", "PRAGMA integrity_check") == [("ok",)]


# ---- processes killed mid-write ----

CRASH_WORKER = r"""
import os, sys
import durnel
import durnel.aio

state = durnel.connect(sys.argv[1], namespace="crash")
me, acks = sys.argv[2], os.open(sys.argv[3], os.O_WRONLY | os.O_APPEND | os.O_CREAT)
for i in range(1, 10**9):
    state.send_message(me, "box", "%s|%d" % (me, i))
    os.write(acks, b"S %d\n" % i)
    state.claim_task(me, "%s-%d" % (me, i))
    os.write(acks, b"C %d\n" % i)
    if i % 2:
        state.release(me, "task:%s-%d" % (me, i))
        os.write(acks, b"R %d\n" % i)
"""


def test_processes_killed_mid_write_leave_every_acknowledged_call_whole(tmp_path):
    path = tmp_path / "state.db"
    SQLiteCoordinationState(path, "crash")
    rng = random.Random(7)
    agents = []
    for round_ in range(2):
        workers = []
        for i in range(4):
            me = "r%dw%d" % (round_, i)
            acks = tmp_path / (me + ".acks")
            command = [sys.executable, "-c", CRASH_WORKER, "sqlite:///" + str(path), me, str(acks)]
            workers.append((me, acks, subprocess.Popen(command, env=child_environment())))
        for me, acks, process in workers:
            deadline = time.monotonic() + 30
            while not (acks.exists() and acks.stat().st_size) and time.monotonic() < deadline:
                time.sleep(0.01)
            time.sleep(rng.uniform(0, 0.3))
            process.send_signal(signal.SIGKILL)
            assert process.wait() == -signal.SIGKILL
            agents.append((me, acks))

    assert rows(path, "PRAGMA integrity_check") == [("ok",)]
    state = SQLiteCoordinationState(path, "crash")
    inbox = [m[2] for m in state.inbox("box")]
    held = rows(path, "SELECT resource, holder FROM claims WHERE namespace = 'crash'")
    for me, acks in agents:
        lines = acks.read_text().split()
        kinds, numbers = lines[0::2], [int(n) for n in lines[1::2]]
        sent = [n for k, n in zip(kinds, numbers) if k == "S"]
        task = lambda n, me=me: "task:%s-%d" % (me, n)  # noqa: E731
        claimed = {task(n) for k, n in zip(kinds, numbers) if k == "C"}
        released = {task(n) for k, n in zip(kinds, numbers) if k == "R"}
        # The call in flight at the kill may have taken effect: after "S n" the claim of n,
        # after "C n" the release of n (odd n) or the send of n + 1, after "R n" that send.
        last_kind, last = kinds[-1], numbers[-1]
        in_flight = {task(last)} if last_kind == "S" or last_kind == "C" and last % 2 else set()
        mine = {resource for resource, holder in held if holder == me}
        assert mine ^ (claimed - released) <= in_flight, me
        # Every acknowledged send once and in order, and the send in flight maybe.
        got = [int(m.split("|")[1]) for m in inbox if m.startswith(me + "|")]
        assert got == sent or (last_kind != "S" and got == sent + [sent[-1] + 1]), me
    # Nothing half-applied: the log, the claims, the statuses and the mailbox agree.
    replay, last = {}, {}
    for event, agent, resource in rows(
        path, "SELECT event, agent, resource FROM log WHERE namespace = 'crash' ORDER BY seq"
    ):
        if event == "Claimed":
            assert resource not in replay
            replay[resource] = agent
        elif event == "Released":
            assert replay.pop(resource) == agent
        if agent is not None:
            last[agent] = "busy" if event == "Claimed" else "idle"
    assert sorted(replay.items()) == sorted(held)
    assert all(state.status(agent) == status for agent, status in last.items())
    assert rows(path, "SELECT count(*) FROM log WHERE event = 'MessageSent'") == [(len(inbox),)]


LAST_USER = "import sqlite3, sys; sqlite3.connect(sys.argv[1]).execute('SELECT * FROM claims')"


def test_opening_a_connection_keeps_the_process_s_locks_on_the_file(tmp_path):
    # Closing any descriptor of the file drops the process's POSIX locks, SQLite's too: then
    # another process closing its last connection takes itself for the last user of the file
    # and removes the WAL under this one. A connection whose engine object went may live on:
    # another thread may not close it, and here its cursor stands for a traceback holding it.
    # And a connection may have been opened by another path (a symbolic link to the directory).
    os.symlink(str(tmp_path), str(tmp_path / "alias"))
    for n, (lingering, through) in enumerate([(False, ""), (True, ""), (False, "alias")]):
        path = str(tmp_path / ("state-%d.db" % n))
        first = SQLiteCoordinationState(os.path.join(str(tmp_path), through, "state-%d.db" % n))
        first.send_message("A", "B", "kept")
        if lingering:
            cursor = first._connections.cursor()  # noqa: F841 - kept alive on purpose
            objects = [first]
            del first
            dropper = threading.Thread(target=objects.clear)
            dropper.start()
            dropper.join()
        second = SQLiteCoordinationState(path)  # another connection of the same process
        subprocess.run([sys.executable, "-c", LAST_USER, path], check=True, timeout=60)
        assert os.path.exists(path + "-wal")
        assert [m[2] for m in second.drain_inbox("B")] == ["kept"]


# ---- schema versions and waits ----


def test_threads_opening_their_first_connections_at_once_keep_the_process_s_locks(
    tmp_path, monkeypatch
):
    from durnel.sqlite.connections import Connections

    path, read_head, slow = str(tmp_path / "state.db"), Connections._read_head, [1.0]

    def slowly(self, identity):  # the first reads the file's head while the second opens
        time.sleep(slow.pop() if slow else 0)
        read_head(self, identity)

    monkeypatch.setattr(Connections, "_read_head", slowly)
    first = in_thread(SQLiteCoordinationState, path)
    time.sleep(0.2)
    second = SQLiteCoordinationState(path)
    second.send_message("A", "B", "kept")
    first()
    subprocess.run([sys.executable, "-c", LAST_USER, path], check=True, timeout=60)
    assert os.path.exists(path + "-wal")
    assert [m[2] for m in second.drain_inbox("B")] == ["kept"]


def test_a_version_1_file_is_migrated_on_open_and_keeps_its_data(tmp_path):
    from durnel.sqlite.schema import APPLICATION_ID, DDL_BY_VERSION

    path = tmp_path / "state.db"
    with contextlib.closing(sqlite3.connect(str(path))) as db:
        for statement in DDL_BY_VERSION[1]:
            db.execute(statement)
        db.execute("INSERT INTO claims VALUES ('default', 'file:f', 'A', 1000)")
        db.execute("PRAGMA application_id = %d" % APPLICATION_ID)
        db.execute("PRAGMA user_version = 1")
        db.commit()
    state = SQLiteCoordinationState(path)
    assert rows(path, "PRAGMA user_version") == [(SCHEMA_VERSION,)]
    assert state.claim_file("B", "f") == "B"  # A's claim of 1000 lapsed long ago
    later = threading.Timer(0.2, state.send_message, ("A", "B", "woken"))
    later.start()
    assert [m[2] for m in state.wait_for_messages("B", 10)] == ["woken"]


def test_a_version_3_file_is_migrated_to_what_a_new_file_is_keeping_claims_and_waiters(
    tmp_path, caplog
):
    from durnel.sqlite.schema import APPLICATION_ID, DDL_BY_VERSION

    path = tmp_path / "old.db"
    with contextlib.closing(sqlite3.connect(str(path))) as db:
        for statement in DDL_BY_VERSION[3]:
            db.execute(statement)
        db.execute("INSERT INTO claims VALUES ('default', 'task:t', 'A', ?)", (int(time.time()),))
        for _ in range(2):
            db.execute(
                "INSERT INTO waiters (namespace, kind, key, address, pid, process) "
                "VALUES ('default', 'mail', 'B', '0123456789abcdef', ?, '')",
                (os.getpid(),),
            )
        db.execute("DELETE FROM waiters WHERE ticket = 2")
        db.execute("PRAGMA application_id = %d" % APPLICATION_ID)
        db.execute("PRAGMA user_version = 3")
        db.commit()
    with caplog.at_level(logging.INFO, logger="durnel.sqlite"):
        state = SQLiteCoordinationState(path)
    assert "from schema version 3 to %d" % SCHEMA_VERSION in caplog.text
    SQLiteCoordinationState(tmp_path / "new.db")
    schema = "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name"
    assert rows(path, schema) == rows(tmp_path / "new.db", schema)
    assert rows(path, "SELECT resource, holder, pid, process FROM claims") == [
        ("task:t", "A", None, None)
    ]
    assert rows(path, "SELECT ticket, key, agent, since FROM waiters") == [(1, "B", "", 0)]
    assert rows(path, "SELECT seq FROM sqlite_sequence WHERE name = 'waiters'") == [(2,)]
    with pytest.raises(RuntimeError, match="^A already holds claim on task t$"):
        state.claim_task("C", "t")
    assert durnel.snapshot(state).log_length == 1  # the copy logged nothing


def test_ephemeral_claims_of_a_killed_holder_free_within_a_second_a_stopped_one_keeps_them(
    tmp_path, caplog, monkeypatch
):
    from durnel.sqlite import waits

    monkeypatch.setattr(waits, "LOOK_EVERY", 60.0)  # the first waiter's own looks: too late
    path = str(tmp_path / "state.db")
    holds = (
        "import sys\nimport durnel\ns = durnel.connect(sys.argv[1])\n"
        "s.claim_task(sys.argv[2], sys.argv[2])\nprint('held', flush=True)\nsys.stdin.read()\n"
    )
    children = {}
    for name, query in (("killed", "?ephemeral_claims=1"), ("stopped", "?ephemeral_claims=1")):
        command = [sys.executable, "-c", holds, "sqlite:///" + path + query, name]
        children[name] = subprocess.Popen(
            command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=child_environment()
        )
        assert children[name].stdout.readline() == b"held\n"
    children["plain"] = subprocess.Popen(
        [sys.executable, "-c", holds, "sqlite:///" + path, "plain"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        env=child_environment(),
    )
    assert children["plain"].stdout.readline() == b"held\n"
    state = SQLiteCoordinationState(path)
    try:
        with caplog.at_level(logging.INFO, logger="durnel.sqlite"):
            waiter = in_thread(state.wait_claim_task, "w", "killed", 60)
            while not durnel.snapshot(state).waiters:
                time.sleep(0.02)
            os.kill(children["stopped"].pid, signal.SIGSTOP)
            for name in ("killed", "plain"):
                children[name].kill()
                children[name].wait()
            started = time.monotonic()
            assert waiter(30) == "w"  # not after the lease's 300 s
            assert time.monotonic() - started < 10
        assert "freed the claim of killed on task:killed" in caplog.text
        with pytest.raises(RuntimeError, match="^plain already holds claim on task plain$"):
            state.claim_task("w", "plain")  # tied to no process: it holds for its lease
        with pytest.raises(RuntimeError, match="^stopped already holds claim on task stopped$"):
            state.wait_claim_task("w", "stopped", 2.5)  # stopped, alive: it keeps its claims
        lapsed = {c.resource: c.lapsed for c in durnel.snapshot(state).claims}
        assert lapsed == {"task:killed": False, "task:plain": False, "task:stopped": False}
    finally:
        os.kill(children["stopped"].pid, signal.SIGCONT)
        children["stopped"].kill()
        children["stopped"].wait()
    assert [c.lapsed for c in durnel.snapshot(state).claims if c.holder == "stopped"] == [True]
    assert state.claim_task("w", "stopped") == "w"
    assert [e.event for e in durnel.snapshot(state, log_tail=2).log] == ["Claimed", "Released"]


def test_deleting_a_namespace_leaves_the_others_and_its_waiters_wait_on(tmp_path, monkeypatch):
    from durnel.sqlite import waits

    monkeypatch.setattr(waits, "LOOK_EVERY", 60.0)  # woken by the deletion, not by its looks
    path = tmp_path / "state.db"
    state, other = SQLiteCoordinationState(path, "gone"), SQLiteCoordinationState(path, "kept")
    for each in (state, other):
        each.claim_task("a", "t")
        each.send_message("a", "b", "hi")
    mail = in_thread(state.wait_for_messages, "m", 60)
    while not durnel.snapshot(state).waiters:
        time.sleep(0.02)
    # a claim, a message, two statuses, two events, a waiter, presence of a and m
    assert state.delete_namespace() == 9
    assert durnel.snapshot(state, log_tail=5).log == ()
    assert [v.namespace for v in namespaces(other)] == ["kept"]
    assert (other.status("a"), [m[2] for m in other.inbox("b")]) == ("busy", ["hi"])
    deadline = time.monotonic() + 10
    while not durnel.snapshot(state).waiters:  # back in its place
        assert time.monotonic() < deadline
        time.sleep(0.02)
    state.send_message("x", "m", "after")
    assert [m[2] for m in mail(30)] == ["after"]


def test_waits_beside_a_file_whose_path_is_too_long_for_a_socket_leave_nothing(tmp_path):
    deep = tmp_path / ("d" * 60) / ("e" * 60)
    deep.mkdir(parents=True)
    descriptors = []
    for _ in range(6):  # (the first makes what a process keeps: its sending socket...)
        state = SQLiteCoordinationState(deep / "state.db")
        later = threading.Timer(0.2, state.release, ("A", "file:f"))
        state.claim_file("A", "f")
        later.start()
        assert state.wait_claim_file("B", "f", 10) == "B"
        state.release("B", "file:f")
        later.join()
        del state
        gc.collect()
        descriptors.append(len(os.listdir("/proc/self/fd")))
    assert descriptors[1:] == descriptors[:1] * 5
    assert sorted(os.listdir(str(deep))) == ["state.db", "state.db-shm", "state.db-wal"]


def test_objects_on_files_of_their_own_leave_no_descriptor_behind(tmp_path):
    descriptors = []
    for n in range(6):  # (the first makes what a process keeps: its sending socket...)
        state = SQLiteCoordinationState(tmp_path / ("state%d.db" % n))
        state.send_message("A", "B", "x")
        state.wait_for_messages("C", 0.01)
        del state
        gc.collect()
        descriptors.append(len(os.listdir("/proc/self/fd")))
    assert descriptors[1:] == descriptors[:1] * 5


def test_a_drain_cancelled_while_it_waits_for_the_write_lock_hands_its_messages_back(tmp_path):
    path = tmp_path / "state.db"
    state = SQLiteCoordinationState(path)
    view = durnel.aio.view(state)
    holder = sqlite3.connect(str(path), isolation_level=None, check_same_thread=False)

    async def cancelled_in_its_thread(call, then=lambda: view.inbox("B")):
        """Runs call() while another connection holds the write lock, cancels it while its
        transaction waits, makes the object's next call then() at once, and lets the lock
        go; returns what then() returned: what the cancelled call took is back by then."""
        holder.execute("BEGIN IMMEDIATE")
        task = asyncio.ensure_future(call())
        await asyncio.sleep(0.2)
        task.cancel()
        following = asyncio.ensure_future(then())
        with pytest.raises(asyncio.CancelledError):
            await task
        holder.execute("COMMIT")
        return await following

    async def scenario():
        for call in (lambda: view.drain_inbox("B"), lambda: view.wait_for_messages("B")):
            state.send_message("A", "B", "one")
            state.send_message("A", "B", "two")
            assert [m[2] for m in await cancelled_in_its_thread(call)] == ["one", "two"]
            assert [m[2] for m in state.drain_inbox("B")] == ["one", "two"]
        # a wait cancelled while it joins the line, and a claim while it is made
        await cancelled_in_its_thread(lambda: view.wait_for_messages("B"))
        claims = (lambda: view.claim_task("X", "t"), lambda: view.claim_file("X", "f"))
        assert await cancelled_in_its_thread(lambda: view.wait_claim_task("W", "t"), claims[0])
        assert await cancelled_in_its_thread(lambda: view.claim_file("W", "f"), claims[1])
        assert rows(path, "SELECT count(*) FROM waiters") == [(0,)]
        assert state.status("W") == "idle" and state.status("X") == "busy"

    asyncio.run(scenario())
    holder.close()


def test_a_cancelled_asyncio_drain_puts_its_messages_back_in_the_file(tmp_path):
    path = tmp_path / "state.db"
    state, other = SQLiteCoordinationState(path), SQLiteCoordinationState(path)
    view = durnel.aio.view(state)
    holder = sqlite3.connect(str(path), isolation_level=None, check_same_thread=False)

    async def cancelled(call, moment, meanwhile):
        """Cancels call() while it runs in the object's thread (the write lock held), or once
        it has run there but before its task resumes, and calls meanwhile() before what the
        cancellation leaves to do can run; returns when the thread is idle."""
        if moment == "running":
            holder.execute("BEGIN IMMEDIATE")
        task = asyncio.ensure_future(call())
        await asyncio.sleep(0.2 if moment == "running" else 0)
        if moment == "done":
            time.sleep(0.3)  # the loop stands still while the thread drains
            meanwhile()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        if moment == "running":
            holder.execute("COMMIT")
            meanwhile()
        for _ in range(2):
            await view.status("x")

    async def scenario():
        for call in (lambda: view.drain_inbox("B"), lambda: view.wait_for_messages("B")):
            for moment in ("running", "done"):
                state.send_message("A", "B", "one")
                state.broadcast("A", "two")
                log = rows(path, "SELECT * FROM log")
                await cancelled(call, moment, lambda: other.send_message("A", "B", "three"))
                assert rows(path, "SELECT * FROM log")[:-1] == log  # nothing logged twice
                assert rows(
                    path,
                    "SELECT content, broadcast FROM messages WHERE recipient = 'B' ORDER BY id",
                ) == [("one", 0), ("two", 1), ("three", 0)]
                assert [m[2] for m in other.drain_inbox("B")] == ["one", "two", "three"]

    asyncio.run(scenario())
    holder.close()


# ---- the wake place, and what a row of another's can make a call do ----


@pytest.fixture(params=["abstract", "directory"])
def place(request, monkeypatch):
    """Where the waiters of the files made in the test sleep: Linux's abstract socket
    namespace, or the directory that systems without it use."""
    from durnel.sqlite import wakes

    if request.param == "abstract" and not wakes._ABSTRACT:
        pytest.skip("no abstract socket namespace on this system")
    monkeypatch.setattr(wakes, "_ABSTRACT", request.param == "abstract")
    return request.param


def waiter_rows(path):
    return rows(path, "SELECT kind, key FROM waiters ORDER BY ticket")


def test_no_row_makes_a_call_reach_or_remove_anything_outside_the_wake_place(tmp_path, place):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "file").write_text("kept")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    listener.bind(str(elsewhere / "socket"))
    state = SQLiteCoordinationState(tmp_path / "state.db")
    (tmp_path / "state.db-wake").mkdir()  # (where there is one: not a socket, though so named)
    (tmp_path / "state.db-wake" / "0123456789abcdef").write_text("kept")
    with contextlib.closing(sqlite3.connect(str(tmp_path / "state.db"))) as db:
        db.execute("PRAGMA ignore_check_constraints = ON")
        for address in (
            str(elsewhere / "file"),
            str(elsewhere / "socket"),
            "../elsewhere/file",
            "0123456789abcdef/../../elsewhere/socket",
            "0123456789abcdef",
        ):
            db.execute(
                "INSERT INTO waiters (namespace, kind, key, address, pid, process) "
                "VALUES ('default', 'mail', 'B', ?, ?, '')",
                (address, os.getpid()),
            )
        db.commit()
    state.send_message("A", "B", "hello")
    assert (elsewhere / "file").read_text() == "kept"
    assert (tmp_path / "state.db-wake" / "0123456789abcdef").read_text() == "kept"
    assert stat.S_ISSOCK(os.lstat(str(elsewhere / "socket")).st_mode)
    with pytest.raises(BlockingIOError):
        listener.recv(16, socket.MSG_DONTWAIT)
    assert waiter_rows(tmp_path / "state.db") == []
    listener.close()


def test_every_path_to_the_file_wakes_the_same_waiters(tmp_path, place, monkeypatch):
    from durnel.sqlite import waits

    monkeypatch.setattr(waits, "LOOK_EVERY", 60.0)  # only a wake-up can wake it in time
    (tmp_path / "real").mkdir()
    os.symlink(str(tmp_path / "real" / "state.db"), str(tmp_path / "link.db"))
    real = SQLiteCoordinationState(tmp_path / "real" / "state.db")
    linked = SQLiteCoordinationState(tmp_path / "link.db")
    for sender, waiter in ((linked, real), (real, linked)):
        threading.Timer(0.3, sender.send_message, ("A", "B", "hi")).start()
        started = time.monotonic()
        assert [m[2] for m in waiter.wait_for_messages("B", 20)] == ["hi"]
        assert time.monotonic() - started < 10


def test_a_waiter_whose_socket_file_went_is_kept_and_looks_by_itself(tmp_path, monkeypatch):
    from durnel.sqlite import wakes

    monkeypatch.setattr(wakes, "_ABSTRACT", False)
    state = SQLiteCoordinationState(tmp_path / "state.db")
    waiting = in_thread(state.wait_for_messages, "B", 20)
    time.sleep(0.3)
    shutil.rmtree(str(tmp_path / "state.db-wake"))
    started = time.monotonic()
    state.send_message("A", "B", "hi")  # cannot reach it: its process lives, so it stays
    assert waiter_rows(tmp_path / "state.db") == [("mail", "B")]
    assert [m[2] for m in waiting()] == ["hi"]
    assert time.monotonic() - started < 10  # its own look, every few seconds


def test_the_rows_of_dead_waiters_go_at_anyone_s_next_call(tmp_path, place, caplog):
    path = str(tmp_path / "state.db")
    SQLiteCoordinationState(path).claim_file("holder", "f")
    waits_twice = (
        "import sys, threading\nfrom durnel.sqlite import SQLiteCoordinationState as S, wakes\n"
        "wakes._ABSTRACT = %r\ns = S(sys.argv[1])\n"
        "threading.Thread(target=s.wait_for_messages, args=('gone', 60), daemon=True).start()\n"
        "print('waiting', flush=True)\ns.wait_claim_file('gone', 'f', 60)\n" % (place == "abstract")
    )
    children = []
    for _ in range(3):
        command = [sys.executable, "-c", waits_twice, path]
        children.append(subprocess.Popen(command, stdout=subprocess.PIPE, env=child_environment()))
        assert children[-1].stdout.readline() == b"waiting\n"
    time.sleep(0.5)
    assert len(waiter_rows(path)) == 6
    for child in children:
        child.kill()
    for child in children:  # dead, but not reaped yet: a zombie's waiters are gone too
        while Path("/proc/%d/stat" % child.pid).read_bytes().rsplit(b") ", 1)[1][:1] != b"Z":
            time.sleep(0.01)
    with caplog.at_level(logging.INFO, logger="durnel.sqlite"):
        SQLiteCoordinationState(path).send_message("A", "unrelated", "hi")
    assert waiter_rows(path) == []
    assert "removed 6 waiter(s)" in caplog.text
    for child in children:
        child.wait()
    if place == "directory":
        assert os.listdir(path + "-wake") == []


def test_a_call_keeps_waiters_it_cannot_judge_and_removes_ended_ones(tmp_path, place):
    from durnel.sqlite import processes

    pid, mine = processes.this_process()
    if not mine:
        pytest.skip("no /proc: every process's waiter is judged by its socket")
    path = tmp_path / "state.db"
    state = SQLiteCoordinationState(path)
    sock, name = state._wakes.bind()  # reachable, of a process in another PID namespace
    boot, namespace, network, started = mine.split("/")
    rebooted = ("0" if boot[0] != "0" else "1") + boot[1:]
    with contextlib.closing(sqlite3.connect(str(path))) as db:
        db.executemany(
            "INSERT INTO waiters (namespace, kind, key, address, pid, process) "
            "VALUES ('default', 'mail', ?, ?, ?, ?)",
            [
                ("B", name, 1, "/".join((boot, "1", network, started))),
                ("C", "fedcba9876543210", pid, mine),  # a wait of this process that ended
                # a waiter from before the machine restarted, whose pid and start time recur
                ("D", "fedcba9876543211", pid, "/".join((rebooted, namespace, network, started))),
            ],
        )
        db.commit()
    state.send_message("A", "unrelated", "hi")
    assert waiter_rows(path) == [("mail", "B")]
    state._wakes.unbind(sock, name)


def test_an_ephemeral_claim_of_a_process_out_of_sight_holds_one_from_before_a_restart_goes(
    tmp_path,
):
    from durnel.sqlite import processes

    pid, mine = processes.this_process()
    if not mine:
        pytest.skip("no /proc: a holder's process is known by its pid alone")
    path = tmp_path / "state.db"
    state = SQLiteCoordinationState(path, ephemeral_claims=True)
    state.claim_task("A", "unseen")
    state.claim_task("A", "rebooted")
    boot, namespace, network, started = mine.split("/")
    rebooted = ("0" if boot[0] != "0" else "1") + boot[1:]
    with contextlib.closing(sqlite3.connect(str(path))) as db:
        db.executemany(
            "UPDATE claims SET pid = ?, process = ? WHERE resource = ?",
            [
                (1, "/".join((boot, "1", network, started)), "task:unseen"),  # another PID ns
                (pid, "/".join((rebooted, namespace, network, started)), "task:rebooted"),
            ],
        )
        db.commit()
    with pytest.raises(RuntimeError, match="^A already holds claim on task unseen$"):
        state.claim_task("B", "unseen")
    assert state.claim_task("B", "rebooted") == "B"


def test_foreign_rows_and_a_damaged_file_raise_durnel_s_errors_and_change_nothing(tmp_path):
    path = tmp_path / "state.db"
    state = SQLiteCoordinationState(path)
    state.claim_task("A", "t")
    tables = lambda: [rows(path, "SELECT * FROM " + t) for t in ("claims", "log", "messages")]  # noqa: E731
    for seq in (2**63 - 1, "text"):
        with contextlib.closing(sqlite3.connect(str(path))) as db:
            db.execute("DELETE FROM log WHERE seq <> 1")
            db.execute(
                "INSERT INTO log (namespace, seq, event, at) VALUES ('default', ?, '', 0)", (seq,)
            )
            db.commit()
        before = tables()
        for call in (
            lambda: state.claim_task("B", "u"),
            lambda: state.send_message("A", "B", "x"),
            lambda: state.release("A", "task:t"),
        ):
            with pytest.raises(
                ForeignDataError, match="'%s' holds rows that durnel did not write" % path
            ):
                call()
        assert tables() == before
    state = None
    gc.collect()  # every connection closed: the -wal is in the file
    with open(str(path), "r+b") as handle:  # every page but the first, garbled
        handle.seek(4096)
        handle.write(bytes(range(256)) * (os.path.getsize(str(path)) // 256 - 16))
    damaged = path.read_bytes()
    with pytest.raises(DamagedFileError, match="'%s' is damaged" % path):
        SQLiteCoordinationState(path).claim_task("B", "u")
    assert path.read_bytes() == damaged


def test_forks_amid_writes_leave_each_child_working_connections_of_its_own(tmp_path):
    # A fork copies SQLite's state: a thread inside it leaves mutexes and locks held for
    # ever, and the parent's open connections make the child's own take no lock, so that
    # the -wal goes under the child once the parent has closed them.
    path, stop = str(tmp_path / "state.db"), threading.Event()
    state, (go_on, going), (ready, sent) = SQLiteCoordinationState(path), os.pipe(), os.pipe()
    bulk = lambda: [state.send_message("b", "sink", "x" * 30000) for _ in iter(stop.is_set, 1)]  # noqa: E731
    writers = [in_thread(bulk) for _ in range(2)]
    children, started = [], time.monotonic()
    for n in range(10):
        time.sleep(0.05)
        children.append(fork())
        if children[-1] == 0:  # pragma: no cover - the child
            try:
                state.send_message("child", "c%d" % n, "0")
                os.write(sent, b".")
                os.read(go_on, 1)
                for i in range(1, 20):
                    state.send_message("child", "c%d" % n, str(i))
            finally:
                os._exit(0)
    signs = b""  # once each child has written through its own connection
    while len(signs) < 10 and select.select([ready], [], [], 60)[0]:
        signs += os.read(ready, 10)
    stop.set()
    for join in writers:
        join()
    state = None  # every connection of this process closed: then another's last one
    subprocess.run([sys.executable, "-c", LAST_USER, path], check=True, timeout=60)
    os.write(going, b"." * 10)
    while children and time.monotonic() < started + 90:
        children = [pid for pid in children if not os.waitpid(pid, os.WNOHANG)[0]]
        time.sleep(0.05)
    for pid in children:
        os.kill(pid, signal.SIGKILL)
    assert children == []
    assert rows(path, "SELECT count(*) FROM messages WHERE sender = 'child'") == [(200,)]


def test_the_asyncio_object_works_in_a_forked_child(tmp_path):
    state = SQLiteCoordinationState(tmp_path / "state.db")
    view = durnel.aio.view(state)
    asyncio.run(view.send_message("parent", "child", "hello"))  # its thread runs, here

    async def in_child():
        got = await asyncio.wait_for(view.drain_inbox("child"), 10)
        assert await asyncio.wait_for(view.wait_for_messages("child", 0.1), 10) == []
        await asyncio.wait_for(view.send_message("child", "parent", "hi"), 10)
        return [m[2] for m in got]

    pid = fork()
    if pid == 0:  # pragma: no cover - the child
        code = 1
        try:
            code = 0 if asyncio.run(in_child()) == ["hello"] else 1
        finally:
            os._exit(code)
    assert os.waitpid(pid, 0)[1] == 0
    assert [m[2] for m in state.drain_inbox("parent")] == ["hi"]
    seen = {p.agent: (p.pid, p.object_id) for p in durnel.snapshot(state).presence}
    assert seen["parent"] == (os.getpid(), view.object_id)
    assert seen["child"][0] == pid and seen["child"][1] not in (view.object_id, None)


def test_files_are_made_for_their_owner_alone_unless_asked(tmp_path, place):
    (tmp_path / "existing.db").touch(0o644)
    os.symlink(str(tmp_path / "private.db"), str(tmp_path / "link.db"))  # to no file yet
    made = os.umask(0o022)
    try:
        states = [
            durnel.connect("sqlite:///%s/%s" % (tmp_path, url))
            for url in ("link.db", "shared.db?file_mode=0640", "existing.db")
        ]
        for state in states:
            state.wait_for_messages("B", 0.01)  # (the wake directory, where there is one)
    finally:
        os.umask(made)
    expected = {}
    for name, mode in (("private", 0o600), ("shared", 0o640), ("existing", 0o644)):
        expected.update({name + ".db" + end: mode for end in ("", "-wal", "-shm")})
        if place == "directory":
            expected[name + ".db-wake"] = mode | (mode & 0o444) >> 2
    expected["link.db"] = 0o600
    modes = {p.name: stat.S_IMODE(p.stat().st_mode) for p in tmp_path.iterdir()}
    assert modes == expected


def test_the_write_ahead_log_stays_small_under_waiters_and_writers_and_shrinks_after(tmp_path):
    from durnel.sqlite.checkpoints import LIMIT

    path = str(tmp_path / "state.db")
    state = SQLiteCoordinationState(path)
    sending, sizes = threading.Event(), []
    wal = lambda: os.stat(path + "-wal").st_size  # noqa: E731

    def wait(agent):
        while "stop" not in [m[2] for m in state.wait_for_messages(agent)]:
            pass

    def send():
        for n in itertools.takewhile(lambda _: sending.is_set(), itertools.count()):
            state.send_message("s", "w%d" % (n % 9), "x")

    def shrinks():
        stopped = time.monotonic()
        while wal() > LIMIT and time.monotonic() < stopped + 10:
            time.sleep(0.05)
        return time.monotonic() - stopped < 10

    waiters = [in_thread(wait, "w%d" % i) for i in range(9)]
    time.sleep(0.3)
    sending.set()
    senders = [in_thread(send) for _ in range(4)]
    for _ in range(400):  # about 4 s
        sizes.append(wal())
        time.sleep(0.01)
    sending.clear()
    for join in senders:
        join()
    assert max(sizes) < 64 * 1024 * 1024
    assert shrinks()
    # A reader in a transaction keeps every commit since in the -wal; once it ends, the
    # waiters' own looks shrink it, though nobody writes any more.
    reader = sqlite3.connect(path, isolation_level=None)
    reader.execute("BEGIN")
    reader.execute("SELECT count(*) FROM messages").fetchall()
    for _ in range(300):
        state.send_message("s", "nobody", "x" * 30000)
    assert wal() > 2 * LIMIT
    reader.execute("COMMIT")
    assert shrinks()
    reader.close()
    state.broadcast("s", "stop")
    for join in waiters:
        join()
