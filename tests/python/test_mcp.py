"""`durnel mcp` driven as assistants drive it: the MCP SDK's own client, over stdio (the server
a child process it launches) and over streamable HTTP on loopback (a `durnel mcp --http`
process), on the SQLite file by default, the in-process engine over HTTP and Redis. Checked:
the tools' schemas; two agents: a refused claim naming its holder, a message waking a wait
(with progress notifications), a release handing a waited file on, neither able to act as
the other, an operator able to; a cancelled wait leaving no waiter and losing no message; a
server SIGKILLed mid-wait and restarted on its file having lost nothing; bad input to every
tool refused, changing nothing; an MCP session and a plain Python agent on one group."""

import contextlib
import json
import os
import re
import sqlite3
import subprocess
import sys
import time

import pytest

import durnel
from conftest import MODULE_DIR, new_namespace

if sys.version_info < (3, 10):
    pytest.skip("the mcp package needs Python 3.10 or later", allow_module_level=True)
try:
    import anyio
    import httpx2
    import mcp_types
    from mcp import Client
    from mcp.client.stdio import StdioServerParameters
    from mcp.client.streamable_http import streamable_http_client
except ImportError as error:  # the extra must be there under CI
    if os.environ.get("CI") == "true":
        raise
    pytest.skip("the mcp extra is not installed: %s" % error, allow_module_level=True)

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(durnel.__file__)))
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, SOURCE_DIR]))
MCP = [sys.executable, "-m", "durnel", "mcp"]
TOOLS = {
    "claim_file": ["path"],
    "claim_task": ["task_id"],
    "wait_claim_file": ["path"],
    "wait_claim_task": ["task_id"],
    "renew_claim": ["resource_key"],
    "release": ["resource_key"],
    "send_message": ["to_agent", "content"],
    "broadcast": ["content"],
    "inbox": [],
    "drain_inbox": [],
    "wait_for_messages": [],
    "status": [],
    "who_holds": [],
    "group_snapshot": [],
    "whoami": [],
}


def stdio(cwd, *args):
    parameters = StdioServerParameters(command=MCP[0], args=MCP[1:] + list(args), env=ENV, cwd=cwd)
    return Client(parameters, client_info=mcp_types.Implementation(name="Test Bot", version="0"))


class HttpServer:
    """`durnel mcp --http 127.0.0.1:0 ARGS` in a child process; its URL from its first line."""

    def __init__(self, *args, **env):
        command = MCP + list(args) + ["--http", "127.0.0.1:0"]
        self.process = subprocess.Popen(
            command, env=dict(ENV, **env), stderr=subprocess.PIPE, text=True
        )
        line = self.process.stderr.readline()
        self.url = re.search(r"http://\S+", line).group(0)

    def session(self, agent, mode="auto", **headers):
        http = httpx2.AsyncClient(headers={"Durnel-Agent": agent, **headers})
        return Client(streamable_http_client(self.url, http_client=http), mode=mode)

    def stop(self):
        self.process.kill()
        self.process.wait()


@pytest.fixture
def http_server():
    started = []
    yield lambda *args, **env: started.append(HttpServer(*args, **env)) or started[-1]
    for server in started:
        server.stop()


async def call(session, tool, **arguments):
    result = await session.call_tool(tool, arguments)
    assert not result.is_error, result.content[0].text
    return result.structured_content


async def refused(session, tool, **arguments):
    result = await session.call_tool(tool, arguments)
    assert result.is_error, result.structured_content
    return result.content[0].text


def waiters(db):
    with sqlite3.connect(db) as connection:
        return connection.execute("SELECT count(*) FROM waiters").fetchone()[0]


