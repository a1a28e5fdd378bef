"""Lease takeover, with the wall clock under our control.

A claim is a lease of 300 seconds from the moment it was made or last renewed. Nothing
sweeps lapsed claims: a lapsed claim stays where it is until somebody claims the resource
again (a takeover, by anyone, the old holder included) or its holder renews or releases it.
Renew and release do not look at the lease at all.

Waiting five minutes makes a poor example, so this script runs itself again under libfaketime
(LD_PRELOAD), with the clock frozen at a time read from a file that the script rewrites to
move time: "2030-01-01 09:00:00" in that file means "it is 09:00:00 now, and it stays so".
The module reads the real-time clock on every call, so it sees every move at once.

Run it with `make demo`, or `python examples/lease_takeover.py` wherever durnel_core is
importable and libfaketime is installed (Debian package faketime).
"""

import calendar
import os
import sys
import tempfile
import time

LIBFAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
DAY = "2030-01-01"


def run_under_libfaketime():
    """Start this script again with the clock faked; returns its exit status."""
    candidates = [
        LIBFAKETIME,
        "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
        "/usr/lib/faketime/libfaketime.so.1",
    ]
    library = next((path for path in candidates if os.path.exists(path)), None)
    if library is None:
        print("lease_takeover: libfaketime is not installed (apt-get install faketime)")
        return 1
    with tempfile.TemporaryDirectory() as scratch:
        clock_file = os.path.join(scratch, "clock")
        with open(clock_file, "w") as handle:
            handle.write(DAY + " 09:00:00\n")
        env = dict(
            os.environ,
            LD_PRELOAD=library,
            FAKETIME_TIMESTAMP_FILE=clock_file,  # the fake time is read from here...
            FAKETIME_NO_CACHE="1",  # ...on every clock read
            FAKETIME_DONT_FAKE_MONOTONIC="1",  # timeouts and sleeps keep real time
            TZ="UTC",
        )
        return os.spawnve(os.P_WAIT, sys.executable, [sys.executable] + sys.argv, env)


def unix_seconds(hh_mm_ss):
    return calendar.timegm(time.strptime("%s %s" % (DAY, hh_mm_ss), "%Y-%m-%d %H:%M:%S"))


class Clock:
    def __init__(self, path):
        self.path = path

    def set(self, hh_mm_ss):
        with open(self.path, "w") as handle:
            handle.write("%s %s\n" % (DAY, hh_mm_ss))
        now = time.strftime("%H:%M:%S", time.gmtime(time.time()))
        if now != hh_mm_ss:
            raise SystemExit(
                "lease_takeover: the clock did not move to %s (reads %s)" % (hh_mm_ss, now)
            )
        return now


