"""The coordination group that one ``durnel mcp`` server serves: the engine's asyncio object
for its URL, the way to read the whole group (who holds what) and the way to close it.

Reading the group: on SQLite and Redis ``durnel.snapshot`` reads it, in a worker thread (a
snapshot is blocking I/O), through a synchronous object of the same URL. The native
in-process object cannot list its claims or mailboxes, so when the server holds the
in-process engine itself (``--http`` without a URL) every call goes through this object,
which keeps a ``Ledger`` of the claims, the roster and the log as the calls succeed: the
server is the only client such a group has, so the ledger sees every change.

``aclose`` closes the engine's asyncio object and the synchronous object it reads with
(``durnel.lifecycle``).
"""

import os
import time
from typing import Optional

import anyio.to_thread

from .. import aio, urls
from ..contract import FILE_PREFIX
from ..snapshots import Snapshot, open_for_reading, snapshot
from .ledger import Ledger

__all__ = ["DEFAULT_DIRECTORY", "Group", "default_url"]

DEFAULT_DIRECTORY = ".durnel"
DEFAULT_FILE = "state.db"


def default_url(directory: str) -> str:
    """The SQLite URL that every server started in ``directory`` without a URL shares:
    ``<directory>/.durnel/state.db``, the directory made (and kept out of git) if missing."""
    where = os.path.join(os.path.abspath(directory), DEFAULT_DIRECTORY)
    os.makedirs(where, exist_ok=True)
    ignore = os.path.join(where, ".gitignore")
    if not os.path.exists(ignore):
        with open(ignore, "w") as out:
            out.write("# made by durnel: the coordination file of this working tree\n*\n")
    return "sqlite:///" + os.path.join(where, DEFAULT_FILE)


class Group:
    """The asyncio engine of ``url`` (None: the in-process engine, with a ledger) and
    ``namespace``. Open it inside the event loop that will use it (``await Group.open``)."""

    def __init__(self, url: Optional[str], namespace: str, engine, ledger: Optional[Ledger]):
        self.url = url
        self.namespace = namespace
        self.engine = engine
        self.ledger = ledger
        self.where = "in-process" if url is None else urls.redacted(url)
        self._reader = None

    @classmethod
    async def open(cls, url: Optional[str], namespace: str) -> "Group":
        if url is None:
            return cls(None, namespace, aio.connect(namespace=namespace), Ledger(namespace))
        return cls(url, namespace, aio.connect(url, namespace=namespace), None)

    # ---- reading the whole group ----

    async def snapshot(self, log_tail: int = 0) -> Snapshot:
        if self.ledger is not None:
            return await self.ledger.snapshot(self.engine, log_tail)
        return await anyio.to_thread.run_sync(self._read, log_tail)

    def _read(self, log_tail):
        assert self.url is not None  # (an in-process group is read from its ledger)
        if self._reader is None:
            self._reader = open_for_reading(self.url, self.namespace)
        return snapshot(self._reader, log_tail=log_tail)

    async def claim_view(self, resource_key: str):
        """The stored claim on ``resource_key`` (a ClaimView), or None."""
        for claim in (await self.snapshot()).claims:
            if claim.resource == resource_key:
                return claim
        return None

    # ---- the calls that change the group, recorded by the ledger when there is one ----

    async def claim(self, prefix, agent, name, wait=None):
        engine = self.engine
        if wait is None:
            call = engine.claim_file if prefix == FILE_PREFIX else engine.claim_task
            result = await call(agent, name)
        else:
            call = engine.wait_claim_file if prefix == FILE_PREFIX else engine.wait_claim_task
            result = await call(agent, name, wait)
        if self.ledger is not None:
            self.ledger.claimed(prefix + name, agent, int(time.time()))
        return result

    async def renew(self, agent, resource_key):
        result = await self.engine.renew_claim(agent, resource_key)
        if self.ledger is not None:
            self.ledger.renewed(resource_key, int(time.time()))
        return result

    async def release(self, agent, resource_key):
        await self.engine.release(agent, resource_key)
        if self.ledger is not None:
            self.ledger.released(resource_key, agent, int(time.time()))

    async def send(self, sender, recipient, content):
        message = await self.engine.send_message(sender, recipient, content)
        if self.ledger is not None:
            self.ledger.sent(message)
        return message

    async def broadcast(self, sender, content):
        message = await self.engine.broadcast(sender, content)
        if self.ledger is not None:
            self.ledger.sent(message)
        return message

    async def aclose(self) -> None:
        engine, self.engine = self.engine, None
        try:
            if engine is not None:
                await engine.aclose()
        finally:
            reader, self._reader = self._reader, None
            if reader is not None:
                reader.close()
