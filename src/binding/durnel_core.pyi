"""Type stubs for durnel_core, the shared coordination state of cooperating agent threads.

Every argument is a ``str``. Any other type raises ``TypeError``; a ``str`` that cannot be
encoded as UTF-8 (a lone surrogate) raises ``UnicodeEncodeError``. An unrecoverable native
failure (in practice only a system clock set before 1970) raises
``durnel_runtime.PanicException``, which derives from ``BaseException``, not ``Exception``.
"""

from typing import Literal, final

__all__ = ["CoordinationState"]

@final
class CoordinationState:
    """Claims with a 300-second lease, mailboxes and statuses shared by a group of agents.

    Agents are plain string ids: never validated, compared byte for byte. Two instances share
    nothing. The class cannot be subclassed and its instances take no new attributes.
    """

    def __init__(self) -> None: ...

    # ---- claims: leases of 300 s on "file:<path>" and "task:<task_id>" ----

    def claim_file(self, agent_id: str, path: str) -> str:
        """Claim the file ``path`` for ``agent_id`` under the key ``"file:" + path``.

        Succeeds when nobody holds the key, or when its claim has lapsed (300 s or more since
        it was made or last renewed), whoever held it, ``agent_id`` included: that is a
        takeover. Sets the status of ``agent_id`` to ``"busy"``.

        Returns ``agent_id``.

        Raises ``RuntimeError("<holder> already holds claim on <path>")`` while a claim that
        has not lapsed exists, even when ``agent_id`` is the holder itself.
        """

    def claim_task(self, agent_id: str, task_id: str) -> str:
        """Claim the task ``task_id`` for ``agent_id`` under the key ``"task:" + task_id``.

        Same rules as ``claim_file``. Returns ``agent_id``.

        Raises ``RuntimeError("<holder> already holds claim on task <task_id>")`` while a
        claim that has not lapsed exists.
        """

    def release(self, agent_id: str, resource_key: str) -> None:
        """Remove the claim stored under ``resource_key`` (``"file:..."`` or ``"task:..."``).

        Only the holder may release, whether the lease has lapsed or not. Sets the status of
        ``agent_id`` to ``"idle"``, even if it still holds other claims.

        Raises ``RuntimeError("no claim found for <agent_id>")`` when nothing is stored under
        the key, and ``RuntimeError("<agent_id> cannot release a claim held by <holder>")``
        when another agent holds it.
        """

    def renew_claim(self, agent_id: str, resource_key: str) -> str:
        """Restart the 300-second lease of the claim under ``resource_key`` for its holder.

        Works on a lapsed claim that nobody has taken over as well. Changes no status.
        Returns ``agent_id``.

        Raises ``RuntimeError("no claim on <resource_key> to renew")`` when nothing is stored
        under the key, and ``RuntimeError("<agent_id> cannot renew a claim held by <holder>")``
        when another agent holds it.
        """

    # ---- mailboxes: (sender, recipient, content, sent_at) tuples, oldest first ----

    def send_message(
        self, from_agent: str, to_agent: str, content: str
    ) -> tuple[str, str, str, int]:
        """Append a message to the mailbox of ``to_agent``.

        Registers ``to_agent`` as a known agent (status ``"idle"`` unless it has one), so that
        broadcasts reach it; the sender is not registered.

        Returns ``(from_agent, to_agent, content, sent_at)``, ``sent_at`` in whole Unix
        seconds. Never raises ``RuntimeError``.
        """

    def broadcast(self, from_agent: str, content: str) -> tuple[str, str, str, int]:
        """Append a copy of a message to the mailbox of every known agent, the sender included.

        Known agents are those with a status entry: agents that ever claimed or released
        successfully, received a direct message or broadcast themselves. The sender is
        registered first (status ``"idle"`` unless it has one).

        Returns ``(from_agent, "*", content, sent_at)``. Never raises ``RuntimeError``.
        """

    def inbox(self, agent_id: str) -> list[tuple[str, str, str, int]]:
        """The pending messages of ``agent_id``, oldest first, left in place.

        Each item is ``(sender, agent_id, content, sent_at)``, broadcast copies included.
        Never raises ``RuntimeError``.
        """

    def drain_inbox(self, agent_id: str) -> list[tuple[str, str, str, int]]:
        """Like ``inbox``, and the mailbox is empty afterwards.

        Never raises ``RuntimeError``.
        """

    # ---- status ----

    def status(self, agent_id: str) -> Literal["idle", "busy", "completed", "error"]:
        """One of ``"idle"``, ``"busy"``, ``"completed"``, ``"error"``.

        The trace of the last status-writing call for ``agent_id``: a claim makes it
        ``"busy"``, a release ``"idle"``; unknown agents read ``"idle"``. Never raises
        ``RuntimeError``.
        """
