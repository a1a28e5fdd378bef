"""The MCP tools of ``durnel mcp``: the contract's twelve operations, ``who_holds``,
``group_snapshot`` and ``whoami``, for an assistant to call.

Guarantees:
- a tool acts as the calling session's agent (``identity.py``); only an ``--operator``
  server lists ``as_agent`` to act for another, and any argument a tool does not list is
  refused, so a call cannot name another agent by accident;
- a refused call is a tool error whose first line is the contract's own refusal text
  (``ana already holds claim on src/app.py``), followed by what to do next; a bad argument
  is a tool error naming the argument; neither changes anything (the SDK validates the
  arguments before a tool runs, a text that UTF-8 cannot encode is refused here, and the
  engines change nothing on a refusal);
- a wait lasts at most MAX_WAIT_SECONDS a call, sends a progress notification every
  PROGRESS_SECONDS while it sleeps, and a client that cancels it loses nothing (the engines'
  own guarantee for a cancelled asyncio call: nothing is taken, or it is handed back).
"""

import asyncio
import inspect
import json
import time
from typing import Annotated, Optional

from mcp.server.mcpserver import Context
from mcp.server.mcpserver.exceptions import ToolError
from mcp_types import CallToolResult, TextContent
from pydantic import Field

from ..contract import FILE_PREFIX, LEASE_SECONDS, TASK_PREFIX
from ..snapshots import as_json, event_json
from . import results
from .group import Group
from .identity import Identity

__all__ = ["MAX_WAIT_SECONDS", "PROGRESS_SECONDS", "register"]

MAX_WAIT_SECONDS = 60.0
PROGRESS_SECONDS = 1.0
LOG_RESOURCE_EVENTS = 100

INSTRUCTIONS = """\
durnel coordinates the agents working on one repository: claims on files and tasks (each \
lasts %d s unless renewed), mailboxes, statuses. Before you edit a file, claim it \
(claim_file); if it is refused, someone else holds it: wait for it (wait_claim_file) or \
message the holder. Release what you no longer need. Check your mail (wait_for_messages \
waits for it instead of polling). who_holds and group_snapshot show the group without \
changing it.""" % (LEASE_SECONDS,)

_WAIT_TIMEOUT = Field(
    default=MAX_WAIT_SECONDS,
    ge=0,
    description="seconds to wait at most (the server stops any wait after %g)" % MAX_WAIT_SECONDS,
)
AsAgent = Annotated[Optional[str], Field(description="operator only: the agent to act for")]


def _text(name, value):
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise ToolError("argument '%s': not valid Unicode text (a lone surrogate)" % name) from None
    return value


def _key(value):
    _text("resource_key", value)
    if not value.startswith((FILE_PREFIX, TASK_PREFIX)):
        raise ToolError(
            "argument 'resource_key' must start with 'file:' or 'task:' (the key that "
            "claim_file or claim_task returned), not %r" % (value,)
        )
    return value


def _error(text: str) -> CallToolResult:
    return CallToolResult(content=[TextContent(type="text", text=text)], is_error=True)


def _left(seconds: int) -> str:
    return "%dm%02ds" % divmod(seconds, 60) if seconds >= 60 else "%ds" % seconds


