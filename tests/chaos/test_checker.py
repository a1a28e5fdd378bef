"""The checker on histories written by hand: every broken promise below must be reported
(a checker that passes everything would let the chaos run pass too), and the same history
with the fault taken out must pass."""

import itertools
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import checker
from engines import ENGINES

_ids = itertools.count()


def call(t0, t1, pid, op, args, result=None, outcome="ok", error=""):
    number = "%d.%d" % (pid, next(_ids))
    started = {"k": "inv", "t": t0, "p": pid, "id": number, "w": "w", "op": op, "a": args}
    started.update(o="sync", clk=1000.0 + t0)
    if outcome == "ok":
        return [
            started,
            {"k": "ok", "t": t1, "p": pid, "id": number, "r": result, "clk": 1000.0 + t1},
        ]
    ended = {"k": "err", "t": t1, "p": pid, "id": number, "o": outcome, "e": error}
    return [started, dict(ended, clk=1000.0 + t1)]


def sent(t, pid, content, to="b"):
    return call(t, t + 0.01, pid, "send_message", ["a", to, content], ["a", to, content, 1000])


def got(t, pid, *contents, op="drain_inbox", to="b"):
    messages = [["a", to, c, 1000] for c in contents]
    return call(t, t + 0.01, pid, op, [to] + ([1.0] if op != "drain_inbox" else []), messages)


def kinds(engine, *calls):
    events = sorted((e for c in calls for e in c), key=lambda e: e["t"])
    return sorted({v.kind for v in checker.check(events, ENGINES[engine]({}), 0).violations})


KILL = [{"k": "kill", "t": 2.015, "p": 1, "pid": 2, "why": "nemesis"}]


HELD_DRAIN = [{"k": "fault", "t": 1, "p": 1, "kind": "delay_request", "t0": 1, "t1": 4.9}]
HELD_DRAIN[0]["keys"] = ["durnel:{n}:inbox:b"]
WIPE = [{"k": "fault", "t": 1.5, "p": 1, "kind": "restart_without_aof", "t0": 1.5, "wipe": True}]


def server_clock(t, offset):
    return [{"k": "clock", "t": t, "p": 1, "target": "server", "offset": offset}]


FAULTS = {
    # name: (engine, history with the fault, the fault taken out, what must be reported)
    "lost": (
        "sqlite",
        [sent(1, 1, "m"), got(2, 2)],
        [sent(1, 1, "m"), got(2, 2, "m")],
        ["lost", "missed message"],
    ),
    "twice": (
        "redis",
        [sent(1, 1, "m"), got(2, 2, "m"), got(9, 3, "m")],
        [sent(1, 1, "m"), got(2, 2, "m"), KILL, got(9, 3, "m")],
        ["delivered twice"],
    ),
    "twice, the clock moved less than the timeout": (
        "redis",
        [sent(1, 1, "m"), got(2, 2, "m"), server_clock(2.5, 2), got(4, 3, "m")],
        [sent(1, 1, "m"), got(2, 2, "m"), server_clock(2.5, 310), got(4, 3, "m")],
        ["delivered twice"],
    ),
    "missed, a drain held back but no restart": (
        "redis",
        [HELD_DRAIN, sent(2, 1, "m"), got(3, 2), got(9, 3, "m")],
        [HELD_DRAIN, WIPE, sent(2, 1, "m"), got(3, 2), got(9, 3, "m")],
        ["missed message"],
    ),
    "order": (
        "sqlite",
        [sent(1, 1, "m1"), sent(2, 1, "m2"), got(3, 2, "m2", "m1")],
        [sent(1, 1, "m1"), sent(2, 1, "m2"), got(3, 2, "m1", "m2")],
        ["out of order"],
    ),
    "asleep": (
        "sqlite",
        [sent(1, 1, "m"), call(0, 30, 2, "wait_for_messages", ["b", None], [])],
        [
            sent(1, 1, "m"),
            call(0, 1.2, 2, "wait_for_messages", ["b", None], [["a", "b", "m", 1000]]),
        ],
        ["lost", "waiter asleep"],
    ),
    "two holders": (
        "sqlite",
        [
            call(1, 1.1, 1, "claim_file", ["a", "f"], "a"),
            call(5, 5.1, 2, "claim_file", ["b", "f"], "b"),
        ],
        [
            call(1, 1.1, 1, "claim_file", ["a", "f"], "a"),
            call(3, 3.1, 1, "release", ["a", "file:f"]),
            call(5, 5.1, 2, "claim_file", ["b", "f"], "b"),
        ],
        ["two holders"],
    ),
    "handover": (
        "sqlite",
        [
            call(1, 1.1, 1, "claim_file", ["a", "f"], "a"),
            call(
                1.5,
                20,
                2,
                "wait_claim_file",
                ["b", "f", 30.0],
                outcome="refused",
                error="RuntimeError: a already holds claim on f",
            ),
            call(2, 2.1, 1, "release", ["a", "file:f"]),
        ],
        [
            call(1, 1.1, 1, "claim_file", ["a", "f"], "a"),
            call(1.5, 2.2, 2, "wait_claim_file", ["b", "f", 30.0], "b"),
            call(2, 2.1, 1, "release", ["a", "file:f"]),
        ],
        ["live claim waiter passed over"],
    ),
    "cancelled wait": (
        "redis",
        [
            call(1, 1.1, 1, "wait_claim_file", ["a", "f", 1.0], outcome="cancelled"),
            call(2, 2.1, 1, "release", ["a", "file:f"]),
        ],
        [
            call(1, 1.1, 1, "wait_claim_file", ["a", "f", 1.0], "a"),
            call(2, 2.1, 1, "release", ["a", "file:f"]),
        ],
        ["cancelled wait kept its claim"],
    ),
}


@pytest.mark.parametrize("name", FAULTS)
def test_every_broken_promise_is_reported_and_nothing_else(name):
    engine, broken, kept, expected = FAULTS[name]
    assert kinds(engine, *broken) == expected
    assert kinds(engine, *kept) == []
