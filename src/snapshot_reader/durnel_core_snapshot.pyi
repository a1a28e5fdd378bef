"""Type stubs for durnel_core_snapshot: a durnel_core.CoordinationState read whole, shard by
shard, without changing it. ``durnel.snapshot`` gives the same as a ``durnel.Snapshot``."""

from typing import Literal

from durnel_core import CoordinationState

__all__ = ["read"]

_Status = Literal["idle", "busy", "completed", "error"]
_Event = Literal["Claimed", "Released", "MessageSent", "BroadcastSent"]

_Agent = tuple[str, _Status]
_Claim = tuple[str, str, int]
_Mailbox = tuple[str, int, int]
_LogEvent = tuple[int, _Event, int, str | None, str | None, str | None, str | None, str | None]

def read(
    state: CoordinationState, log_tail: int
) -> tuple[
    int, tuple[_Agent, ...], tuple[_Claim, ...], tuple[_Mailbox, ...], tuple[_LogEvent, ...], int
]:
    """(now, agents, claims, mailboxes, log, log_length): the clock reading (taken last),
    ``(agent, status)`` for every agent with a status, ``(resource, holder, stamp)`` for every
    stored claim (lapsed ones too; ``stamp`` is when it was taken or last renewed),
    ``(agent, length, oldest_sent_at)`` for every mailbox that holds messages, the last
    ``log_tail`` events of the log oldest first as ``(id, event, at, agent, resource,
    from_agent, to_agent, content)`` (the fields an event lacks None; ``id`` its number in the
    log, from "1"), and how many events the log holds. Agents, claims and mailboxes are sorted
    by name.

    Each shard is read at its own moment, under its shared guard, with the interpreter lock let
    go meanwhile: other threads go on working, and a call they make meanwhile can be seen half
    done.

    Raises ``TypeError`` unless ``state`` is exactly a ``durnel_core.CoordinationState`` and
    ``log_tail`` an int, ``ValueError`` for a ``log_tail`` below 0.
    """