class Tools:
    """The tool functions of one server: each a coroutine of its arguments and the call's
    Context, acting through ``group`` as ``identity`` says."""

    def __init__(self, group: Group, identity: Identity) -> None:
        self.group = group
        self.identity = identity

    async def _refused_claim(self, refusal, resource_key, waiting):
        """A claim's refusal, with who holds it until when and what to do next."""
        text = str(refusal)
        view = await self.group.claim_view(resource_key)
        if view is None or view.lapsed:
            return _error(text + "\nIt was released or lapsed just now: claim it again.")
        wait = "wait_claim_file" if resource_key.startswith(FILE_PREFIX) else "wait_claim_task"
        advice = (
            "%s holds it until about %s (%s left). Wait for it with %s (you get it when %s "
            "releases it or the lease lapses), or ask %s for it with send_message."
            % (
                view.holder,
                results.iso(view.stamp + LEASE_SECONDS),
                _left(view.seconds_left),
                wait,
                view.holder,
                view.holder,
            )
        )
        if waiting is not None:
            advice = "Still held after waiting %gs. " % waiting + advice
        return _error(text + "\n" + advice)

    async def _claim(self, ctx, prefix, name, as_agent, wait=None):
        agent = self.identity.of(ctx, as_agent)
        key = prefix + name
        try:
            if wait is None:
                await self.group.claim(prefix, agent, name)
            else:
                what = "the claim on " + key
                await _waiting(ctx, what, wait, self.group.claim(prefix, agent, name, wait))
        except RuntimeError as refusal:
            return await self._refused_claim(refusal, key, wait)
        return results.claimed(agent, key, int(time.time()))

    # ---- claims ----

    async def claim_file(
        self,
        path: str = Field(
            min_length=1, description="the file, as a path relative to the repository root"
        ),
        ctx: Context = None,
        as_agent: AsAgent = None,
    ) -> results.Claimed:
        """Claim a file before you edit it, so nobody else edits it meanwhile. The claim lasts
        300 s; renew_claim it if you need longer, release it when done. Refused while another
        agent (or you) holds it: the error names the holder and when the claim ends; then call
        wait_claim_file, or message the holder. Do not edit a file you could not claim."""
        return await self._claim(ctx, FILE_PREFIX, _text("path", path), as_agent)

    async def claim_task(
        self,
        task_id: str = Field(min_length=1, description="the task's name, as the group names it"),
        ctx: Context = None,
        as_agent: AsAgent = None,
    ) -> results.Claimed:
        """Claim a task so that no other agent works on it. Like claim_file: 300 s, renew or
        release it; refused while someone holds it (then wait_claim_task, or pick another
        task)."""
        return await self._claim(ctx, TASK_PREFIX, _text("task_id", task_id), as_agent)

    async def wait_claim_file(
        self,
        path: str = Field(min_length=1, description="the file, relative to the repository root"),
        timeout: float = _WAIT_TIMEOUT,
        ctx: Context = None,
        as_agent: AsAgent = None,
    ) -> results.Claimed:
        """Claim a file, waiting while another agent holds it: you get it as soon as the
        holder releases it or its lease lapses (waiters are served first come, first served).
        Refused like claim_file if it is still held when the timeout passes; call again to
        keep waiting."""
        timeout = min(timeout, MAX_WAIT_SECONDS)
        return await self._claim(ctx, FILE_PREFIX, _text("path", path), as_agent, timeout)

    async def wait_claim_task(
        self,
        task_id: str = Field(min_length=1, description="the task's name"),
        timeout: float = _WAIT_TIMEOUT,
        ctx: Context = None,
        as_agent: AsAgent = None,
    ) -> results.Claimed:
        """Claim a task, waiting while another agent holds it, like wait_claim_file."""
        timeout = min(timeout, MAX_WAIT_SECONDS)
        return await self._claim(ctx, TASK_PREFIX, _text("task_id", task_id), as_agent, timeout)

    async def renew_claim(
        self,
        resource_key: str = Field(description="'file:<path>' or 'task:<task_id>'"),
        ctx: Context = None,
        as_agent: AsAgent = None,
    ) -> results.Claimed:
        """Restart the 300 s lease of a claim you hold (long work: renew before it ends).
        Refused if you hold no claim on it: then claim it again."""
        agent = self.identity.of(ctx, as_agent)
        try:
            await self.group.renew(agent, _key(resource_key))
        except RuntimeError as refusal:
            return _error(
                str(refusal) + "\nYou do not hold it: claim it (claim_file or claim_task)."
            )
        return results.claimed(agent, resource_key, int(time.time()))

    async def release(
        self,
        resource_key: str = Field(description="'file:<path>' or 'task:<task_id>'"),
        ctx: Context = None,
        as_agent: AsAgent = None,
    ) -> results.Released:
        """Release a claim you hold, as soon as you are done with the file or task, so that
        the next agent gets it. Refused if you hold no claim on it."""
        agent = self.identity.of(ctx, as_agent)
        try:
            await self.group.release(agent, _key(resource_key))
        except RuntimeError as refusal:
            return _error(str(refusal) + "\nNothing was released: you hold no claim on it.")
        return results.Released(agent=agent, resource_key=resource_key)

    # ---- messages ----

    async def send_message(
        self,
        to_agent: str = Field(min_length=1, description="the agent to write to"),
        content: str = Field(description="the message"),
        ctx: Context = None,
        as_agent: AsAgent = None,
    ) -> results.Sent:
        """Send a message to one agent's mailbox (ask a holder for a file, report work
        done). It arrives at once; the recipient reads it with wait_for_messages."""
        agent = self.identity.of(ctx, as_agent)
        message = await self.group.send(
            agent, _text("to_agent", to_agent), _text("content", content)
        )
        return results.Sent(message=results.message_row(message))

    async def broadcast(
        self,
        content: str = Field(description="the message"),
        ctx: Context = None,
        as_agent: AsAgent = None,
    ) -> results.Sent:
        """Send a message to every agent of the group (those that ever claimed, released,
        broadcast or received a message), yourself included."""
        agent = self.identity.of(ctx, as_agent)
        message = await self.group.broadcast(agent, _text("content", content))
        return results.Sent(message=results.message_row(message))

    async def inbox(self, ctx: Context = None, as_agent: AsAgent = None) -> results.Mail:
        """Read your mailbox without emptying it, oldest message first."""
        agent = self.identity.of(ctx, as_agent)
        return results.mail(agent, await self.group.engine.inbox(agent))

    async def drain_inbox(self, ctx: Context = None, as_agent: AsAgent = None) -> results.Mail:
        """Take every message from your mailbox (oldest first); each is returned once."""
        agent = self.identity.of(ctx, as_agent)
        return results.mail(agent, await self.group.engine.drain_inbox(agent))

    async def wait_for_messages(
        self,
        timeout: float = _WAIT_TIMEOUT,
        ctx: Context = None,
        as_agent: AsAgent = None,
    ) -> results.Mail:
        """Take your messages like drain_inbox; if there are none, wait until one arrives
        (then return it at once) or the timeout passes (then timed_out is true: call again to
        keep waiting). Use it instead of polling your inbox."""
        agent = self.identity.of(ctx, as_agent)
        timeout = min(timeout, MAX_WAIT_SECONDS)
        start = time.monotonic()
        messages = await _waiting(
            ctx, "messages", timeout, self.group.engine.wait_for_messages(agent, timeout)
        )
        return results.mail(agent, messages, not messages, time.monotonic() - start)

    # ---- seeing the group ----

    async def status(
        self,
        agent: Optional[str] = Field(default=None, description="whose status (default: yours)"),
        ctx: Context = None,
    ) -> results.StatusRow:
        """An agent's status: busy after a claim, idle after a release (or never seen)."""
        agent = self.identity.of(ctx) if agent is None else _text("agent", agent)
        return results.StatusRow(agent=agent, status=await self.group.engine.status(agent))

    async def who_holds(
        self,
        resource_key: Optional[str] = Field(
            default=None, description="'file:<path>' or 'task:<task_id>' (default: every claim)"
        ),
    ) -> results.Held:
        """Who holds a file or task, or every claim of the group, with when each lease ends;
        changes nothing. Look before you claim or plan work. Lapsed claims are listed (and
        marked) until someone takes them over."""
        wanted = None if resource_key is None else _key(resource_key)
        shot = await self.group.snapshot()
        rows = [results.claim_row(c) for c in shot.claims if wanted in (None, c.resource)]
        return results.Held(now=shot.now, now_iso=results.iso(shot.now), claims=rows)

    async def group_snapshot(self) -> results.GroupView:
        """The whole group at one moment: every agent with its status, claims and mailbox
        size, every claim, every non-empty mailbox. Changes nothing."""
        return results.group_view(await self.group.snapshot())

    async def whoami(self, ctx: Context = None) -> results.Whoami:
        """The agent your calls act as (give it to others so they can message you), and the
        group's engine and namespace."""
        return results.Whoami(
            agent=self.identity.of(ctx),
            engine=self.group.where,
            namespace=self.group.namespace,
            operator=self.identity.operator,
        )


