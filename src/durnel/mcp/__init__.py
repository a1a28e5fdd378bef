"""``durnel mcp``: the coordination contract as Model Context Protocol tools, so that AI
assistants (programs in any language that call MCP tools) share a group with Python agents
and with a person at ``durnel watch``.

    durnel mcp [URL] [-n NAMESPACE] [--agent NAME] [--operator]
    durnel mcp [URL] --http [HOST:]PORT [-n NAMESPACE] [--operator] [--token-file PATH]
               [--allow-origin ORIGIN ...]

Needs the ``mcp`` extra (``pip install "durnel_core[mcp]"``: the protocol's reference SDK,
on Python 3.10 or later). This module only reads the command line; ``server.py`` serves,
``tools.py`` holds the tools, ``identity.py`` says which agent a call acts as, ``group.py``
opens the engine, ``http.py`` guards the HTTP transport.
"""

import argparse
import sys

__all__ = ["add_command"]

MINIMUM_PYTHON = (3, 10)


def _address(text):
    from .http import parse_address

    try:
        return parse_address(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def run(args) -> int:
    from ..cli import Failure
    from ..errors import MissingDependencyError, require

    if sys.version_info < MINIMUM_PYTHON:
        raise Failure(
            "durnel mcp needs Python %d.%d or later (the mcp package's own floor); this is %s"
            % (MINIMUM_PYTHON + (sys.version.split()[0],))
        )
    try:
        require("mcp", "mcp", "durnel mcp")
    except MissingDependencyError as error:
        raise Failure(str(error)) from None
    if args.http is not None and args.agent is not None:
        raise Failure(
            "--agent is for stdio: over HTTP each session names its agent (the Durnel-Agent "
            "header or ?agent=NAME)"
        )
    from .http import LOOPBACK, read_token

    try:
        args.token = read_token(args.token_file)
    except (OSError, ValueError) as error:
        raise Failure("cannot read the bearer token: %s" % error) from None
    if args.http is not None and args.http[0] not in LOOPBACK and args.token is None:
        raise Failure(
            "serving on %s, off loopback, needs a bearer token: --token-file PATH or "
            "$DURNEL_MCP_TOKEN" % args.http[0]
        )
    from .server import serve

    try:
        return serve(args)
    except (ValueError, TypeError, MissingDependencyError, OSError) as error:
        raise Failure(" ".join(str(error).split())) from None


def add_command(commands) -> None:
    """Adds ``mcp`` to the durnel command's subparsers."""
    help_text = (
        "Serve the group to AI assistants as Model Context Protocol tools (stdio, or "
        "streamable HTTP with --http)."
    )
    sub = commands.add_parser("mcp", help=help_text, description=help_text)
    sub.add_argument(
        "url",
        metavar="URL",
        nargs="?",
        help="where the group lives (default: .durnel/state.db in the working directory "
        "over stdio, the in-process engine held by the server with --http)",
    )
    sub.add_argument("-n", "--namespace", default="default", help="the group (default: default)")
    sub.add_argument(
        "--agent", help="stdio: the agent this assistant acts as (default: from its name)"
    )
    sub.add_argument(
        "--operator",
        action="store_true",
        help="let every tool act for any agent (as_agent), for an orchestrator",
    )
    sub.add_argument(
        "--http",
        type=_address,
        metavar="[HOST:]PORT",
        help="serve streamable HTTP at http://HOST:PORT/mcp (HOST 127.0.0.1 by default)",
    )
    sub.add_argument(
        "--token-file",
        metavar="PATH",
        help="HTTP: require the bearer token on the file's first line (else "
        "$DURNEL_MCP_TOKEN; required off loopback)",
    )
    sub.add_argument(
        "--allow-origin",
        action="append",
        default=[],
        metavar="ORIGIN",
        help="HTTP: a browser Origin to let in (none by default)",
    )
    sub.set_defaults(run=run)
