"""PureCoordinationState: the coordination object as a Python user would write it instead.

The comparison point of bench_python.py. Written the obvious way: plain dicts for claims,
statuses and mailboxes, a deque per mailbox, a list for the activity log and one
threading.Lock around every method body. Same behaviour as durnel_core.CoordinationState:
300-second leases judged on whole seconds of the wall clock, takeover of lapsed claims,
"busy"/"idle" statuses written by claims and releases, recipients registered as "idle",
broadcast to every agent with a status (the sender included), the same refusal messages.
"""

from __future__ import annotations

import threading
import time
from collections import deque

CLAIM_TTL = 300
CLAIM_GRACE = 0


class Claim:
    __slots__ = ("kind", "name", "holder", "claimed_at", "renewed_at")

    def __init__(self, kind: str, name: str, holder: str, claimed_at: int, renewed_at: int):
        self.kind = kind
        self.name = name
        self.holder = holder
        self.claimed_at = claimed_at
        self.renewed_at = renewed_at


def _now() -> int:
    return int(time.time())


class PureCoordinationState:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._claims: dict[str, Claim] = {}
        self._statuses: dict[str, str] = {}
        self._inboxes: dict[str, deque] = {}
        self._activity: list[tuple] = []

    # ---- claims ----
    def _claim(self, kind: str, prefix: str, refusal: str, agent_id: str, name: str) -> str:
        key = prefix + name
        fresh = Claim(kind, name, agent_id, _now(), _now())
        with self._lock:
            stored = self._claims.get(key)
            if stored is not None:
                last = max(stored.claimed_at, stored.renewed_at)
                now = _now()
                age = now - last if now > last else 0
                if age < CLAIM_TTL + CLAIM_GRACE:
                    raise RuntimeError(f"{stored.holder}{refusal}{name}")
                self._claims[key] = fresh
                self._statuses[agent_id] = "busy"
                self._activity.append(("claimed", agent_id, key, _now()))
                self._activity.append(("released", stored.holder, key, _now()))
                return agent_id
            self._claims[key] = fresh
            self._statuses[agent_id] = "busy"
            self._activity.append(("claimed", agent_id, key, _now()))
            return agent_id

    def claim_file(self, agent_id: str, path: str) -> str:
        return self._claim("file", "file:", " already holds claim on ", agent_id, path)

    def claim_task(self, agent_id: str, task_id: str) -> str:
        return self._claim("task", "task:", " already holds claim on task ", agent_id, task_id)

    def renew_claim(self, agent_id: str, resource_key: str) -> str:
        with self._lock:
            stored = self._claims.get(resource_key)
            if stored is None:
                raise RuntimeError(f"no claim on {resource_key} to renew")
            if stored.holder != agent_id:
                raise RuntimeError(f"{agent_id} cannot renew a claim held by {stored.holder}")
            stored.claimed_at = _now()
            stored.renewed_at = _now()
            return stored.holder

    def release(self, agent_id: str, resource_key: str) -> None:
        with self._lock:
            stored = self._claims.get(resource_key)
            if stored is None:
                raise RuntimeError(f"no claim found for {agent_id}")
            if stored.holder != agent_id:
                raise RuntimeError(f"{agent_id} cannot release a claim held by {stored.holder}")
            del self._claims[resource_key]
            self._statuses[agent_id] = "idle"
            self._activity.append(("released", agent_id, resource_key, _now()))

    # ---- mailboxes ----
    def send_message(self, from_agent: str, to_agent: str, content: str) -> tuple:
        sent_at = _now()
        message = (from_agent, content, to_agent, sent_at)
        with self._lock:
            mailbox = self._inboxes.get(to_agent)
            if mailbox is None:
                mailbox = self._inboxes[to_agent] = deque()
            mailbox.append(message)
            self._statuses.setdefault(to_agent, "idle")
            self._activity.append(("message_sent", from_agent, to_agent, content, _now()))
        return (from_agent, to_agent, content, sent_at)

    def broadcast(self, from_agent: str, content: str) -> tuple:
        sent_at = _now()
        message = (from_agent, content, None, sent_at)
        with self._lock:
            self._statuses.setdefault(from_agent, "idle")
            for agent in self._statuses:
                mailbox = self._inboxes.get(agent)
                if mailbox is None:
                    mailbox = self._inboxes[agent] = deque()
                mailbox.append(message)
            self._activity.append(("broadcast_sent", from_agent, content, _now()))
        return (from_agent, "*", content, sent_at)

    def inbox(self, agent_id: str) -> list:
        with self._lock:
            mailbox = self._inboxes.get(agent_id)
            if mailbox is None:
                mailbox = self._inboxes[agent_id] = deque()
            return [(m[0], agent_id, m[1], m[3]) for m in mailbox]

    def drain_inbox(self, agent_id: str) -> list:
        with self._lock:
            mailbox = self._inboxes.get(agent_id)
            if mailbox is None:
                mailbox = self._inboxes[agent_id] = deque()
            messages = [(m[0], agent_id, m[1], m[3]) for m in mailbox]
            mailbox.clear()
            return messages

    # ---- statuses ----
    def status(self, agent_id: str) -> str:
        with self._lock:
            return self._statuses.get(agent_id, "idle")
