"""``durnel mcp``'s server: the MCPServer with durnel's tools over one group, run over stdio
or streamable HTTP until the client goes away (stdio) or the process is stopped (HTTP).

The group is opened in the server's own event loop before the first request and closed when
the server stops. Without a URL, stdio serves the SQLite file ``.durnel/state.db`` of the
working directory (every assistant launched in one working tree shares it) and HTTP the
in-process engine held by the server itself.
"""

import os
import signal
import sys

import anyio
from mcp.server.mcpserver import MCPServer
from mcp.server.stdio import stdio_server
from mcp.server.transport_security import TransportSecuritySettings

from .group import Group, default_url
from .http import LOOPBACK, Gate, listening_socket
from .identity import Identity
from .pipes import standard_pipes
from .tools import INSTRUCTIONS, refuse_unknown, register

__all__ = ["build", "serve"]

NAME = "durnel"
MCP_PATH = "/mcp"


def build(group: Group, identity: Identity) -> MCPServer:
    server = MCPServer(NAME, instructions=INSTRUCTIONS, log_level="WARNING")
    arguments = register(server, group, identity)
    server.middleware.append(refuse_unknown(arguments))
    return server


async def _serve(args, say):
    url = args.url
    if url is None and args.http is None:
        url = default_url(os.getcwd())
    group = await Group.open(url, args.namespace)
    try:
        identity = Identity(args.agent, http=args.http is not None, operator=args.operator)
        server = build(group, identity)
        if args.http is None:
            async with anyio.create_task_group() as tasks:
                if os.name == "posix":  # SIGTERM or Ctrl-C: stop, closing the group first
                    tasks.start_soon(_stop_on_signal, tasks.cancel_scope)
                await _serve_stdio(server)
                tasks.cancel_scope.cancel()
            return
        import uvicorn

        _Uvicorn = _uvicorn_server()
        host, port = args.http
        loopback = host in LOOPBACK
        app = server.streamable_http_app(
            streamable_http_path=MCP_PATH,
            host=host,
            # Host and Origin are checked by the Gate, by durnel's own rules
            transport_security=TransportSecuritySettings(enable_dns_rebinding_protection=False),
        )
        gate = Gate(app, loopback=loopback, token=args.token, origins=args.allow_origin)
        sock = listening_socket(host, port)
        shown = "[%s]" % host if ":" in host else host
        say(
            "durnel mcp: serving %s (namespace %s) at http://%s:%d%s"
            % (group.where, group.namespace, shown, sock.getsockname()[1], MCP_PATH)
        )
        config = uvicorn.Config(gate, log_level="warning", lifespan="on")
        await _Uvicorn(config).serve(sockets=[sock])
    finally:
        with anyio.CancelScope(shield=True):
            await group.aclose()


async def _stop_on_signal(scope):
    with anyio.open_signal_receiver(signal.SIGTERM, signal.SIGINT) as signals:
        async for _ in signals:
            scope.cancel()
            return


def _uvicorn_server():
    import uvicorn

    class Server(uvicorn.Server):
        """uvicorn's server, stopping gracefully on SIGTERM and SIGINT without raising the
        signal again once stopped (its default), so that the group is closed and the
        process exits 0."""

        def handle_exit(self, sig, frame):
            if self.should_exit and sig == signal.SIGINT:
                self.force_exit = True
            self.should_exit = True

    return Server


async def _serve_stdio(server):
    """``server.run_stdio_async()``, on the event loop's own pipes where stdin and stdout are
    pipes (see pipes.py). The SDK runs a transport's streams only through its low-level
    server, which MCPServer keeps in ``_lowlevel_server``."""
    lowlevel = server._lowlevel_server
    options = lowlevel.create_initialization_options()
    async with standard_pipes() as pipes:
        if pipes is not None:
            await lowlevel.run(*pipes, options)
            return
        async with stdio_server() as (reader, writer):
            await lowlevel.run(reader, writer, options)


def _has_uvloop() -> bool:
    """uvloop's event loop where it is installed (the mcp extra brings it on POSIX): it runs
    the loop's own machinery in C (over a tenth of the server's CPU per tool call on asyncio's)."""
    try:
        import uvloop  # noqa: F401
    except ImportError:
        return False
    return True


def serve(args) -> int:
    def say(line):
        sys.stderr.write(line + "\n")
        sys.stderr.flush()

    anyio.run(_serve, args, say, backend_options={"use_uvloop": _has_uvloop()})
    return 0