def main(clock):
    from durnel_core import CoordinationState

    state = CoordinationState()
    failures = []

    def step(at, what, call, expected):
        """Set the clock, make one call, print it with its result and compare."""
        clock.set(at)
        try:
            result = repr(call())
        except RuntimeError as refusal:
            result = "RuntimeError: %s" % refusal
        mark = "" if result == expected else "   <-- expected %s" % expected
        if mark:
            failures.append(what)
        print("  %s  %-50s %s%s" % (at, what, result, mark))

    print("Lease takeover, clock faked by libfaketime (UTC, %s)" % DAY)
    print("\n  Claims hold for 300 s after they are made or renewed; then anyone may take over.")
    step(
        "09:00:00",
        "claim_file('ana', 'notes/plan.txt')",
        lambda: state.claim_file("ana", "notes/plan.txt"),
        "'ana'",
    )
    step(
        "09:00:10",
        "claim_file('bo', 'notes/plan.txt')",
        lambda: state.claim_file("bo", "notes/plan.txt"),
        "RuntimeError: ana already holds claim on notes/plan.txt",
    )
    step(
        "09:00:20",
        "claim_file('ana', 'notes/plan.txt')",
        lambda: state.claim_file("ana", "notes/plan.txt"),
        "RuntimeError: ana already holds claim on notes/plan.txt",
    )
    step(
        "09:04:59",
        "claim_file('bo', 'notes/plan.txt')  age 299 s",
        lambda: state.claim_file("bo", "notes/plan.txt"),
        "RuntimeError: ana already holds claim on notes/plan.txt",
    )
    step(
        "09:05:00",
        "claim_file('bo', 'notes/plan.txt')  age 300 s",
        lambda: state.claim_file("bo", "notes/plan.txt"),
        "'bo'",
    )

    print("\n  The old holder is not told, and its status stays as it was.")
    step("09:05:01", "status('ana')", lambda: state.status("ana"), "'busy'")
    step("09:05:01", "status('bo')", lambda: state.status("bo"), "'busy'")
    step(
        "09:05:02",
        "renew_claim('ana', 'file:notes/plan.txt')",
        lambda: state.renew_claim("ana", "file:notes/plan.txt"),
        "RuntimeError: ana cannot renew a claim held by bo",
    )
    step(
        "09:05:03",
        "release('ana', 'file:notes/plan.txt')",
        lambda: state.release("ana", "file:notes/plan.txt"),
        "RuntimeError: ana cannot release a claim held by bo",
    )

    print("\n  Renewing restarts the 300 s from now.")
    step(
        "09:08:20",
        "renew_claim('bo', 'file:notes/plan.txt')",
        lambda: state.renew_claim("bo", "file:notes/plan.txt"),
        "'bo'",
    )
    step(
        "09:13:19",
        "claim_file('cy', 'notes/plan.txt')  age 299 s",
        lambda: state.claim_file("cy", "notes/plan.txt"),
        "RuntimeError: bo already holds claim on notes/plan.txt",
    )

    print("\n  Nothing sweeps a lapsed claim; renew and release ignore the lease.")
    step(
        "11:00:00",
        "renew_claim('bo', 'file:notes/plan.txt')  lapsed",
        lambda: state.renew_claim("bo", "file:notes/plan.txt"),
        "'bo'",
    )
    step(
        "11:04:59",
        "claim_file('cy', 'notes/plan.txt')",
        lambda: state.claim_file("cy", "notes/plan.txt"),
        "RuntimeError: bo already holds claim on notes/plan.txt",
    )

    print("\n  A clock that goes back makes a claim young, never old.")
    step(
        "08:00:00",
        "claim_file('cy', 'notes/plan.txt')",
        lambda: state.claim_file("cy", "notes/plan.txt"),
        "RuntimeError: bo already holds claim on notes/plan.txt",
    )

    print("\n  Once lapsed, even the holder gets it by claiming again (a takeover of itself).")
    step(
        "12:00:00",
        "claim_file('bo', 'notes/plan.txt')",
        lambda: state.claim_file("bo", "notes/plan.txt"),
        "'bo'",
    )
    step(
        "12:00:05",
        "release('bo', 'file:notes/plan.txt')",
        lambda: state.release("bo", "file:notes/plan.txt"),
        "None",
    )
    step("12:00:05", "status('bo')", lambda: state.status("bo"), "'idle'")

    print("\n  Messages carry the (faked) second they were sent in.")
    step(
        "12:30:00",
        "send_message('bo', 'ana', 'plan is yours')",
        lambda: state.send_message("bo", "ana", "plan is yours"),
        "('bo', 'ana', 'plan is yours', %d)" % unix_seconds("12:30:00"),
    )

    if failures:
        print("\nlease_takeover: %d step(s) did not go as described" % len(failures))
        return 1
    print("\nEvery step went as described.")
    return 0


if __name__ == "__main__":
    clock_file = os.environ.get("FAKETIME_TIMESTAMP_FILE")
    if not clock_file or "faketime" not in os.environ.get("LD_PRELOAD", ""):
        sys.exit(run_under_libfaketime())
    sys.exit(main(Clock(clock_file)))
