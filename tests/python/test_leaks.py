"""Leak checks from Python: memory stays flat while objects full of claims, messages and log
events are made and destroyed, and no call path (good or bad arguments, refusals, every
method) changes the reference count of its arguments, of the instance, of the class or of
None.

Memory is the allocator's count of live heap bytes: glibc's mallinfo2, or, when the
interpreter runs with AddressSanitizer preloaded, the sanitizer's own count (its quarantine
keeps freed memory resident on purpose). Resident pages (/proc/self/statm) are the fallback;
they miss growth that reuses pages which earlier tests freed.
"""

import ctypes
import gc
import os
import sys

import pytest

import durnel_core
from durnel_core import CoordinationState

MIB = 1024 * 1024


def _sanitizer_live_bytes():
    """AddressSanitizer's count of live heap bytes, when its runtime is in this process."""
    try:
        function = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    except (AttributeError, OSError):
        return None
    function.restype = ctypes.c_size_t
    function.argtypes = []
    return function


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _glibc_live_bytes():
    """glibc's bytes in use: in chunks of its heaps, plus its directly mapped blocks."""
    try:
        function = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return None
    function.restype = _MallInfo2
    function.argtypes = []

    def live_bytes():
        info = function()
        return info.uordblks + info.hblkhd

    return live_bytes


LIVE_BYTES = _sanitizer_live_bytes() or _glibc_live_bytes()


