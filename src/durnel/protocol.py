"""Coordination: the nine methods that every engine offers, as a typing.Protocol.

The in-process engine (``durnel_core.CoordinationState``) and the Redis engine
(``durnel.redis.RedisCoordinationState``) both satisfy it, so an agent written against
``Coordination`` runs unchanged on either. The results, the ``RuntimeError`` texts and the
argument errors are the same on both; see the README for what each engine adds.
"""

import sys
from typing import List, Tuple

if sys.version_info >= (3, 8):
    from typing import Literal, Protocol
else:  # pragma: no cover - the package needs 3.9
    raise ImportError("durnel needs Python 3.9 or later")

__all__ = ["Coordination", "Message", "Status"]

Status = Literal["idle", "busy", "completed", "error"]
# (sender, recipient, content, sent_at): the recipient is the reader's id in an inbox, the
# `to_agent` argument in send_message's result and "*" in broadcast's.
Message = Tuple[str, str, str, int]


class Coordination(Protocol):
    """Claims with a 300-second lease, mailboxes and statuses shared by a group of agents."""

    def claim_file(self, agent_id: str, path: str) -> str: ...

    def claim_task(self, agent_id: str, task_id: str) -> str: ...

    def release(self, agent_id: str, resource_key: str) -> None: ...

    def renew_claim(self, agent_id: str, resource_key: str) -> str: ...

    def send_message(self, from_agent: str, to_agent: str, content: str) -> Message: ...

    def broadcast(self, from_agent: str, content: str) -> Message: ...

    def inbox(self, agent_id: str) -> List[Message]: ...

    def drain_inbox(self, agent_id: str) -> List[Message]: ...

    def status(self, agent_id: str) -> Status: ...
