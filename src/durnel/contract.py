"""The coordination contract that every engine keeps, written once: the lease, the statuses,
the resource keys and the texts of refused calls.

The in-process engine (``durnel_core``) carries its own copy in C++; every engine of this
package builds its results and ``RuntimeError`` texts from here, so that a refused call reads
the same, byte for byte, on every engine.
"""

__all__ = [
    "BROADCAST_RECIPIENT",
    "FILE_PREFIX",
    "LEASE_SECONDS",
    "METHODS",
    "STATUSES",
    "TASK_PREFIX",
    "WAITS",
    "claim_refusal",
    "lapsed",
    "release_refusal",
    "renew_refusal",
]

# A claim lapses when it is this many whole seconds old (age >= LEASE_SECONDS); it stays
# stored until it is taken over or released.
LEASE_SECONDS = 300
STATUSES = ("idle", "busy", "completed", "error")
FILE_PREFIX = "file:"
TASK_PREFIX = "task:"
# The recipient of a broadcast's own result (every inbox copy names its reader instead).
BROADCAST_RECIPIENT = "*"
# The nine methods of the contract, and the three waits of the objects of durnel.connect().
METHODS = (
    "claim_file",
    "claim_task",
    "renew_claim",
    "release",
    "send_message",
    "broadcast",
    "inbox",
    "drain_inbox",
    "status",
)
WAITS = ("wait_for_messages", "wait_claim_file", "wait_claim_task")


def lapsed(stamp: int, now: int) -> bool:
    """Whether a claim last stamped at ``stamp`` has lapsed at ``now`` (whole seconds); a clock
    that went back makes the claim young, never negative."""
    return now - stamp >= LEASE_SECONDS


def claim_refusal(prefix: str, holder: str, name: str) -> str:
    """The refusal of ``claim_file`` (prefix ``"file:"``) or ``claim_task`` (``"task:"``) while
    ``holder``'s claim on ``name`` holds."""
    if prefix == TASK_PREFIX:
        return holder + " already holds claim on task " + name
    return holder + " already holds claim on " + name


def renew_refusal(agent: str, resource_key: str, holder: "str | None") -> str:
    """The refusal of ``renew_claim``: no claim on the key (``holder`` None), or another's."""
    if holder is None:
        return "no claim on " + resource_key + " to renew"
    return agent + " cannot renew a claim held by " + holder


def release_refusal(agent: str, holder: "str | None") -> str:
    """The refusal of ``release``: no claim on the key (``holder`` None), or another's."""
    if holder is None:
        return "no claim found for " + agent
    return agent + " cannot release a claim held by " + holder
