"""Coordination: the nine methods that every engine offers, as a typing.Protocol.

The in-process engine (``durnel_core.CoordinationState``) and the engines of this package
(``durnel.sqlite.SQLiteCoordinationState``, ``durnel.redis.RedisCoordinationState``) all
satisfy it, so an agent written against ``Coordination`` runs unchanged on any of them. The
results, the ``RuntimeError`` texts and the argument errors are the same on all; see the
README for what each engine adds.
"""

from typing import Literal, Protocol

__all__ = ["Coordination", "Message", "Status"]

Status = Literal["idle", "busy", "completed", "error"]
# (sender, recipient, content, sent_at): the recipient is the reader's id in an inbox, the
# `to_agent` argument in send_message's result and "*" in broadcast's.
Message = tuple[str, str, str, int]


class Coordination(Protocol):
    """Claims with a 300-second lease, mailboxes and statuses shared by a group of agents."""

    def claim_file(self, agent_id: str, path: str) -> str: ...

    def claim_task(self, agent_id: str, task_id: str) -> str: ...

    def release(self, agent_id: str, resource_key: str) -> None: ...

    def renew_claim(self, agent_id: str, resource_key: str) -> str: ...

    def send_message(self, from_agent: str, to_agent: str, content: str) -> Message: ...

    def broadcast(self, from_agent: str, content: str) -> Message: ...

    def inbox(self, agent_id: str) -> list[Message]: ...

    def drain_inbox(self, agent_id: str) -> list[Message]: ...

    def status(self, agent_id: str) -> Status: ...
