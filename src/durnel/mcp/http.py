"""The streamable HTTP face of ``durnel mcp``: where it listens, and the gate in front of it.

The gate refuses, before the MCP app sees anything:
- a request carrying an ``Origin`` header that is not one of ``--allow-origin`` (403): a web
  page in a browser sends one, an assistant's client does not, so a page cannot reach the
  group through a browser on this machine, DNS rebinding included;
- on a loopback address, a request whose ``Host`` is not a loopback name (421), the other
  half of the rule against DNS rebinding;
- when a token is set, a request without ``Authorization: Bearer <token>`` (401, compared in
  constant time). Off loopback a token is required: the server does not start without one.
"""

import hmac
import os
import socket
from typing import Optional

from starlette.responses import PlainTextResponse

__all__ = ["LOOPBACK", "Gate", "listening_socket", "parse_address", "read_token"]

LOOPBACK = ("127.0.0.1", "localhost", "::1")
TOKEN_VARIABLE = "DURNEL_MCP_TOKEN"
_LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "[::1]")


def parse_address(text: str):
    """(host, port) of ``[HOST:]PORT`` (HOST by default 127.0.0.1; ``[::1]:8765`` for IPv6).
    Raises ValueError for anything else."""
    host, _, port = text.rpartition(":")
    host = host.strip("[]") or "127.0.0.1"
    if not port.isdigit() or int(port) > 65535:
        raise ValueError("not [HOST:]PORT: %r" % text)
    return host, int(port)


def read_token(token_file: Optional[str]) -> Optional[str]:
    """The bearer token: the first line of ``token_file``, else $DURNEL_MCP_TOKEN, else None.
    Raises ValueError for an empty one, OSError for a file that cannot be read."""
    token: Optional[str]
    if token_file is not None:
        with open(token_file, encoding="utf-8") as source:
            token = source.readline().strip()
        where = token_file
    else:
        token = os.environ.get(TOKEN_VARIABLE)
        where = "$" + TOKEN_VARIABLE
        if token is None:
            return None
        token = token.strip()
    if not token:
        raise ValueError("the bearer token in %s is empty" % where)
    return token


def listening_socket(host: str, port: int) -> socket.socket:
    """A TCP socket listening at ``host``:``port`` (0: any free port). Made with the protocol
    named, as asyncio needs to see it to turn Nagle's algorithm off on the connections it
    accepts: else a response's headers and body, written apart, wait out the client's
    delayed acknowledgement, some 40 ms a call on a kept-alive connection."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, port))
        sock.listen(128)
    except OSError:
        sock.close()
        raise
    return sock


class Gate:
    """ASGI middleware: the checks of the module's docstring, in front of ``app``."""

    def __init__(self, app, *, loopback: bool, token: Optional[str], origins=()) -> None:
        self.app = app
        self.loopback = loopback
        self.expected = None if token is None else ("Bearer " + token).encode()
        self.origins = frozenset(origins)

    async def __call__(self, scope, receive, send):
        if scope["type"] == "http":
            refusal = self._refusal(
                {k.decode("latin-1"): v.decode("latin-1") for k, v in scope["headers"]}
            )
            if refusal is not None:
                return await refusal(scope, receive, send)
        return await self.app(scope, receive, send)

    def _refusal(self, headers):
        origin = headers.get("origin")
        if origin is not None and origin not in self.origins:
            return PlainTextResponse("Origin %s is not allowed\n" % origin, status_code=403)
        if self.loopback:
            host = headers.get("host", "")
            name = host.rsplit(":", 1)[0] if not host.endswith("]") else host
            if name not in _LOOPBACK_HOSTS:
                return PlainTextResponse("Host %s is not this server\n" % host, status_code=421)
        if self.expected is not None:
            given = headers.get("authorization", "").encode("latin-1")
            if not hmac.compare_digest(given, self.expected):
                return PlainTextResponse(
                    "a bearer token is required\n",
                    status_code=401,
                    headers={"WWW-Authenticate": "Bearer"},
                )
        return None
