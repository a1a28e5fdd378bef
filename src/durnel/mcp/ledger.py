"""Ledger: what an MCP server that holds the in-process engine itself knows of its group, so
that assistants can see who holds what there too.

The native object offers no way to list its claims, roster or log (see ``durnel.snapshots``),
but such a server is the group's only client: every successful claim, renewal, release, send
and broadcast goes through it, and is recorded here as it returns. Statuses and mailboxes are
asked of the engine itself for every agent on the roster (whose mailbox can hold anything is
on it). Stamps are this process's wall clock read just after the call, in whole seconds as the
engine stamps; a claim's stamp may so read one second late at a turn of the second. The log
keeps the last LOG_LENGTH events.
"""

import time
from collections import deque

from ..contract import BROADCAST_RECIPIENT
from ..snapshots import AgentView, LogEvent, Snapshot, claim_views, mailbox_views

__all__ = ["LOG_LENGTH", "Ledger"]

LOG_LENGTH = 1000


class Ledger:
    def __init__(self, namespace: str) -> None:
        self.namespace = namespace
        self.claims: dict[str, list] = {}  # resource key -> [holder, stamp]
        self.roster: set[str] = set()  # agents with a status: those a broadcast reaches
        self.log: deque[LogEvent] = deque(maxlen=LOG_LENGTH)
        self.events = 0

    def _event(self, event, at, **fields):
        self.events += 1
        self.log.append(LogEvent(self.events, event, at, **fields))

    def claimed(self, resource, agent, now):
        self.claims[resource] = [agent, now]
        self.roster.add(agent)
        self._event("Claimed", now, agent=agent, resource=resource)

    def renewed(self, resource, now):
        self.claims[resource][1] = now

    def released(self, resource, agent, now):
        self.claims.pop(resource, None)
        self.roster.add(agent)
        self._event("Released", now, agent=agent, resource=resource)

    def sent(self, message):
        sender, recipient, content, sent_at = message
        if recipient == BROADCAST_RECIPIENT:
            self.roster.add(sender)
            self._event("BroadcastSent", sent_at, from_agent=sender, content=content)
        else:
            self.roster.add(recipient)
            self._event(
                "MessageSent", sent_at, from_agent=sender, to_agent=recipient, content=content
            )

    async def snapshot(self, engine, log_tail: int) -> Snapshot:
        now = int(time.time())
        agents, boxes = [], []
        for agent in sorted(self.roster):
            agents.append(AgentView(agent, await engine.status(agent)))
            inbox = await engine.inbox(agent)
            if inbox:
                boxes.append((agent, len(inbox), inbox[0][3]))
        rows = sorted((key, holder, stamp) for key, (holder, stamp) in self.claims.items())
        tail = list(self.log)[len(self.log) - log_tail :] if log_tail else []
        return Snapshot(
            engine="in-process",
            namespace=self.namespace,
            now=now,
            agents=tuple(agents),
            claims=claim_views(rows, now),
            mailboxes=mailbox_views(boxes, now),
            log=tuple(tail),
            log_length=len(self.log),
        )
