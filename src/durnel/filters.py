"""What ``durnel show|watch|log --filter PREFIX`` keeps: the part of a group that concerns some
agents or resources, chosen by the start of their names.

A prefix matches an agent whose id starts with it, and a resource whose key starts with it,
whole (``file:src/``, ``task:t1``) or without its kind (``src/``, ``t1``); matching is
case-sensitive and nothing else is special in a prefix. With several prefixes, what any of
them matches is kept. Of a snapshot this keeps:

- claims whose resource or holder matches;
- waiting calls whose agent matches, that wait for a matching resource or for a claim kept,
  or that wait for the mail of a matching agent;
- agents that match, the holders of the claims kept and the agents of the waiting calls
  kept;
- the mailboxes and the presence (last seen, where) of the agents kept;
- log events that name a matching agent (Claimed and Released their holder, MessageSent its
  sender or its recipient, BroadcastSent its sender, Revoked the holder or who revoked it)
  or a matching resource.

The snapshot's clock reading, namespace and ``log_length`` (the whole log's) stay as read.
"""

import dataclasses
from collections.abc import Iterable
from typing import Optional

from .snapshots import ClaimView, LogEvent, Snapshot, WaiterView

__all__ = ["Selection"]


class Selection:
    """The agents and resources that a set of prefixes matches."""

    def __init__(self, prefixes: Iterable[str]):
        self.prefixes = tuple(prefixes)
        if not self.prefixes:
            raise ValueError("a filter needs at least one prefix")

    def describe(self) -> str:
        return "only what matches " + " or ".join(repr(p) for p in self.prefixes)

    def agent(self, agent: Optional[str]) -> bool:
        return agent is not None and agent.startswith(self.prefixes)

    def resource(self, key: Optional[str]) -> bool:
        if key is None:
            return False
        return key.startswith(self.prefixes) or key.partition(":")[2].startswith(self.prefixes)

    def claim(self, claim: ClaimView) -> bool:
        return self.agent(claim.holder) or self.resource(claim.resource)

    def event(self, event: LogEvent) -> bool:
        return (
            self.agent(event.agent)
            or self.agent(event.from_agent)
            or self.agent(event.to_agent)
            or self.resource(event.resource)
        )

    def waiter(self, waiter: WaiterView, claimed: frozenset) -> bool:
        """Whether a waiting call is kept, ``claimed`` being the resources of the claims kept."""
        if self.agent(waiter.agent):
            return True
        if waiter.kind == "mail":
            return self.agent(waiter.key)
        return waiter.key in claimed or self.resource(waiter.key)

    def apply(self, shot: Snapshot) -> Snapshot:
        claims = tuple(c for c in shot.claims if self.claim(c))
        claimed = frozenset(c.resource for c in claims)
        waiters = tuple(w for w in shot.waiters if self.waiter(w, claimed))
        kept = {c.holder for c in claims} | {w.agent for w in waiters}

        def agent(name):
            return name in kept or self.agent(name)

        return dataclasses.replace(
            shot,
            agents=tuple(a for a in shot.agents if agent(a.agent)),
            claims=claims,
            mailboxes=tuple(m for m in shot.mailboxes if agent(m.agent)),
            log=tuple(e for e in shot.log if self.event(e)),
            presence=tuple(p for p in shot.presence if agent(p.agent)),
            waiters=waiters,
        )