async def _waiting(ctx, what, timeout, call):
    """Awaits ``call`` (a wait of the engine, whose result or refusal it returns or raises
    as is), reporting progress every PROGRESS_SECONDS from a task of its own meanwhile."""
    start = time.monotonic()

    async def progress():
        try:
            while True:
                await asyncio.sleep(PROGRESS_SECONDS)
                await ctx.report_progress(
                    round(time.monotonic() - start, 1), timeout, "waiting for " + what
                )
        except Exception:  # the client is gone: the wait itself will learn it
            return

    reporter = asyncio.ensure_future(progress())
    try:
        return await call
    finally:
        reporter.cancel()


ACTING = (
    "claim_file",
    "claim_task",
    "wait_claim_file",
    "wait_claim_task",
    "renew_claim",
    "release",
    "send_message",
    "broadcast",
    "inbox",
    "drain_inbox",
    "wait_for_messages",
)
READING = ("status", "who_holds", "group_snapshot", "whoami")


def register(server, group: Group, identity: Identity) -> dict:
    """Adds the tools and the resources ``durnel://snapshot`` and ``durnel://log`` to the
    MCPServer ``server``; returns each tool's argument names (what ``refuse_unknown``
    lets through)."""
    tools = Tools(group, identity)
    arguments = {}
    for name in ACTING + READING:
        function = getattr(tools, name)
        signature = inspect.signature(function)
        if not identity.operator and "as_agent" in signature.parameters:
            parameters = [p for p in signature.parameters.values() if p.name != "as_agent"]
            function = _with_signature(function, signature.replace(parameters=parameters))
        server.add_tool(
            function,
            name=name,
            description=inspect.cleandoc(function.__doc__),
            structured_output=True,
        )
        arguments[name] = frozenset(p for p in inspect.signature(function).parameters if p != "ctx")

    @server.resource(
        "durnel://snapshot",
        name="group snapshot",
        description="The group at one moment: agents, claims, mailboxes, the last log events.",
        mime_type="application/json",
    )
    async def snapshot_resource() -> str:
        return json.dumps(as_json(await group.snapshot(log_tail=20)))

    @server.resource(
        "durnel://log",
        name="activity log",
        description="The last %d events: claims, releases, messages, broadcasts."
        % LOG_RESOURCE_EVENTS,
        mime_type="application/json",
    )
    async def log_resource() -> str:
        shot = await group.snapshot(log_tail=LOG_RESOURCE_EVENTS)
        return json.dumps([event_json(e) for e in shot.log])

    return arguments


def _with_signature(method, signature):
    async def tool(*args, **kwargs):
        return await method(*args, **kwargs)

    tool.__name__ = method.__name__
    tool.__doc__ = method.__doc__
    tool.__annotations__ = {
        k: v
        for k, v in method.__annotations__.items()
        if k in signature.parameters or k == "return"
    }
    tool.__signature__ = signature
    return tool


def refuse_unknown(arguments: dict):
    """A server middleware that refuses a tools/call naming an argument the tool does not
    list, as a tool error naming it (the SDK would drop it silently)."""

    async def middleware(ctx, call_next):
        if ctx.method == "tools/call" and ctx.params:
            known = arguments.get(ctx.params.get("name"))
            given = ctx.params.get("arguments") or {}
            unknown = sorted(set(given) - known) if known is not None else ()
            if unknown:
                extra = (
                    " (only a server started with --operator acts for another agent)"
                    if "as_agent" in unknown
                    else ""
                )
                return _error(
                    "unexpected argument %s for %s%s: nothing was done"
                    % (", ".join("'%s'" % n for n in unknown), ctx.params.get("name"), extra)
                )
        return await call_next(ctx)

    return middleware
