"""The in-process object's wait queues and its three methods that may wake a waiter:
``send_message`` and ``broadcast`` wake the waiters of the mailboxes they fill, ``release``
the first waiter for the resource it frees. While nobody waits they cost what the native
methods cost.

Where the interpreter has a GIL and collects garbage only between bytecodes (CPython 3.12 on),
each method is a ``functools.partial`` over the native object whose function is switched: the
native method itself while nobody waits, a waking function (the native call, then the wake-up)
while anybody does. The queues switch it under their lock when the first waiter joins and
when the last one leaves, so before the joining waiter looks for the last time. No wake-up
is lost: from the moment a call reads the partial's function to the native change of state no
Python code runs (the arguments are converted in C, and a collection that the argument tuple's
allocation triggers waits for the interpreter's next check), so no other thread runs in
between. A call either reads the function after the switch, and wakes; or it changes the
state before the switch, and the waiter's last look sees the change. A method fetched from
the object (``release = state.release``) is the same partial, and follows the switches.
Arity, keyword and type errors are the native ones, byte for byte, whether anybody waits or
not: the waking functions pass their arguments on untouched.

Before 3.12 a collection runs inside an allocation, finalizers with it, and another thread
may take the GIL there: a waiter could join and look between a call's read of the native
method and its change. There each method is a Python function that calls the native method
and then asks whether anybody waits (a frame per call; its arity and keyword errors are
Python's: the same texts from 3.10 on, but keywords are checked before surplus positionals,
and 3.9 names the bare method). Likewise on an interpreter without a GIL.
"""

import sys
from functools import partial
from typing import Any, Callable, NamedTuple

import durnel_core

from ..waiting import WaitQueues

__all__ = ["SWITCHED", "Waking", "waking_methods"]

NATIVE = durnel_core.CoordinationState

# Whether the methods are switched partials (see the module's docstring).
SWITCHED = sys.version_info >= (3, 12) and getattr(sys, "_is_gil_enabled", lambda: True)()


class Waking(NamedTuple):
    mail_waiters: WaitQueues  # agent id -> waiters of its mailbox
    claim_waiters: WaitQueues  # resource key -> waiters for it, first come first served
    send_message: Callable[..., Any]
    broadcast: Callable[..., Any]
    release: Callable[..., Any]


def waking_methods(state: durnel_core.CoordinationState) -> Waking:
    """The wait queues of a new in-process object over ``state`` and its three methods that
    wake them."""
    return _switched(state) if SWITCHED else _wrapped(state)


def _switched(state):
    send = partial(NATIVE.send_message, state)
    cast = partial(NATIVE.broadcast, state)
    free = partial(NATIVE.release, state)

    def switch(busy, *pairs):
        for method, (native, wakes) in pairs:
            # the same argument tuple: the state that a running call borrows from it stays
            method.__setstate__((wakes if busy else native, method.args, method.keywords, None))

    mail_waiters = WaitQueues(
        lambda busy: switch(
            busy,
            (send, (NATIVE.send_message, send_message)),
            (cast, (NATIVE.broadcast, broadcast)),
        )
    )
    claim_waiters = WaitQueues(lambda busy: switch(busy, (free, (NATIVE.release, release))))
    # Whether anybody waits for this key, asked without the lock: a waiter is in before it
    # looks for the last time (see WaitQueues).
    mail, claims = mail_waiters.queues, claim_waiters.queues
    wake_mailbox, wake_claim = mail_waiters.wake_all, claim_waiters.wake_first

    def send_message(native, *args, **kwargs):
        message = NATIVE.send_message(native, *args, **kwargs)
        if message[1] in mail:
            wake_mailbox(message[1])
        return message

    def broadcast(native, *args, **kwargs):
        message = NATIVE.broadcast(native, *args, **kwargs)
        if mail:
            wake_mailbox()  # every mailbox that anybody waits on may have a copy
        return message

    def release(native, *args, **kwargs):
        NATIVE.release(native, *args, **kwargs)
        # the call succeeded: the key is the second argument, or named
        key = str.__str__(args[1] if len(args) > 1 else kwargs["resource_key"])
        if key in claims:
            wake_claim(key)

    return Waking(mail_waiters, claim_waiters, send, cast, free)


def _wrapped(state):
    mail_waiters, claim_waiters = WaitQueues(), WaitQueues()
    native_send, native_broadcast, native_release = (
        state.send_message,
        state.broadcast,
        state.release,
    )
    mail, claims = mail_waiters.queues, claim_waiters.queues
    wake_mailbox, wake_claim = mail_waiters.wake_all, claim_waiters.wake_first

    # Closures over what they need (no attribute lookups, no *args): the cheapest calls
    # Python has for them.
    def send_message(from_agent, to_agent, content):
        message = native_send(from_agent, to_agent, content)
        if mail and message[1] in mail:
            wake_mailbox(message[1])
        return message

    def broadcast(from_agent, content):
        message = native_broadcast(from_agent, content)
        if mail:
            wake_mailbox()
        return message

    def release(agent_id, resource_key):
        native_release(agent_id, resource_key)
        if claims and str.__str__(resource_key) in claims:
            wake_claim(str.__str__(resource_key))

    for method in (send_message, broadcast, release):
        # Python words an arity error with the qualified name (3.10 on), as the native does.
        method.__qualname__ = "CoordinationState." + method.__name__
    return Waking(mail_waiters, claim_waiters, send_message, broadcast, release)
