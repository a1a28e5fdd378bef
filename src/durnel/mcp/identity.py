"""Which agent a tool call acts as. Tools take no agent id: the server decides.

- stdio: one assistant per server process, so one agent for the life of the process: the
  name given with ``--agent``, or else one derived at the first call from the name the client
  announces (its ``clientInfo``), lower-cased to letters, digits, ``.``, ``_`` and ``-``, with
  a short random suffix so that two assistants of one kind differ (``claude-code-3f9a``).
- streamable HTTP: many assistants share one server, and each declares its agent in the
  configuration it connects with, sent with every request: the ``Durnel-Agent`` header, or
  the ``agent`` query parameter of the server's URL (``/mcp?agent=ana``, percent-encoded for
  names that are not ASCII). A session of the handshake era (one with an ``Mcp-Session-Id``)
  keeps the agent its first call declared; a later call of it that declares another is
  refused.
- ``--operator``: every tool also takes ``as_agent``, to act for any agent (an orchestrator
  releasing a dead agent's claims, say); without it, it acts as the agent above.
"""

import re
import secrets
from typing import Optional

from mcp.server.mcpserver.exceptions import ToolError

__all__ = ["AGENT_HEADER", "AGENT_QUERY", "Identity", "derived_name"]

AGENT_HEADER = "durnel-agent"
AGENT_QUERY = "agent"
SESSION_HEADER = "mcp-session-id"
_NOT_NAME = re.compile(r"[^a-z0-9._-]+")


def derived_name(announced: Optional[str]) -> str:
    """An agent name for a client announcing itself as ``announced``: its name, cleaned, and
    four random hexadecimal digits."""
    base = _NOT_NAME.sub("-", (announced or "").lower()).strip("-") or "assistant"
    return "%s-%s" % (base[:40], secrets.token_hex(2))


class Identity:
    """Who the calls of one server act as; see the module's docstring."""

    def __init__(self, agent: Optional[str], *, http: bool, operator: bool) -> None:
        self.agent = agent
        self.http = http
        self.operator = operator
        # handshake-era HTTP session id -> the agent it declared
        self._sessions: dict[str, str] = {}

    def of(self, ctx, as_agent: Optional[str] = None) -> str:
        """The agent that the call of ``ctx`` acts as."""
        if as_agent is not None:
            return as_agent  # only operator servers list the argument (see tools.py)
        if not self.http:
            if self.agent is None:
                params = ctx.session.client_params
                self.agent = derived_name(params.client_info.name if params else None)
            return self.agent
        return self._declared(ctx)

    def _declared(self, ctx) -> str:
        headers = ctx.headers or {}
        request = getattr(ctx.request_context, "request", None)
        query = getattr(request, "query_params", None) or {}
        declared = headers.get(AGENT_HEADER) or query.get(AGENT_QUERY) or None
        session = headers.get(SESSION_HEADER)
        if session is not None:
            bound = self._sessions.get(session)
            if bound is None:
                if declared is not None:
                    self._sessions[session] = declared
            elif declared is None:
                declared = bound
            elif declared != bound:
                raise ToolError(
                    "this session acts as %s; it cannot act as %s (one session is one agent: "
                    "open another session for another agent)" % (bound, declared)
                )
        if declared is None:
            raise ToolError(
                "this session has not said which agent it is: set the Durnel-Agent header "
                "(or ?agent=NAME on the server's URL) in the assistant's configuration"
            )
        return declared
