"""The contract's types: the nine methods that every engine offers (``Coordination``), the
waits and the lifecycle that the objects of ``durnel.connect()`` add (``WaitingCoordination``:
``close()`` and ``with``), and the same twelve as coroutines with their lifecycle
(``AsyncCoordination``: ``aclose()`` and ``async with``, the objects of
``durnel.aio.connect()``). The lifecycle is ``durnel.lifecycle``'s.

The native ``durnel_core.CoordinationState`` and every engine of this package
(``durnel.sqlite.SQLiteCoordinationState``, ``durnel.redis.RedisCoordinationState``) satisfy
``Coordination``, so an agent written against it runs unchanged on any of them. The results,
the ``RuntimeError`` texts and the argument errors are the same on all; what each engine adds
is in the documentation, docs/engines/ (the contract itself: docs/contract.md).
"""

from typing import Literal, Optional, Protocol, TypeVar

__all__ = ["AsyncCoordination", "Coordination", "Message", "Status", "WaitingCoordination"]

Status = Literal["idle", "busy", "completed", "error"]
# (sender, recipient, content, sent_at): the recipient is the reader's id in an inbox, the
# `to_agent` argument in send_message's result and "*" in broadcast's.
Message = tuple[str, str, str, int]

_Waiting = TypeVar("_Waiting", bound="WaitingCoordination")
_Async = TypeVar("_Async", bound="AsyncCoordination")


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


class WaitingCoordination(Coordination, Protocol):
    """The nine methods and three waits: each wait does what its plain call does, but blocks
    while there is nothing to drain or the resource is held, up to ``timeout`` seconds (None:
    for as long as it takes)."""

    def wait_for_messages(self, agent_id: str, timeout: Optional[float] = None) -> list[Message]:
        """Drains the mailbox like ``drain_inbox``; when it is empty, blocks until a message
        arrives (then returns it with any others) or the timeout passes (then ``[]``)."""
        ...

    def wait_claim_file(self, agent_id: str, path: str, timeout: Optional[float] = None) -> str:
        """``claim_file``, blocking while the file is held until its holder releases it or its
        lease lapses; on timeout raises the refusal that ``claim_file`` gives."""
        ...

    def wait_claim_task(self, agent_id: str, task_id: str, timeout: Optional[float] = None) -> str:
        """``claim_task``, blocking like ``wait_claim_file``."""
        ...

    def close(self) -> None:
        """Lets go of what the object holds; every later call raises ``durnel.ClosedError``.
        Closing again does nothing."""
        ...

    def __enter__(self: _Waiting) -> _Waiting: ...

    def __exit__(self, *exc_info: object) -> None:
        """Closes the object."""
        ...


class AsyncCoordination(Protocol):
    """The nine methods and three waits of ``WaitingCoordination`` as coroutines, with the same
    arguments, results and errors."""

    async def claim_file(self, agent_id: str, path: str) -> str: ...

    async def claim_task(self, agent_id: str, task_id: str) -> str: ...

    async def release(self, agent_id: str, resource_key: str) -> None: ...

    async def renew_claim(self, agent_id: str, resource_key: str) -> str: ...

    async def send_message(self, from_agent: str, to_agent: str, content: str) -> Message: ...

    async def broadcast(self, from_agent: str, content: str) -> Message: ...

    async def inbox(self, agent_id: str) -> list[Message]: ...

    async def drain_inbox(self, agent_id: str) -> list[Message]: ...

    async def status(self, agent_id: str) -> Status: ...

    async def wait_for_messages(
        self, agent_id: str, timeout: Optional[float] = None
    ) -> list[Message]: ...

    async def wait_claim_file(
        self, agent_id: str, path: str, timeout: Optional[float] = None
    ) -> str: ...

    async def wait_claim_task(
        self, agent_id: str, task_id: str, timeout: Optional[float] = None
    ) -> str: ...

    async def aclose(self) -> None:
        """Lets go of what the object holds; every later call raises ``durnel.ClosedError``.
        Closing again does nothing."""
        ...

    async def __aenter__(self: _Async) -> _Async: ...

    async def __aexit__(self, *exc_info: object) -> None:
        """Closes the object."""
        ...