def memory_in_use():
    gc.collect()
    if LIVE_BYTES is not None:
        return LIVE_BYTES()
    with open("/proc/self/statm") as statm:
        resident_pages = int(statm.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


def fill(state, round_number, content):
    """Claims, renewals, releases, direct messages, broadcasts, reads and drains: every
    table grows, and each successful call appends to the activity log."""
    agents = ["agent-%d" % i for i in range(16)]
    for i in range(160):
        agent = agents[i % 16]
        path = "src/%d/%d.py" % (round_number, i)
        assert state.claim_file(agent, path) == agent
        assert state.claim_task(agent, "task-%d-%d" % (round_number, i)) == agent
        assert state.renew_claim(agent, "file:" + path) == agent
        with pytest.raises(RuntimeError):
            state.claim_file(agents[(i + 1) % 16], path)
        if i % 2:
            assert state.release(agent, "file:" + path) is None
    for i in range(240):
        state.send_message(agents[i % 16], agents[(i * 7) % 16], content)
    for i in range(6):
        state.broadcast(agents[i], content)
    for agent in agents[:8]:
        assert len(state.inbox(agent)) > 0
        state.drain_inbox(agent)


@pytest.mark.skipif(
    not os.path.exists("/proc/self/statm") and LIVE_BYTES is None, reason="needs /proc/self/statm"
)
def test_memory_stays_flat_across_full_objects():
    content = "m" * 2048 + "\u00e9"  # each message and each logged send keeps a copy
    for warm_up in range(8):
        state = CoordinationState()
        fill(state, warm_up, content)
        del state
    baseline = memory_in_use()
    for round_number in range(8, 48):
        state = CoordinationState()
        fill(state, round_number, content)
        del state
    growth = memory_in_use() - baseline

    # What a full object holds, measured with several alive at once: keeping even a part
    # of each of the 40 objects above would have shown far above the allowance.
    alive = []
    for round_number in range(48, 54):
        alive.append(CoordinationState())
        fill(alive[-1], round_number, content)
    per_object = (memory_in_use() - baseline) / len(alive)
    del alive
    assert per_object > 0.5 * MIB, "the objects were not filled as intended"
    assert growth < 8 * MIB, "memory grew by %.1f MiB over 40 objects of %.1f MiB" % (
        growth / MIB,
        per_object / MIB,
    )


def test_destroying_one_object_keeps_the_other():
    kept = CoordinationState()
    kept.claim_file("a", "x")
    kept.send_message("a", "b", "hello")
    dropped = CoordinationState()
    fill(dropped, 0, "text")
    del dropped
    gc.collect()
    assert kept.status("a") == "busy"
    assert [message[:3] for message in kept.inbox("b")] == [("a", "b", "hello")]


class Text(str):
    pass


class Opaque:
    pass


def _fresh(text):
    # A str object of its own (not interned, not shared with a constant).
    return "".join(list(text))


def call_paths():
    """(name, method, args, kwargs, state set-up) for every method on every kind of path."""
    agent, other = _fresh("agent-\u00e9"), _fresh("other")
    path, task = _fresh("docs/a\x00.txt"), _fresh("task-1")
    key, content = _fresh("file:docs/a\x00.txt"), _fresh("hello \U0001f642")
    sub, opaque, number = Text("sub-agent"), Opaque(), 12345678
    surrogate, raw = _fresh("bad\ud800"), b"bytes"

    def holding(state):
        state.claim_file(agent, path)

    def with_mail(state):
        for _ in range(3):
            state.send_message(other, agent, content)

    def nothing(state):
        pass

    return [
        ("claim_file fresh", "claim_file", (agent, path), {}, nothing),
        ("claim_file refused", "claim_file", (other,), {"path": path}, holding),
        ("claim_task by name", "claim_task", (), {"task_id": task, "agent_id": sub}, nothing),
        ("renew held", "renew_claim", (agent, key), {}, holding),
        ("renew refused", "renew_claim", (other, key), {}, holding),
        ("renew missing", "renew_claim", (agent, key), {}, nothing),
        ("release held", "release", (agent, key), {}, holding),
        ("release refused", "release", (other,), {"resource_key": key}, holding),
        ("release missing", "release", (agent, key), {}, nothing),
        ("send", "send_message", (agent, other, content), {}, nothing),
        ("broadcast", "broadcast", (agent,), {"content": content}, with_mail),
        ("inbox", "inbox", (agent,), {}, with_mail),
        ("drain", "drain_inbox", (), {"agent_id": agent}, with_mail),
        ("status", "status", (agent,), {}, holding),
        ("wrong type", "claim_file", (agent, opaque), {}, nothing),
        ("int", "status", (number,), {}, nothing),
        ("bytes by name", "inbox", (), {"agent_id": raw}, nothing),
        ("None", "send_message", (agent, None, content), {}, nothing),
        ("surrogate", "broadcast", (agent, surrogate), {}, nothing),
        ("too many", "status", (agent, other), {}, nothing),
        ("missing", "send_message", (agent,), {}, nothing),
        ("twice", "release", (agent, key), {"agent_id": other}, nothing),
        ("unknown keyword", "drain_inbox", (agent,), {_fresh("agent"): other}, nothing),
    ]


@pytest.mark.parametrize(
    "name,method,args,kwargs,setup", call_paths(), ids=[path[0] for path in call_paths()]
)
def test_call_path_keeps_reference_counts(name, method, args, kwargs, setup):
    watched = [CoordinationState, None, *args, *kwargs.values(), *kwargs.keys()]
    instance_changes = []

    def counts():
        # The interpreter's attribute-lookup cache holds references to None in its unused
        # slots (CPython 3.10 and 3.11), which a lookup with a fresh name string (the type
        # name of a rejected argument) takes over. Emptying it before each count keeps that
        # out of the comparison.
        clear_type_cache = getattr(sys, "_clear_type_cache", None)
        if clear_type_cache is not None:
            clear_type_cache()
        return [sys.getrefcount(obj) for obj in watched]

    def run_once():
        state = CoordinationState()
        setup(state)
        held = sys.getrefcount(state)
        try:
            getattr(state, method)(*args, **kwargs)
        except (RuntimeError, TypeError, UnicodeEncodeError):
            pass
        if sys.getrefcount(state) != held:
            instance_changes.append(sys.getrefcount(state) - held)

    # Warm up until a round of calls leaves every count as it was: the interpreter's own
    # caches (attribute lookups, free lists, exception types) settle within a few hundred
    # calls, while a reference that a call keeps or drops would show in every round.
    gc.collect()
    gc.disable()  # a collection would free unrelated garbage that refers to None too
    try:
        for _ in range(10):
            settled = counts()
            for _ in range(200):
                run_once()
            if counts() == settled:
                break
        before = counts()
        for _ in range(2000):
            run_once()
        after = counts()
    finally:
        gc.enable()
    assert instance_changes == []
    assert after == before, list(zip(["class", "None", "arguments..."], before, after))


def test_making_and_dropping_objects_keeps_the_class_count():
    gc.collect()
    before = sys.getrefcount(CoordinationState)
    for _ in range(2000):
        state = CoordinationState()
        state.claim_task("a", "t")
        del state
    with pytest.raises(TypeError):
        CoordinationState(1)
    with pytest.raises(TypeError):
        CoordinationState(x=1)
    gc.collect()
    assert sys.getrefcount(CoordinationState) == before
    assert durnel_core.CoordinationState is CoordinationState