async def eventually(check, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, "never came true"
        await anyio.sleep(0.05)


@pytest.mark.parametrize("transport", ["stdio", "http"])
def test_two_agents_share_a_group(transport, tmp_path, http_server):
    """stdio: two servers on the default file of one working tree, and an operator; HTTP: one
    server holding the in-process engine, a session per agent, both protocol eras."""
    if transport == "stdio":
        open_session = lambda agent, mode=None: stdio(tmp_path, "--agent", agent)  # noqa: E731
    else:
        open_session = http_server().session

    async def scenario():
        async with open_session("ana") as ana, open_session("bo", "legacy") as bo:
            listed = {tool.name: tool for tool in (await ana.list_tools()).tools}
            assert {n: t.input_schema.get("required", []) for n, t in listed.items()} == TOOLS
            for tool in listed.values():
                assert "as_agent" not in tool.input_schema["properties"]
                assert tool.output_schema is not None and len(tool.description) > 40
            await call(ana, "claim_file", path="src/app.py")
            text = await refused(bo, "claim_file", path="src/app.py")
            assert text.startswith("ana already holds claim on src/app.py\nana holds it until ")
            # a message wakes bo's wait; it reported progress while it slept
            sleeping, progress, woken = anyio.Event(), [], {}

            async def reported(done, total, message):
                progress.append((total, message))
                sleeping.set()

            async def wait(tool, arguments):
                woken[tool] = await bo.call_tool(tool, arguments, progress_callback=reported)

            async with anyio.create_task_group() as tasks:
                tasks.start_soon(wait, "wait_for_messages", {})
                await sleeping.wait()
                await call(ana, "send_message", to_agent="bo", content="app.py is yours next")
            mail = woken["wait_for_messages"].structured_content
            assert [(m["sender"], m["content"]) for m in mail["messages"]] == [
                ("ana", "app.py is yours next")
            ]
            assert mail["timed_out"] is False and progress[0] == (60, "waiting for messages")
            # ana's release hands the file to bo, who waits for it
            sleeping = anyio.Event()
            async with anyio.create_task_group() as tasks:
                tasks.start_soon(wait, "wait_claim_file", {"path": "src/app.py"})
                await sleeping.wait()
                await call(ana, "release", resource_key="file:src/app.py")
            assert woken["wait_claim_file"].structured_content["agent"] == "bo"
            held = await call(ana, "who_holds", resource_key="file:src/app.py")
            assert [(c["holder"], c["seconds_left"] > 290) for c in held["claims"]] == [
                ("bo", True)
            ]
            # neither acts as the other
            assert (await refused(ana, "release", resource_key="file:src/app.py")).startswith(
                "ana cannot release a claim held by bo\n"
            )
            text = await refused(ana, "release", resource_key="file:src/app.py", as_agent="bo")
            assert text.startswith("unexpected argument 'as_agent' for release")
            assert (await call(bo, "status"))["status"] == "busy"
            if transport == "http":  # the operator: see stdio (one server per group here)
                return
            async with stdio(tmp_path, "--operator", "--agent", "coordinator") as boss:
                tool = next(t for t in (await boss.list_tools()).tools if t.name == "release")
                assert "as_agent" in tool.input_schema["properties"]
                await call(boss, "release", resource_key="file:src/app.py", as_agent="bo")
                assert (await call(ana, "who_holds"))["claims"] == []

    anyio.run(scenario)


def test_http_refuses_other_origins_hosts_tokens_and_agents(http_server):
    server = http_server(DURNEL_MCP_TOKEN="s3cret")
    token = {"Authorization": "Bearer s3cret"}
    for headers, status in [
        ({}, 401),
        ({"Authorization": "Bearer s3crex"}, 401),
        (dict(token, Origin="http://127.0.0.1:9"), 403),
        (dict(token, Host="attacker.example:80"), 421),
    ]:
        assert httpx2.post(server.url, headers=headers, json={}).status_code == status

    async def scenario():
        headers = {"Durnel-Agent": "ana", **token}
        http = httpx2.AsyncClient(headers=headers)
        transport = streamable_http_client(server.url, http_client=http)
        async with http, Client(transport, mode="legacy") as ana:
            assert (await call(ana, "whoami"))["agent"] == "ana"
            http.headers["Durnel-Agent"] = "bo"
            assert "this session acts as ana; it cannot act as bo" in await refused(
                ana, "send_message", to_agent="cy", content="from bo?"
            )
        async with server.session("", **token) as anonymous:
            assert "has not said which agent it is" in await refused(anonymous, "inbox")
        http = httpx2.AsyncClient(headers=token)
        async with Client(streamable_http_client(server.url + "?agent=cy", http_client=http)) as cy:
            assert (await call(cy, "inbox"))["count"] == 0  # nothing was sent as bo

    anyio.run(scenario)


@pytest.mark.parametrize("transport", ["stdio", "http"])
def test_a_cancelled_wait_leaves_no_waiter_and_loses_nothing(transport, tmp_path, http_server):
    db = str(tmp_path / "group.db")
    url = "sqlite:///" + db
    server = http_server(url) if transport == "http" else None

    def open_session(agent):
        return stdio(tmp_path, url, "--agent", agent) if server is None else server.session(agent)

    async def scenario():
        async with open_session("ana") as ana, open_session("bo") as bo:
            await call(ana, "send_message", to_agent="bo", content="registers bo")
            await call(bo, "drain_inbox")
            with anyio.CancelScope() as waiting:

                async def cancel_once_asleep():
                    await eventually(lambda: waiters(db) == 1)
                    waiting.cancel()

                async with anyio.create_task_group() as tasks:
                    tasks.start_soon(cancel_once_asleep)
                    await bo.call_tool("wait_for_messages", {"timeout": 30})
            await eventually(lambda: waiters(db) == 0)
            await call(ana, "send_message", to_agent="bo", content="after the cancel")
            mail = await call(bo, "wait_for_messages", timeout=5)
            assert [m["content"] for m in mail["messages"]] == ["after the cancel"]

    anyio.run(scenario)


def test_a_server_killed_mid_wait_loses_nothing_acknowledged(tmp_path, http_server):
    db = str(tmp_path / "group.db")
    first = http_server("sqlite:///" + db)

    async def kill_once_asleep():
        await eventually(lambda: waiters(db) == 1)
        first.stop()  # SIGKILL

    async def before():
        with contextlib.suppress(Exception):  # the calls and sessions the kill cut short
            async with first.session("ana") as ana, first.session("bo") as bo:
                await call(ana, "claim_file", path="a.py")
                await call(ana, "send_message", to_agent="bo", content="kept")
                await call(bo, "broadcast", content="also kept")
                async with anyio.create_task_group() as tasks:
                    tasks.start_soon(kill_once_asleep)
                    await bo.call_tool("wait_claim_file", {"path": "a.py", "timeout": 30})
        assert first.process.returncode == -9

    async def after(second):
        async with second.session("bo") as bo:
            assert [c["holder"] for c in (await call(bo, "who_holds"))["claims"]] == ["ana"]
            mail = await call(bo, "drain_inbox")
            assert [m["content"] for m in mail["messages"]] == ["kept", "also kept"]

    anyio.run(before)
    anyio.run(after, http_server("sqlite:///" + db))


def test_bad_input_to_every_tool_is_refused_naming_the_argument_and_changes_nothing(tmp_path):
    url = "sqlite:///" + str(tmp_path / "group.db")
    bad = [
        ("claim_file", {}, "path"),
        ("claim_file", {"path": 7}, "path"),
        ("claim_file", {"path": ""}, "path"),
        ("claim_task", {"task_id": None}, "task_id"),
        ("wait_claim_file", {"path": "a.py", "timeout": -1}, "timeout"),
        ("wait_claim_task", {"task_id": "t", "timeout": "soon"}, "timeout"),
        ("renew_claim", {"resource_key": "a.py"}, "resource_key"),
        ("release", {"resource_key": ["file:a.py"]}, "resource_key"),
        ("send_message", {"to_agent": "bo"}, "content"),
        ("send_message", {"to_agent": "bo", "content": "x", "from_agent": "bo"}, "from_agent"),
        ("broadcast", {"content": {"text": "x"}}, "content"),
        ("inbox", {"agent_id": "bo"}, "agent_id"),
        ("drain_inbox", {"as_agent": "bo"}, "as_agent"),
        ("wait_for_messages", {"timeout": float("nan")}, "timeout"),
        ("status", {"agent": 3}, "agent"),
        ("who_holds", {"resource_key": "bo"}, "resource_key"),
        ("group_snapshot", {"namespace": "x"}, "namespace"),
        ("whoami", {"agent": "bo"}, "agent"),
    ]
    assert {tool for tool, _, _ in bad} == set(TOOLS)

    async def scenario():
        async with stdio(tmp_path, url, "--agent", "ana") as ana:
            await call(ana, "claim_file", path="held.py")
            await call(ana, "send_message", to_agent="bo", content="queued")
            state = durnel.connect(url)

            def picture():
                shot = durnel.snapshot(state, log_tail=100)
                claims = [(c.resource, c.holder, c.stamp) for c in shot.claims]
                boxes = [(m.agent, m.length, m.oldest_sent_at) for m in shot.mailboxes]
                return shot.agents, claims, boxes, shot.log

            before = picture()
            for tool, arguments, name in bad:
                text = await refused(ana, tool, **arguments)
                assert re.search(r"\b%s\b" % name, text), (tool, arguments, text)
            assert picture() == before
            state.close()

    anyio.run(scenario)


@pytest.mark.parametrize("store", ["sqlite", "redis"])
def test_an_mcp_session_and_a_python_agent_see_each_other(store, tmp_path, request):
    if store == "sqlite":
        url = "sqlite:///" + str(tmp_path / "group.db")
    else:
        url = request.getfixturevalue("redis_server").url
    namespace = new_namespace()
    python_agent = durnel.connect(url, namespace=namespace)

    async def scenario():
        async with stdio(tmp_path, url, "-n", namespace, "--agent", "ana") as ana:
            python_agent.claim_file("py", "shared.py")
            text = await refused(ana, "claim_file", path="shared.py")
            assert text.startswith("py already holds claim on shared.py\npy holds it until ")
            text = await refused(ana, "wait_claim_file", path="shared.py", timeout=0.5)
            assert text.startswith("py already holds claim on shared.py\nStill held after waiting")
            await call(ana, "claim_task", task_id="t1")
            with pytest.raises(RuntimeError, match="^ana already holds claim on task t1$"):
                python_agent.claim_task("py", "t1")
            await call(ana, "send_message", to_agent="py", content="hello from MCP")
            assert [m[2] for m in python_agent.wait_for_messages("py", 10)] == ["hello from MCP"]
            python_agent.send_message("py", "ana", "hello from Python")
            mail = await call(ana, "wait_for_messages", timeout=10)
            assert [(m["sender"], m["content"]) for m in mail["messages"]] == [
                ("py", "hello from Python")
            ]

    try:
        anyio.run(scenario)
    finally:
        python_agent.close()


def test_stdio_lines_skip_garbage_keep_large_messages_whole_and_end_at_eof(tmp_path):
    """The server's own stdio pipes: a line that is not a message is skipped, a result larger
    than a pipe holds arrives whole, and the end of stdin stops the server cleanly."""
    url = "sqlite:///" + str(tmp_path / "state.db")
    opening = {
        "jsonrpc": "2.0",
        "id": 1,
        "method": "initialize",
        "params": {
            "protocolVersion": "2025-06-18",
            "capabilities": {},
            "clientInfo": {"name": "t", "version": "0"},
        },
    }
    server = subprocess.run(
        MCP + [url, "--agent", "ana"],
        input="not json\n" + json.dumps(opening) + "\n",
        capture_output=True,
        text=True,
        env=ENV,
        cwd=tmp_path,
        timeout=60,
    )
    assert server.returncode == 0, server.stderr
    (line,) = server.stdout.splitlines()
    assert json.loads(line)["id"] == 1 and "result" in json.loads(line)

    big = "x" * (1 << 20)

    async def scenario():
        async with stdio(tmp_path, url, "--agent", "ana") as ana:
            sent = await call(ana, "send_message", to_agent="ana", content=big)
            assert sent["message"]["content"] == big
            mail = await call(ana, "drain_inbox")
            assert [m["content"] for m in mail["messages"]] == [big]

    anyio.run(scenario)
