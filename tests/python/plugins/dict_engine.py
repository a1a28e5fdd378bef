"""A coordination engine kept in a dict under a lock, for the threads of one process: the
nine methods of the contract and the lifecycle, no waits, no snapshot reader.

It is no part of durnel: the distribution whose metadata lies beside it declares it in the
entry-point group ``durnel.engines``, as a third party's engine would. With this directory on
``sys.path``, ``durnel.connect("dict://")`` finds it, and the test suites, which take their
engines from the registry, run the contract against it.
"""

import threading
import time

from durnel import contract
from durnel.arguments import plain
from durnel.engines import Engine
from durnel.lifecycle import Closing
from durnel.namespaces import check_namespace


class DictCoordinationState(Closing):
    """One group: claims by key, statuses (the roster, in joining order), mailboxes."""

    _CLOSED_METHODS = contract.METHODS

    def __init__(self, namespace="default"):
        self.namespace = check_namespace(namespace)
        self._lock = threading.Lock()
        self._claims, self._statuses, self._boxes = {}, {}, {}

    def claim_file(self, agent_id, path):
        return self._claim(contract.FILE_PREFIX, plain("agent_id", agent_id), plain("path", path))

    def claim_task(self, agent_id, task_id):
        agent, name = plain("agent_id", agent_id), plain("task_id", task_id)
        return self._claim(contract.TASK_PREFIX, agent, name)

    def _claim(self, prefix, agent, name):
        with self._lock:
            held, now = self._claims.get(prefix + name), int(time.time())
            if held is not None and not contract.lapsed(held[1], now):
                raise RuntimeError(contract.claim_refusal(prefix, held[0], name))
            self._claims[prefix + name] = [agent, now]
            self._statuses[agent] = "busy"
            return agent

    def _held(self, agent_id, resource_key, refusal):
        agent, key = plain("agent_id", agent_id), plain("resource_key", resource_key)
        held = self._claims.get(key)
        if held is None or held[0] != agent:
            raise RuntimeError(refusal(agent, key, held and held[0]))
        return agent, key, held

    def renew_claim(self, agent_id, resource_key):
        with self._lock:
            agent, _, held = self._held(agent_id, resource_key, contract.renew_refusal)
            held[1] = int(time.time())
            return agent

    def release(self, agent_id, resource_key):
        refusal = lambda agent, key, holder: contract.release_refusal(agent, holder)  # noqa: E731
        with self._lock:
            agent, key, _ = self._held(agent_id, resource_key, refusal)
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
        return (sender, contract.BROADCAST_RECIPIENT, text, now)

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
    """``dict://``: a new, empty group."""
    if url != "dict://":
        raise ValueError("a dict engine's URL is dict://, not %r" % (url,))
    return DictCoordinationState(namespace)


ENGINE = Engine(
    "dict",
    schemes=("dict",),
    open="dict_engine:open_url",
    classes=("dict_engine:DictCoordinationState",),
    waits=False,
)
