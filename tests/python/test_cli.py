"""The durnel command, run as a user runs it: `python -m durnel` in a child process, its output
piped (plain text) or in a real terminal (tmux, with rich), against a real redis-server whose
clock the tests set, a Redis Cluster and SQLite files. Checked: `show` as tables, filtered and
as JSON, `watch` redrawing after a claim and marking it, then stopping on `q` or Ctrl-C with
exit code 0 and its last picture left on the terminal, fitting a narrow one, and streaming
JSON; `log --follow` streaming and resuming after an event's number; `namespaces` of a file
and of a cluster, and `show` naming them when its own is empty; `--version`; the one-line
errors and exit codes of an unreachable server, a bad URL, a missing client library, a
SQLite file that is not there (and is not made) and bad usage."""

import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import uuid

import pytest

import durnel
from conftest import MODULE_DIR, PLACES

redis = pytest.importorskip("redis")

from redis_servers import free_port  # noqa: E402

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(durnel.__file__)))
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, SOURCE_DIR]))
ENV.pop("NO_COLOR", None)
DURNEL = [sys.executable, "-m", "durnel"]


def durnel_command(*args, timeout=60):
    piped = dict(capture_output=True, text=True, stdin=subprocess.DEVNULL)  # no terminal
    return subprocess.run(DURNEL + list(args), env=ENV, timeout=timeout, **piped)


def url_of(engine, request):
    """The URL of the place where ``state`` of ``engine`` keeps its group in this run."""
    if engine == "cluster":
        return "redis://127.0.0.1:%d/0" % request.getfixturevalue("redis_cluster").port
    return PLACES[engine](request)


def needs(state, method):
    if not callable(getattr(state, method, None)):
        pytest.skip("%s has no %s() yet" % (type(state).__name__, method))


@pytest.fixture
def group(clocked_redis_server):
    """A namespace of four agents on a server whose clock stands at second 1240 (20:40 past
    midnight, 1970-01-01 UTC): a claim that has lapsed, one ending, one fresh, mail waiting."""
    from faketime_helpers import RedisClocked

    client = redis.Redis(port=clocked_redis_server.port)
    clock = RedisClocked(client, clocked_redis_server.clock_file, "cli-" + uuid.uuid4().hex)
    clock.at(900)
    clock.claim_file("bo", "docs/guide.md")
    clock.at(1000)
    clock.claim_task("ana", "t01-fix-lexer")
    clock.at(1230)
    clock.claim_file("ana", "src/lexer.py")
    clock.send_message("bo", "ana", "waiting for src/lexer.py")
    clock.broadcast("cy", "done t00\nbye")
    # where they were seen from, as calls of other machines recorded it (cy: never)
    presence = "durnel:{%s}:presence" % clock.namespace
    client.delete(presence)
    client.hset(presence, "ana", "1230|4242|0123456789abcdef|build-1")
    client.hset(presence, "bo", "1000|77|fedcba9876543210|lap|top")
    clock.at(1240)
    clock.url = clocked_redis_server.url
    yield clock
    clock.at(1000)
    client.close()


