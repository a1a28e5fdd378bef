"""A coordination engine kept in a dict under a lock, for the threads of one process: the
nine methods of the contract and the lifecycle, no waits, no snapshot reader.

It is no part of durnel. The distribution whose metadata lies beside it (its ``.dist-info``)
declares it in the entry-point group ``durnel.engines``, as a third party's engine would; once
this directory is on ``sys.path``, ``durnel.connect("dict://")`` finds it there, and the test
suites, which take their engines from the registry, run the contract against it.
"""

import threading
import time

from durnel.arguments import plain
from durnel.contract import (
    BROADCAST_RECIPIENT,
    FILE_PREFIX,
    TASK_PREFIX,
    claim_refusal,
    lapsed,
    release_refusal,
    renew_refusal,
)
from durnel.engines import Engine
from durnel.lifecycle import Closing
from durnel.namespaces import check_namespace

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


class DictCoordinationState(Closing):
    """One group, every call under one lock: claims by key, statuses (the roster, in the
    order agents joined it) and mailboxes."""

    _CLOSED_METHODS = METHODS

    def __init__(self, namespace="default"):
        self.namespace = check_namespace(namespace)
        self._lock = threading.Lock()
        self._claims = {}  # resource key -> [holder, stamp]
        self._statuses = {}  # agent -> status
        self._boxes = {}  # agent -> its messages, oldest first

    def claim_file(self, agent_id, path):
        return self._claim(FILE_PREFIX, plain("agent_id", agent_id), plain("path", path))

    def claim_task(self, agent_id, task_id):
        return self._claim(TASK_PREFIX, plain("agent_id", agent_id), plain("task_id", task_id))

    def _claim(self, prefix, agent, name):
        with self._lock:
            now = int(time.time())
            held = self._claims.get(prefix + name)
            if held is not None and not lapsed(held[1], now):
                raise RuntimeError(claim_refusal(prefix, held[0], name))
            self._claims[prefix + name] = [agent, now]
            self._statuses[agent] = "busy"
            return agent

    def renew_claim(self, agent_id, resource_key):
        agent, key = plain("agent_id", agent_id), plain("resource_key", resource_key)
        with self._lock:
            held = self._claims.get(key)
            if held is None or held[0] != agent:
                raise RuntimeError(renew_refusal(agent, key, held and held[0]))
            held[1] = int(time.time())
            return agent

    def release(self, agent_id, resource_key):
        agent, key = plain("agent_id", agent_id), plain("resource_key", resource_key)
        with self._lock:
            held = self._claims.get(key)
            if held is None or held[0] != agent:
                raise RuntimeError(release_refusal(agent, held and held[0]))
            del self._claims[key]
            self._statuses[agent] = "idle"

    def send_message(self, from_agent, to_agent, content):
        sender, recipient = plain("from_agent", from_agent), plain("to_agent", to_agent)
        message = (sender, recipient, plain("content", content), int(time.time()))
        with self._lock:
            self._statuses.setdefault(recipient, "idle")
            self._boxes.setdefault(recipient, []).append(message)
        return message

    def broadcast(self, from_agent, content):
        sender, text = plain("from_agent", from_agent), plain("content", content)
        with self._lock:
            now = int(time.time())
            self._statuses.setdefault(sender, "idle")
            for agent in self._statuses:
                self._boxes.setdefault(agent, []).append((sender, agent, text, now))
        return (sender, BROADCAST_RECIPIENT, text, now)

    def inbox(self, agent_id):
        agent = plain("agent_id", agent_id)
        with self._lock:
            return list(self._boxes.get(agent, ()))

    def drain_inbox(self, agent_id):
        agent = plain("agent_id", agent_id)
        with self._lock:
            return self._boxes.pop(agent, [])

    def status(self, agent_id):
        agent = plain("agent_id", agent_id)
        with self._lock:
            return self._statuses.get(agent, "idle")

    def __repr__(self):
        return "<DictCoordinationState namespace=%r>" % self.namespace


def open_url(url, namespace):
    """``dict://``: a new, empty group of its own."""
    if url != "dict://":
        raise ValueError("a dict engine's URL is dict://, not %r" % (url,))
    return DictCoordinationState(namespace)


ENGINE = Engine(
    name="dict",
    schemes=("dict",),
    open="dict_engine:open_url",
    classes=("dict_engine:DictCoordinationState",),
    waits=False,
)
