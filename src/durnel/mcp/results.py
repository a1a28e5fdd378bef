"""The structured results of the MCP tools: pydantic models, from which the SDK publishes each
tool's output schema, and their making from the engines' values.

Fields are named (a message's ``sender``, ``recipient``, ``content``, ``sent_at``), and every
time is given twice: whole Unix seconds (``sent_at``) and ISO 8601 in UTC (``sent_at_iso``).
"""

import datetime
from typing import Optional

from pydantic import BaseModel

from ..contract import LEASE_SECONDS
from ..snapshots import ClaimView, Snapshot

__all__ = [
    "AgentRow",
    "ClaimRow",
    "Claimed",
    "GroupView",
    "Held",
    "Mail",
    "MailboxRow",
    "MessageRow",
    "Released",
    "Sent",
    "StatusRow",
    "Whoami",
    "claim_row",
    "claimed",
    "group_view",
    "iso",
    "mail",
    "message_row",
]


def iso(seconds: int) -> str:
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime(
        "%Y-%m-%dT%H:%M:%SZ"
    )


class MessageRow(BaseModel):
    sender: str
    recipient: str
    content: str
    sent_at: int
    sent_at_iso: str


def message_row(message) -> MessageRow:
    sender, recipient, content, sent_at = message
    return MessageRow(
        sender=sender,
        recipient=recipient,
        content=content,
        sent_at=sent_at,
        sent_at_iso=iso(sent_at),
    )


class Claimed(BaseModel):
    agent: str
    resource_key: str
    lease_seconds: int = LEASE_SECONDS
    expires_at: int
    expires_at_iso: str


def claimed(agent: str, resource_key: str, now: int) -> Claimed:
    return Claimed(
        agent=agent,
        resource_key=resource_key,
        expires_at=now + LEASE_SECONDS,
        expires_at_iso=iso(now + LEASE_SECONDS),
    )


class Released(BaseModel):
    agent: str
    resource_key: str
    released: bool = True


class Sent(BaseModel):
    message: MessageRow


class Mail(BaseModel):
    agent: str
    count: int
    messages: list[MessageRow]
    timed_out: Optional[bool] = None  # waits only: nothing came within the timeout
    waited_seconds: Optional[float] = None


def mail(agent: str, messages, timed_out=None, waited=None) -> Mail:
    return Mail(
        agent=agent,
        count=len(messages),
        messages=[message_row(m) for m in messages],
        timed_out=timed_out,
        waited_seconds=None if waited is None else round(waited, 3),
    )


class StatusRow(BaseModel):
    agent: str
    status: str


class ClaimRow(BaseModel):
    resource_key: str
    holder: str
    since: int
    since_iso: str
    expires_at: int
    expires_at_iso: str
    seconds_left: int
    lapsed: bool


def claim_row(view: ClaimView) -> ClaimRow:
    ends = view.stamp + LEASE_SECONDS
    return ClaimRow(
        resource_key=view.resource,
        holder=view.holder,
        since=view.stamp,
        since_iso=iso(view.stamp),
        expires_at=ends,
        expires_at_iso=iso(ends),
        seconds_left=view.seconds_left,
        lapsed=view.lapsed,
    )


class Held(BaseModel):
    now: int
    now_iso: str
    claims: list[ClaimRow]


class AgentRow(BaseModel):
    agent: str
    status: str
    claims: int
    mailbox: int


class MailboxRow(BaseModel):
    agent: str
    length: int
    oldest_sent_at: int
    oldest_sent_at_iso: str


class GroupView(BaseModel):
    engine: str
    namespace: str
    now: int
    now_iso: str
    lease_seconds: int
    agents: list[AgentRow]
    claims: list[ClaimRow]
    mailboxes: list[MailboxRow]


def group_view(shot: Snapshot) -> GroupView:
    held: dict[str, int] = {}
    boxes = {m.agent: m.length for m in shot.mailboxes}
    for claim in shot.claims:
        if not claim.lapsed:
            held[claim.holder] = held.get(claim.holder, 0) + 1
    return GroupView(
        engine=shot.engine,
        namespace=shot.namespace,
        now=shot.now,
        now_iso=iso(shot.now),
        lease_seconds=shot.lease_seconds,
        agents=[
            AgentRow(
                agent=a.agent,
                status=a.status,
                claims=held.get(a.agent, 0),
                mailbox=boxes.get(a.agent, 0),
            )
            for a in shot.agents
        ],
        claims=[claim_row(c) for c in shot.claims],
        mailboxes=[
            MailboxRow(
                agent=m.agent,
                length=m.length,
                oldest_sent_at=m.oldest_sent_at,
                oldest_sent_at_iso=iso(m.oldest_sent_at),
            )
            for m in shot.mailboxes
        ],
    )


class Whoami(BaseModel):
    agent: str
    engine: str
    namespace: str
    operator: bool