def test_show_prints_tables_and_json(group):
    shown = durnel_command("show", group.url, "--namespace", group.namespace, "--log-tail", "3")
    assert shown.returncode == 0 and shown.stderr == ""
    assert shown.stdout == (
        "namespace %s on %s, 1970-01-01 00:20:40 UTC\n"
        "3 agents (2 busy, 1 idle), 3 claims (1 ending, 1 lapsed), 4 messages in 3 mailboxes, "
        "5 log events\n"
        "\n"
        "Agents:\n"
        "  agent  status  claims  mailbox  oldest  last seen  where\n"
        "  ana    busy         2        2     10s    10s ago  build-1:4242\n"
        "  bo     busy         1        1     10s  4m00s ago  lap|top:77\n"
        "  cy     idle                  1     10s          -  -\n"
        "\n"
        "Claims:\n"
        "  resource            holder     since    age    left\n"
        "x file:docs/guide.md  bo      00:15:00  5m40s  lapsed\n"
        "  file:src/lexer.py   ana     00:20:30    10s   4m50s\n"
        "! task:t01-fix-lexer  ana     00:16:40  4m00s   1m00s\n"
        "\n"
        "Log (last 3 of 5 events):\n"
        "  time      event          who        what\n"
        "  00:20:30  Claimed        ana        file:src/lexer.py\n"
        "  00:20:30  MessageSent    bo -> ana  waiting for src/lexer.py\n"
        "  00:20:30  BroadcastSent  cy -> *    done t00\\nbye\n" % (group.namespace, group.url)
    )
    # t01 matches task:t01-fix-lexer without its kind, so its holder stays; only 2 of the 5
    # events match, found by reading further back than the 3 asked for
    shown = durnel_command(
        *("show", group.url, "-n", group.namespace, "--log-tail", "3"),
        *("--filter", "cy", "--filter", "t01"),
    )
    assert shown.stdout.split("\n", 1)[1] == (
        "2 agents (1 busy, 1 idle), 1 claim (1 ending, 0 lapsed), 3 messages in 2 mailboxes, "
        "5 log events\n"
        "\n"
        "Agents:\n"
        "  agent  status  claims  mailbox  oldest  last seen  where\n"
        "  ana    busy         1        2     10s    10s ago  build-1:4242\n"
        "  cy     idle                  1     10s          -  -\n"
        "\n"
        "Claims:\n"
        "  resource            holder     since    age   left\n"
        "! task:t01-fix-lexer  ana     00:16:40  4m00s  1m00s\n"
        "\n"
        "Log (last 2 of 5 events):\n"
        "  time      event          who      what\n"
        "  00:16:40  Claimed        ana      task:t01-fix-lexer\n"
        "  00:20:30  BroadcastSent  cy -> *  done t00\\nbye\n"
    )
    as_json = json.loads(durnel_command("show", group.url, "-n", group.namespace, "--json").stdout)
    assert as_json == durnel.snapshots.as_json(durnel.snapshot(group.state))
    assert as_json["format"] == 1 and as_json["now"] == 1240 and as_json["log_length"] == 5
    assert [event["id"] for event in as_json["log"]] == [1, 2, 3, 4, 5]
    assert as_json["claims"][2] == {
        "resource": "task:t01-fix-lexer",
        "holder": "ana",
        "stamp": 1000,
        "age": 240,
        "seconds_left": 60,
        "lapsed": False,
    }
    assert as_json["mailboxes"][0] == {
        "agent": "ana",
        "length": 2,
        "oldest_sent_at": 1230,
        "oldest_age": 10,
    }
    assert as_json["log"][-1]["content"] == "done t00\nbye" and "to_agent" not in as_json["log"][-1]


def test_show_reads_a_sqlite_file_and_never_makes_one(tmp_path):
    from durnel.sqlite import SQLiteCoordinationState

    state = SQLiteCoordinationState(str(tmp_path / "group.db"), "s")
    state.claim_task("ana", "t")
    state.send_message("ana", "bo", "hi")
    url = "sqlite:///" + str(tmp_path / "group.db")
    shown = json.loads(durnel_command("show", url, "-n", "s", "--json").stdout)
    expected = durnel.snapshots.as_json(durnel.snapshot(state))
    for shot in (shown, expected):  # read a second apart, perhaps
        del shot["now"]
        for row in shot["claims"] + shot["mailboxes"] + shot["presence"]:
            row.pop("age", None), row.pop("seconds_left", None), row.pop("oldest_age", None)
    assert shown == expected and shown["engine"] == "sqlite" and len(shown["log"]) == 2
    SQLiteCoordinationState(str(tmp_path / "group.db"), "t").broadcast("cy", "hello")
    empty = durnel_command("show", url)  # the default namespace, empty: the others named
    assert empty.returncode == 0 and empty.stdout.splitlines()[1:3] == [
        "0 agents (none), 0 claims (0 ending, 0 lapsed), 0 messages in 0 mailboxes, 0 log events",
        "namespace default holds nothing; the other namespaces here: s, t "
        "(show one with -n NAMESPACE)",
    ]
    assert json.loads(durnel_command("namespaces", url, "--json").stdout) == {
        "format": 1,
        "namespaces": [
            {"namespace": "s", "agents": 2, "claims": 1, "messages": 1, "log_events": 2},
            {"namespace": "t", "agents": 1, "claims": 0, "messages": 1, "log_events": 1},
        ],
    }
    for missing, command in (("typo.db", "show"), ("nodir/typo.db", "namespaces")):
        refused = durnel_command(command, "sqlite:///%s/%s" % (tmp_path, missing))
        assert refused.returncode == 1 and refused.stderr.count("\n") == 1
        assert refused.stderr.startswith(
            "durnel: cannot reach sqlite:///%s/%s: [Errno 2] there is no durnel file at "
            % (tmp_path, missing)
        )
    assert not (tmp_path / "typo.db").exists() and not (tmp_path / "nodir").exists()


