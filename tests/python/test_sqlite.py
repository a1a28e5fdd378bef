"""What the SQLite engine adds to the contract that every engine shares (test_claims,
test_mailboxes, test_arguments, test_model, test_load): URLs, the file as ordinary tools see
it, files and places it must refuse without changing them, another connection holding the
write lock, a full disk, threads and forks, and worker processes killed mid-write."""

import asyncio
import contextlib
import os
import random
import signal
import sqlite3
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
from durnel.sqlite import (
    SCHEMA_VERSION,
    BusyError,
    ForeignDataError,
    SchemaVersionError,
    SQLiteCoordinationState,
)
from faketime_helpers import child_environment

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
    tuned = durnel.connect("sqlite:///sub.db?synchronous=full&busy_timeout=0.5&log_maxlen=2")
    assert tuned.log_maxlen == 2
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
            newer_version,
            SchemaVersionError,
            "newer durnel \\(schema version %d; this one reads" % (SCHEMA_VERSION + 1),
        ),
        (lambda p: p.mkdir(), IsADirectoryError, "must be a file"),
    ],
)
def test_files_durnel_did_not_make_are_refused_unchanged(tmp_path, prepare, error, says):
    path = tmp_path / "state.db"
    prepare(path)
    # (Readers of a WAL file note themselves in its -shm index: not a change of the data.)
    files = lambda: {p.name: p.read_bytes() for p in tmp_path.glob("state.db*[!m]")}  # noqa: E731
    before = files()
    with pytest.raises(error, match=says):
        SQLiteCoordinationState(path)
    assert files() == before
    if error is not IsADirectoryError:
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


def test_opening_a_connection_keeps_the_process_s_locks_on_the_file(tmp_path):
    # Closing any descriptor of the file drops the process's POSIX locks, SQLite's too: then
    # another process closing its last connection takes itself for the last user of the file
    # and removes the WAL under this one. A connection whose engine object went may live on:
    # another thread may not close it, and here its cursor stands for a traceback holding it.
    last = "import sqlite3, sys; sqlite3.connect(sys.argv[1]).execute('SELECT * FROM claims')"
    for lingering in (False, True):
        path = str(tmp_path / ("state-%d.db" % lingering))
        first = SQLiteCoordinationState(path)
        first.send_message("A", "B", "kept")
        if lingering:
            cursor = first._connections.cursor()  # noqa: F841 - kept alive on purpose
            objects = [first]
            del first
            dropper = threading.Thread(target=objects.clear)
            dropper.start()
            dropper.join()
        second = SQLiteCoordinationState(path)  # another connection of the same process
        subprocess.run([sys.executable, "-c", last, path], check=True, timeout=60)
        assert os.path.exists(path + "-wal")
        assert [m[2] for m in second.drain_inbox("B")] == ["kept"]


# ---- schema versions and waits ----


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


def test_waits_beside_a_file_whose_path_is_too_long_for_a_socket(tmp_path):
    deep = tmp_path / ("d" * 60) / ("e" * 60)
    deep.mkdir(parents=True)
    state = SQLiteCoordinationState(deep / "state.db")
    later = threading.Timer(0.2, state.release, ("A", "file:f"))
    state.claim_file("A", "f")
    later.start()
    assert state.wait_claim_file("B", "f", 10) == "B"
    assert os.listdir(str(deep / "state.db-wake")) == []  # every socket removed


def test_a_drain_cancelled_while_it_waits_for_the_write_lock_hands_its_messages_back(tmp_path):
    path = tmp_path / "state.db"
    state = SQLiteCoordinationState(path)
    view = durnel.aio.view(state)
    holder = sqlite3.connect(str(path), isolation_level=None, check_same_thread=False)

    async def cancelled_in_its_thread(call):
        """Runs call() while another connection holds the write lock, cancels it while its
        transaction waits, then lets the lock go; returns once the thread is done."""
        holder.execute("BEGIN IMMEDIATE")
        task = asyncio.ensure_future(call())
        await asyncio.sleep(0.2)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        holder.execute("COMMIT")
        for _ in range(2):  # the call, then what it left to do after it
            await view.status("x")

    async def scenario():
        for call in (lambda: view.drain_inbox("B"), lambda: view.wait_for_messages("B")):
            state.send_message("A", "B", "one")
            state.send_message("A", "B", "two")
            await cancelled_in_its_thread(call)
            assert [m[2] for m in await view.inbox("B")] == ["one", "two"]
            assert [m[2] for m in state.drain_inbox("B")] == ["one", "two"]
        # a wait cancelled while it joins the line, and a claim while it is made
        await cancelled_in_its_thread(lambda: view.wait_for_messages("B"))
        await cancelled_in_its_thread(lambda: view.wait_claim_task("W", "t"))
        await cancelled_in_its_thread(lambda: view.claim_file("W", "f"))
        assert rows(path, "SELECT count(*) FROM waiters") == [(0,)]
        assert state.claim_task("X", "t") == "X" and state.claim_file("X", "f") == "X"
        assert state.status("W") == "idle"

    asyncio.run(scenario())
    holder.close()