def test_log_follow_streams_new_events_until_interrupted(group):
    follower = subprocess.Popen(
        DURNEL + ["log", group.url, "-n", group.namespace, "--tail", "1", "--follow"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=ENV,
    )
    try:
        assert follower.stdout.readline() == (
            "1970-01-01 00:20:30  BroadcastSent  cy -> *  done t00\\nbye\n"
        )
        group.at(1250)
        group.release("ana", "file:src/lexer.py")
        assert follower.stdout.readline() == (
            "1970-01-01 00:20:50  Released       ana  file:src/lexer.py\n"
        )
        follower.send_signal(signal.SIGINT)
        assert follower.wait(timeout=30) == 0
        assert follower.stderr.read() == ""
    finally:
        follower.kill()
        follower.wait()
    # resumed after an event's number, as log --json printed it
    resumed = durnel_command("log", group.url, "-n", group.namespace, "--after", "4", "--json")
    assert resumed.returncode == 0 and resumed.stderr == ""
    assert [json.loads(line) for line in resumed.stdout.splitlines()] == [
        {"format": 1, "id": 5, "event": "BroadcastSent", "at": 1230}
        | {"from_agent": "cy", "content": "done t00\nbye"},
        {"format": 1, "id": 6, "event": "Released", "at": 1250}
        | {"agent": "ana", "resource": "file:src/lexer.py"},
    ]


def test_watch_json_streams_one_document_per_picture(group):
    watcher = subprocess.Popen(
        DURNEL + ["watch", group.url, "-n", group.namespace, "--json", "--log-tail", "1"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=ENV,
    )
    try:
        first = json.loads(watcher.stdout.readline())  # a line is one whole document
        assert first["format"] == 1 and first["now"] == 1240 and len(first["claims"]) == 3
        assert [event["id"] for event in first["log"]] == [5]
        group.claim_task("dee", "t02-new")
        for _ in range(100):
            later = json.loads(watcher.stdout.readline())
            if len(later["claims"]) == 4:
                break
        assert later["log"] == [
            {"id": 6, "event": "Claimed", "at": 1240, "agent": "dee", "resource": "task:t02-new"}
        ]
        watcher.send_signal(signal.SIGINT)
        assert watcher.wait(timeout=30) == 0
        assert watcher.stderr.read() == ""
    finally:
        watcher.kill()
        watcher.wait()


def test_namespaces_of_a_cluster_through_any_node(redis_cluster, cluster_client):
    from durnel.redis import RedisCoordinationState

    prefix = "cli-" + uuid.uuid4().hex[:8]
    on_node = {}  # a namespace on each primary
    while len(on_node) < 3:
        name = "%s-%s" % (prefix, uuid.uuid4().hex[:6])
        on_node.setdefault(cluster_client.get_node_from_key("durnel:{%s}:x" % name).port, name)
    names = sorted(on_node.values())
    for count, name in enumerate(names, 1):
        state = RedisCoordinationState(cluster_client, name)
        for agent in range(count):
            state.claim_task("a%d" % agent, "t%d" % agent)
    url = "redis://127.0.0.1:%d/0" % redis_cluster.port
    listed = json.loads(durnel_command("namespaces", url, "--json").stdout)["namespaces"]
    assert [view for view in listed if view["namespace"].startswith(prefix)] == [
        {"namespace": name, "agents": n, "claims": n, "messages": 0, "log_events": n}
        for n, name in enumerate(names, 1)
    ]
    elsewhere = next(name for port, name in on_node.items() if port != redis_cluster.port)
    shown = json.loads(durnel_command("show", url, "-n", elsewhere, "--json").stdout)
    assert len(shown["claims"]) == names.index(elsewhere) + 1


def test_version_is_the_one_that_cmakelists_names():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    with open(os.path.join(root, "pyproject.toml"), encoding="utf-8") as handle:
        pattern = re.search(r"regex = '([^']*)'", handle.read()).group(1)
    with open(os.path.join(root, "CMakeLists.txt"), encoding="utf-8") as handle:
        version = re.search(pattern, handle.read()).group("value")
    shown = durnel_command("--version")
    assert shown.returncode == 0 and shown.stdout == "durnel %s\n" % version
    assert durnel.__version__ == version


# ---- in a terminal ----


class Terminal:
    """A tmux server of its own (its own socket) running one command in a window of ``width``
    columns and 40 lines; the command's exit code is written to a file, and what it left on
    the screen stays there."""

    def __init__(self, command, exit_file, width=100):
        tmux = shutil.which("tmux")
        if tmux is None:
            if os.environ.get("CI") == "true":
                pytest.fail("tmux is not installed")
            pytest.skip("tmux is not installed")
        self.base = [tmux, "-L", "durnel-" + uuid.uuid4().hex, "-f", os.devnull]
        self.exit_file = exit_file
        # GNU readline, once loaded into the test process, puts COLUMNS and LINES of its own
        # terminal into the environment, which tmux would pass on and rich believe.
        shell = "env -u COLUMNS -u LINES PYTHONPATH=%s %s; echo $? > %s; sleep 600" % (
            shlex.quote(ENV["PYTHONPATH"]),
            " ".join(map(shlex.quote, command)),
            shlex.quote(str(exit_file)),
        )
        self.tmux("new-session", "-d", "-x", str(width), "-y", "40", shell)

    def tmux(self, *args):
        return subprocess.run(
            self.base + list(args), capture_output=True, text=True, check=True, timeout=30
        ).stdout

    def screen(self, escapes=False):
        return self.tmux("capture-pane", "-p", *(["-e"] if escapes else []))

    def wait_for(self, text, escapes=False, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            screen = self.screen(escapes)
            if text in screen:
                return screen
            if time.monotonic() > deadline:
                raise AssertionError("%r never appeared; the screen:\n%s" % (text, screen))
            time.sleep(0.1)

    def exit_code(self, timeout=30):
        deadline = time.monotonic() + timeout
        while not self.exit_file.exists() or not self.exit_file.read_text().strip():
            if time.monotonic() > deadline:
                raise AssertionError("still running; the screen:\n" + self.screen())
            time.sleep(0.1)
        return int(self.exit_file.read_text())

    def close(self):
        subprocess.run(self.base + ["kill-server"], capture_output=True, timeout=30)


@pytest.fixture
def terminal(tmp_path):
    """terminal(*command, width=100) runs the command in a terminal of its own, closed after
    the test."""
    opened = []

    def run(*command, width=100):
        opened.append(Terminal(command, tmp_path / ("exit-%d" % len(opened)), width))
        return opened[-1]

    yield run
    for term in opened:
        term.close()


def test_watch_redraws_marks_changes_and_stops_on_q(group, terminal):
    watch = terminal(*DURNEL, "watch", group.url, "-n", group.namespace, "--interval", "0.3")
    screen = watch.wait_for("3 claims (1 ending, 1 lapsed)", escapes=True)
    assert "─" in screen  # drawn by rich
    lapsed = next(line for line in screen.splitlines() if "file:docs/guide.md" in line)
    ending = next(line for line in screen.splitlines() if "task:t01-fix-lexer" in line)
    assert "\x1b[31m" in lapsed and "\x1b[33m" in ending  # red, yellow
    group.claim_task("dee", "t02-new")
    screen = watch.wait_for("task:t02-new", escapes=True)
    fresh = next(line for line in screen.splitlines() if "task:t02-new" in line)
    assert "\x1b[7m" in fresh and "dee" in fresh  # marked as changed: reverse video
    watch.tmux("send-keys", "q")
    assert watch.exit_code() == 0
    left = watch.screen()  # the alternate screen is gone, the last picture is not
    assert "4 claims (1 ending, 1 lapsed)" in left and "task:t02-new" in left


def test_watch_fits_a_narrow_terminal_and_keeps_its_picture_on_ctrl_c(group, terminal):
    group.claim_file("dee", "src/" + "deeply/nested/" * 5 + "module.py")
    watch = terminal(*DURNEL, "watch", group.url, "-n", group.namespace, width=56)
    screen = watch.wait_for("Claims")
    rows = [line.split() for line in screen.splitlines() if line.startswith(("file:", "task:"))]
    # each claim keeps one line with every column, its key cut instead
    assert ["file:src/deeply/nest...", "dee", "00:20:40", "0s", "5m00s"] in rows
    assert ["file:docs/guide.md", "bo", "00:15:00", "5m40s", "lapsed"] in rows
    watch.tmux("send-keys", "C-c")
    assert watch.exit_code() == 0
    assert "file:src/deeply/nest...  dee" in watch.screen()


def test_show_in_a_terminal_without_rich_is_plain(group, terminal):
    code = "import sys; sys.modules['rich'] = None; from durnel.cli import main; sys.exit(main())"
    show = terminal(sys.executable, "-c", code, "show", group.url, "-n", group.namespace)
    assert show.exit_code() == 0
    screen = show.screen()
    assert "Claims:\n  resource            holder     since    age    left\n" in screen
    assert "─" not in screen


@pytest.mark.every_engine
@pytest.mark.reachable_only
def test_revoke_frees_a_claim_for_the_waiter_that_show_lists(state, engine, request):
    needs(state, "revoke")
    url, namespace = url_of(engine, request), state.namespace
    here = "%s:%d" % (socket.gethostname(), os.getpid())
    state.claim_file("ana", "src/a.py")
    waiting = durnel.snapshots.open_for_reading(url, namespace)
    taken = []
    thread = threading.Thread(
        target=lambda: taken.append(waiting.wait_claim_file("bo", "src/a.py", timeout=30))
    )
    thread.start()
    try:
        for _ in range(300):
            shot = json.loads(durnel_command("show", url, "-n", namespace, "--json").stdout)
            if shot["waiters"]:
                break
        since = shot["waiters"][0]["since"]
        assert shot["waiters"] == [
            {"kind": "claim", "key": "file:src/a.py", "position": 1, "agent": "bo"}
            | {"since": since, "host": socket.gethostname(), "pid": os.getpid()}
        ]
        assert 0 <= shot["now"] - since < 60
        lines = durnel_command("show", url, "-n", namespace, "--filter", "src/").stdout
        lines = lines.splitlines()
        assert re.fullmatch(r"  agent +status +claims +mailbox +oldest +last seen +where", lines[4])
        assert re.fullmatch(r"  ana +busy +1 +\d+s ago +%s" % re.escape(here), lines[5])
        # seen waiting, and on no roster yet: listed without a status
        assert re.fullmatch(r"  bo +- +\d+s ago +%s" % re.escape(here), lines[6])
        assert lines[1].startswith("2 agents (1 busy, 1 without status), 1 claim ")
        assert lines[12:14] == ["Waiting:", "  waiting for    #  agent     since  waited  where"]
        assert re.fullmatch(
            r"  file:src/a\.py  1  bo     \d\d:\d\d:\d\d +\d+s  %s" % re.escape(here), lines[14]
        )
        revoked = durnel_command("revoke", url, "file:src/a.py", "-n", namespace)
        assert revoked.returncode == 0 and revoked.stdout == (
            "revoked file:src/a.py, held by ana in namespace %s on %s, logged as revoked by "
            "operator@%s\n" % (namespace, url, socket.gethostname())
        )
        thread.join(60)
        assert taken == ["bo"]  # the holder, as a claim returns it
        logged = durnel_command("log", url, "-n", namespace, "--tail", "2").stdout
        assert [line[21:] for line in logged.splitlines()] == [
            "Revoked        ana  file:src/a.py, revoked by operator@" + socket.gethostname(),
            "Claimed        bo  file:src/a.py",
        ]
        refused = durnel_command("revoke", url, "file:src/b.py", "-n", namespace, "--by", "ops")
        assert refused.returncode == 1 and refused.stderr.count("\n") == 1
        assert re.match("durnel: .*file:src/b.py", refused.stderr)  # the engine's words
    finally:
        thread.join(60)
        waiting.close()


@pytest.mark.every_engine
@pytest.mark.reachable_only
def test_drop_deletes_one_namespace_once_confirmed(state, engine, request, terminal):
    needs(state, "delete_namespace")
    url = url_of(engine, request)
    state.claim_task("ana", "t1")
    state.send_message("ana", "bo", "hi")
    # a namespace that "NAMESPACE*" would match; opened as the command opens one (a cluster)
    neighbour = durnel.snapshots.open_for_reading(url, state.namespace + "-x")
    neighbour.claim_task("cy", "t1")
    what = "namespace %s (2 agents, 1 claim, 1 message, 2 log events)" % state.namespace

    def listed():
        found = json.loads(durnel_command("namespaces", url, "--json").stdout)["namespaces"]
        return {v["namespace"] for v in found} & {state.namespace, neighbour.namespace}

    try:
        piped = durnel_command("drop", url, "-n", state.namespace)
        assert piped.returncode == 1 and piped.stderr == (
            "durnel: not deleting %s: no terminal to ask on; pass --yes\n" % what
        )
        asked = terminal(*DURNEL, "drop", url, "-n", state.namespace, width=200)
        asked.wait_for("delete %s? [y/N]" % what)
        asked.tmux("send-keys", "n", "Enter")
        assert asked.exit_code() == 1 and "durnel: nothing deleted" in asked.screen()
        assert listed() == {state.namespace, neighbour.namespace}
        dropped = durnel_command("drop", url, "-n", state.namespace, "--yes")
        assert dropped.returncode == 0 and dropped.stdout == "deleted %s on %s\n" % (what, url)
        assert listed() == {neighbour.namespace} and neighbour.status("cy") == "busy"
        again = durnel_command("drop", url, "-n", state.namespace, "--yes")
        assert again.returncode == 1 and again.stderr == (
            "durnel: namespace %s holds nothing on %s: nothing to delete\n" % (state.namespace, url)
        )
    finally:
        neighbour.delete_namespace()
        neighbour.close()


def test_durnel_logs_only_when_asked(run_python, tmp_path):
    script = (
        "import logging\n"
        "from durnel.cli import main\n"
        "logging.getLogger('durnel.sqlite').warning('unheard')\n"
        "main(%r)\n"
        "logging.getLogger('durnel.sqlite').info('migrated %%s', 'x.db')\n"
        "logging.getLogger('durnel.sqlite').debug('quiet at info')\n"
    )
    url = "sqlite:///%s/nothing.db" % tmp_path
    silent = run_python(script % (["show", url],))
    assert "unheard" not in silent.stderr and "migrated" not in silent.stderr
    for options in (["-v", "show", url], ["show", url, "--log-level", "INFO"]):
        heard = run_python(script % (options,)).stderr.splitlines()
        assert re.fullmatch(r"\d\d:\d\d:\d\d INFO durnel\.sqlite: migrated x\.db", heard[-1])
        assert "unheard" not in heard[0] and not any("quiet" in line for line in heard)


# ---- errors ----


def test_errors_are_one_line_with_their_exit_codes(run_python):
    port = free_port()
    down = durnel_command("show", "redis://:s3cret@127.0.0.1:%d/0" % port)
    assert down.returncode == 1 and down.stdout == ""
    assert down.stderr.startswith("durnel: cannot reach redis://:***@127.0.0.1:%d/0: " % port)
    assert down.stderr.count("\n") == 1 and "s3cret" not in down.stderr
    for url, message in [
        ("http://h", "unsupported coordination URL 'http://h': the scheme must be one of "),
        ("redis://h:port/0", "bad coordination URL 'redis://h:port/0': "),
    ]:
        bad = durnel_command("watch", url)
        assert bad.returncode == 1 and bad.stderr.startswith("durnel: " + message), bad.stderr
        assert bad.stderr.count("\n") == 1
    for usage in (
        [],
        ["show"],
        ["show", "redis://h", "--log-tail", "-1"],
        ["watch", "redis://h", "--interval", "0"],
        ["look", "redis://h"],
        ["drop", "redis://h", "--yes"],  # no namespace dropped by default
        ["revoke", "redis://h", "task:t", "--by", " "],
        ["show", "redis://h", "--log-level", "loud"],
    ):
        wrong = durnel_command(*usage)
        assert wrong.returncode == 2 and "usage: durnel" in wrong.stderr, usage
    assert durnel_command("log", "--help").returncode == 0
    missing = run_python(
        "import sys\n"
        "sys.modules['redis'] = None\n"
        "from durnel.cli import main\n"
        "sys.exit(main(['show', 'redis://127.0.0.1:1/0']))\n"
    )
    assert missing.returncode == 1 and missing.stderr == (
        "durnel: durnel's Redis engine needs the Python package 'redis', which is not "
        'installed: pip install "durnel_core[redis]"\n'
    )
    script = os.path.join(os.path.dirname(sys.executable), "durnel")
    if os.environ.get("DURNEL_TESTING_INSTALLED_WHEEL") == "1":  # the console script
        helped = subprocess.run([script, "show", "--help"], capture_output=True, text=True)
        assert helped.returncode == 0 and helped.stdout.startswith("usage: durnel show")


def test_watch_shows_a_killed_holder_s_ephemeral_claim_go_to_its_waiter(tmp_path, terminal):
    url = "sqlite:///%s/state.db" % tmp_path
    holds = (
        "import sys\nimport durnel\ns = durnel.connect(sys.argv[1])\n"
        "s.claim_task('crashy', 't')\nprint('held', flush=True)\nsys.stdin.read()\n"
    )
    holder = subprocess.Popen(
        [sys.executable, "-c", holds, url + "?ephemeral_claims=1"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        env=ENV,
    )
    waiting = durnel.connect(url)
    try:
        assert holder.stdout.readline() == b"held\n"
        watch = terminal(*DURNEL, "watch", url, "--interval", "0.3", width=120)
        taken = []
        thread = threading.Thread(
            target=lambda: taken.append(waiting.wait_claim_task("w", "t", timeout=60))
        )
        thread.start()
        screen = watch.wait_for("Waiting:")  # the waiter listed behind the live holder
        assert re.search(r"task:t +crashy", screen) and re.search(r"task:t +1 +w ", screen)
        holder.kill()
        holder.wait()
        thread.join(30)
        assert taken == ["w"]  # within about a second, not after the lease
        screen = watch.wait_for("Released")
        assert re.search(r"task:t +w ", screen) and "Waiting:" not in screen
        watch.tmux("send-keys", "q")
        assert watch.exit_code() == 0
    finally:
        holder.kill()
        holder.wait()
        waiting.close()
