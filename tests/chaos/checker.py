"""The checker: from a chaos run's recorded history alone (history.py), every promise of the
contract and the engine's documentation that the run broke, each shown with the shortest
stretch of history that proves it.

Outcomes. A call ended ``ok``; ``refused`` (it changed nothing: a contract refusal, or an
error the engine documents as changing nothing); ``cancelled``; ``unknown`` (an error after
which its effect is open, as a ConnectionError after the retries); ``killed`` or
``vanished`` (its process was killed, or ended, before it returned); or ``unexpected`` (an
exception the documentation does not give: always a violation).

What is checked:
- messages: every message whose send completed is delivered exactly once, or at most once
  where a reader of its inbox was killed mid-drain on an engine whose drain commits before
  it returns, or a restart without persistence lost it; a second delivery only where the
  first reader was killed or paused, right after its drain, for longer than the visibility
  timeout; delivered as sent (sender, recipient, sent_at), nothing delivered that a refused
  call sent; per sending worker and recipient, in send order, unless a batch of that inbox
  was lost meanwhile; a broadcast reaches the agents registered when it ran;
- a message in an inbox is not missed by a drain, and wakes a waiter of that inbox within
  the engine's wait bound (pauses of the waiter's process, and a server down, excepted);
- claims: no two successful claims of one resource without a release between, within a
  lease by the engine's clock; no release or renewal of a claim its agent cannot hold (a
  refused call, or a cancelled wait, that left a claim behind); no claim gone that its holder
  held; a refusal names a holder that can hold; a live claim waiter takes a released resource
  within the wait bound, whoever ahead of it is paused;
- every call returns within a bound (its timeout, plus retries); a cancelled wait raises
  CancelledError; no process crashed; nothing left behind (keys, rows, socket files, the
  -wal's size, a process's threads and descriptors after it closed its objects).
"""

import bisect
import collections

__all__ = ["Report", "agents_named", "check"]

INF = float("inf")
CALL_BOUND = 20.0  # seconds a call may take beyond its timeout: retries, a busy file
ALLOWANCE = 6.0  # seconds after a server is back before waits must have noticed
SETTLE_SLACK = 2.0  # seconds after a drain within which its batch is settled
LOST = ("unknown", "killed", "vanished", "unexpected", "cancelled")
MAIL = ("drain_inbox", "wait_for_messages")
CLAIMS = ("claim_file", "claim_task", "wait_claim_file", "wait_claim_task")
SHOWN = 5  # violations of one kind shown in full
LOOKBACK = 5.0  # seconds before a violation's first call whose faults its stretch shows


class Op:
    """One call: what, by whom, when, how it ended."""

    def __init__(self, line, proc):
        self.id, self.pid, self.worker = line["id"], line["p"], line["w"]
        self.op, self.args, self.obj = line["op"], line["a"], line["o"]
        self.u = proc["u"] if proc else "shared"
        self.t0, self.clk0 = line["t"], line["clk"]
        self.t1 = self.clk1 = None
        self.outcome, self.result, self.error = None, None, None
        self.cancelled_at, self.cancel_ignored, self.where = None, False, None

    @property
    def agent(self):
        return self.args[0]

    def key(self):
        """The resource key of a claim, renewal or release."""
        if self.op in CLAIMS:
            return ("file:" if self.op.endswith("file") else "task:") + self.args[1]
        return self.args[1]

    def timeout(self):
        if self.op.startswith("wait_"):
            return self.args[-1]
        return 0.0


class Violation:
    def __init__(self, kind, text, ops=(), pids=()):
        self.kind, self.text, self.pids = kind, text, set(pids)
        self.ops = list({op.id: op for op in ops}.values())


class History:
    """The history's calls, processes and faults, ready for the checks."""

    def __init__(self, events):
        self.start = events[0]["t"] if events else 0.0
        self.end = events[-1]["t"] if events else 0.0
        self.procs, self.ops, self.faults, self.wipes = {}, {}, [], []
        self.server_clock = []  # (t, offset) of the server's clock
        self.lost_replies = collections.defaultdict(list)  # agent -> when a drain of it ran
        self.held_drains = collections.defaultdict(list)  # agent -> (t0, t1): a drain held back
        self.lines = collections.defaultdict(list)  # pid -> its process events
        self.runner_lines = []
        for line in events:
            getattr(self, "_" + line["k"], self._other)(line)
        for op in self.ops.values():
            if op.t1 is None:  # its process ended first
                death = self.procs.get(op.pid, {})
                op.outcome = "killed" if death.get("killed") else "vanished"
                op.t1 = death.get("death", self.end)
            if op.clk1 is None:
                op.clk1 = op.clk0 + (op.t1 - op.t0)
        self.down = [(f["t0"], f["t1"] + ALLOWANCE) for f in self.faults if f.get("down")]

    def proc(self, pid):
        return self.procs.setdefault(pid, {"u": "shared", "stops": []})

    def _start(self, line):
        self.proc(line["p"]).update(u=line["u"], slot=line["slot"], kind=line["kind"])

    def _inv(self, line):
        self.ops[line["id"]] = Op(line, self.procs.get(line["p"]))

    def _ok(self, line):
        op = self.ops.get(line["id"])
        if op is not None:
            op.t1, op.clk1, op.outcome, op.result = line["t"], line["clk"], "ok", line["r"]
            op.cancel_ignored = line.get("ci", False)

    def _err(self, line):
        op = self.ops.get(line["id"])
        if op is not None:
            op.t1, op.clk1, op.outcome, op.error = line["t"], line["clk"], line["o"], line["e"]

    def _cancel(self, line):
        if line["id"] in self.ops:
            self.ops[line["id"]].cancelled_at = line["t"]

    def _where(self, line):
        if line["id"] in self.ops:
            self.ops[line["id"]].where = line["at"]

    def _kill(self, line):
        proc = self.proc(line["pid"])
        proc.setdefault("death", line["t"])
        proc["killed"] = True
        self._other(line)

    def _exit(self, line):
        self.proc(line["pid"]).setdefault("death", line["t"])
        self._other(line)

    def _stop(self, line):
        self.proc(line["pid"])["stops"].append([line["t"], self.end])
        self._other(line)

    def _cont(self, line):
        stops = self.proc(line["pid"])["stops"]
        if stops:
            stops[-1][1] = line["t"]
        self._other(line)

    def _fault(self, line):
        self.faults.append(line)
        for key in line.get("keys", ()):  # a drain the server ran then, whose reply was lost
            if ":inbox:" in key and line["kind"].startswith("lose"):
                self.lost_replies[key.split(":inbox:", 1)[1]].append(line["t0"])
            elif ":inbox:" in key and line["kind"] == "delay_request":
                self.held_drains[key.split(":inbox:", 1)[1]].append((line["t0"], line["t1"]))
        if line.get("wipe"):
            self.wipes.append(line["t0"])
        self._other(line)

    def _clock(self, line):
        if line["target"] == "server":
            self.server_clock.append((line["t"], line["offset"]))
        self._other(line)

    def _other(self, line):
        self.lines[line.get("pid", line["p"])].append(line)
        self.runner_lines.append(line)

    def paused(self, pid):
        proc = self.procs.get(pid, {})
        stops = list(proc.get("stops", ()))
        return [(a, min(b, proc.get("death", INF))) for a, b in stops]

    def offsets(self, t0, t1):
        """The server clock's offsets in force at some moment of [t0, t1]."""
        current, seen = 0, []
        for t, offset in self.server_clock:
            if t <= t0:
                current = offset
            elif t <= t1:
                seen.append(offset)
        return [current, *seen]

    def stamp_range(self, op, server_clock):
        """The whole seconds of the engine's clock at which ``op`` may have run."""
        low, high = min(op.clk0, op.clk1), max(op.clk0, op.clk1)
        if server_clock:
            offsets = self.offsets(op.t0, op.t1)
            low, high = low + min(offsets), high + max(offsets)
        return int(low), int(high)


# ---- intervals ----


def subtract(segments, cuts):
    for a, b in cuts:
        out = []
        for x, y in segments:
            if b <= x or a >= y:
                out.append((x, y))
                continue
            if x < a:
                out.append((x, a))
            if b < y:
                out.append((b, y))
        segments = out
    return segments


def within(segments, a, b):
    return [(max(x, a), min(y, b)) for x, y in segments if min(y, b) > max(x, a)]


def longest(segments):
    return max((y - x for x, y in segments), default=0.0)


# ---- the checks ----


class Checker:
    def __init__(self, history, engine):
        self.h, self.engine = history, engine
        self.violations = []
        self.stats = collections.Counter()
        self.readers = collections.defaultdict(list)  # (u, agent) -> drains and waits, by t0
        self.claims = collections.defaultdict(list)  # (u, key) -> claim calls
        self.releases = collections.defaultdict(list)  # (u, key) -> releases and renewals
        for op in sorted(history.ops.values(), key=lambda o: o.t0):
            if op.op in MAIL:
                self.readers[op.u, op.agent].append(op)
            elif op.op in CLAIMS:
                self.claims[op.u, op.key()].append(op)
            elif op.op in ("release", "renew_claim"):
                self.releases[op.u, op.key()].append(op)
        self.reader_starts = {k: [o.t0 for o in v] for k, v in self.readers.items()}
        self.longest_read = max(
            (o.t1 - o.t0 for o in history.ops.values() if o.op in MAIL), default=0
        )

    def report(self, kind, text, ops=(), pids=()):
        self.violations.append(Violation(kind, text, ops, pids))

    def excused(self, pid):
        """Times at which a call of ``pid`` may take long: its pauses and servers down."""
        return self.h.paused(pid) + self.h.down

    # -- calls --

    def calls(self):
        for op in self.h.ops.values():
            self.stats["calls " + op.outcome] += 1
            if op.outcome == "unexpected":
                where = " at " + " <- ".join(reversed(op.where)) if op.where else ""
                self.report("unexpected error", "%s raised %s%s" % (op.op, op.error, where), [op])
            if op.cancel_ignored:
                self.stats["cancellations ignored by " + op.op] += 1
                if op.op.startswith("wait_"):
                    self.report(
                        "cancellation ignored",
                        "task.cancel() on %s was ignored: it returned %r" % (op.op, op.result),
                        [op],
                    )
            timeout = op.timeout()
            if timeout is None:
                continue
            busy = subtract([(op.t0, op.t1)], self.excused(op.pid))
            if sum(y - x for x, y in busy) > timeout + CALL_BOUND:
                self.report(
                    "call hung",
                    "%s (timeout %s) took %.1f s, %.1f s of it with its process running and "
                    "servers up" % (op.op, timeout, op.t1 - op.t0, sum(y - x for x, y in busy)),
                    [op],
                )
        for line in self.h.runner_lines:
            if line["k"] == "kill" and "forked child" in line.get("why", ""):
                pending = [
                    o for o in self.h.ops.values() if o.pid == line["pid"] and o.outcome == "killed"
                ]
                self.report(
                    "forked child hung",
                    "a child forked from a process that used its objects: %s" % line["why"],
                    pending,
                    [line["pid"]],
                )
            elif line["k"] == "crash":
                self.report(
                    "process crashed",
                    "pid %d exited with %d:\n%s" % (line["pid"], line["code"], line["log"]),
                    pids=[line["pid"]],
                )
            elif line["k"] == "nemesis_failed":
                self.report("nemesis failed", "%s: %s" % (line["what"], line["error"]))

    # -- messages --

    def registered(self, u, agent, op):
        """'yes', 'maybe' or 'no': whether ``agent`` was on the roster when ``op`` (a
        broadcast) ran."""
        wiped = max([w for w in self.h.wipes if w < op.t0], default=-INF)
        answer = "no"
        for other in self.roster.get((u, agent), ()):
            if other is op and op.outcome == "ok":
                return "yes"  # the sender of a broadcast gets its own copy
            if other.t0 >= op.t1 or other.t1 <= wiped:
                continue
            if other.outcome == "ok" and other.t1 < op.t0 and other.t0 > wiped:
                return "yes"
            answer = "maybe"
        return answer

    def messages(self):
        h = self.h
        self.roster = collections.defaultdict(list)  # (u, agent) -> calls that register it
        sent = {}  # (u, recipient, content) -> (send or broadcast, expectation)
        broadcasts = []
        for op in h.ops.values():
            if op.outcome == "refused":
                continue
            if op.op == "send_message":
                self.roster[op.u, op.args[1]].append(op)
            elif op.op == "broadcast":
                self.roster[op.u, op.agent].append(op)
                broadcasts.append(op)
            elif (op.op in CLAIMS or op.op == "release") and op.outcome != "cancelled":
                self.roster[op.u, op.agent].append(op)
        everyone = collections.defaultdict(set)
        for u, agent in list(self.roster) + list(self.readers):
            everyone[u].add(agent)
        for op in h.ops.values():
            if op.op == "send_message":
                expectation = {"ok": "once", "refused": "never"}.get(op.outcome, "maybe")
                sent[op.u, op.args[1], op.args[2]] = (op, expectation)
        for op in broadcasts:
            for agent in everyone[op.u]:
                registered = self.registered(op.u, agent, op)
                expectation = {"yes": "once", "no": "never"}.get(registered, "maybe")
                if op.outcome != "ok" and expectation == "once":
                    expectation = "maybe"
                sent[op.u, agent, op.args[1]] = (op, expectation)
        refused_broadcasts = {
            (o.u, o.args[1])
            for o in h.ops.values()
            if o.op == "broadcast" and o.outcome == "refused"
        }
        deliveries = collections.defaultdict(list)
        for op in h.ops.values():
            if op.op not in MAIL + ("inbox",) or op.outcome != "ok":
                continue
            for index, message in enumerate(op.result):
                key = (op.u, op.agent, message[2])
                if key not in sent or message[1] != op.agent:
                    if (op.u, message[2]) in refused_broadcasts:
                        self.report(
                            "refused call took effect",
                            "a refused broadcast was delivered: %r" % (message,),
                            [op],
                        )
                    else:
                        self.report(
                            "phantom message",
                            "%s returned %r, which nobody sent to %s" % (op.op, message, op.agent),
                            [op],
                        )
                    continue
                send = sent[key][0]
                if message[0] != send.agent or (
                    send.outcome == "ok" and message[3] != send.result[3]
                ):
                    self.report(
                        "altered message",
                        "%s returned %r for the send %r" % (op.op, message, send.result),
                        [send, op],
                    )
                if op.op != "inbox":
                    deliveries[key].append((op, index))
        self.order = collections.defaultdict(list)  # (u, sender pid+worker, recipient) -> sends
        for key, (send, expectation) in sent.items():
            got = sorted(deliveries.get(key, ()), key=lambda d: d[0].t1)
            self.delivery(key, send, expectation, got)
            if send.outcome == "ok" and got:
                self.order[send.u, send.pid, send.worker, key[1]].append((send, got[0]))
            if expectation == "once":
                self.availability(key, send, got)
        self.ordering()

    def delivery(self, key, send, expectation, got):
        u, recipient, content = key
        if expectation == "never":
            if got:
                self.report(
                    "refused call took effect",
                    "%s's refused %s was delivered" % (send.agent, send.op),
                    [send] + [d[0] for d in got],
                )
            return
        if not got:
            if expectation == "maybe":
                return
            if any(w > send.t0 for w in self.h.wipes):
                self.stats["lost to a restart without persistence"] += 1
                return
            killed = [
                r
                for r in self.readers.get((u, recipient), ())
                if r.outcome == "killed" and r.t1 > send.t0
            ]
            if killed and self.engine.killed_drain_loses:
                self.stats["at most once: a reader killed with it in flight"] += 1
                return
            self.report(
                "lost",
                "%r to %s: sent, never delivered" % (content, recipient),
                [send] + killed[:2] + self.lost_readers(u, recipient, send)[:3],
            )
            return
        self.stats["exactly once" if len(got) == 1 else "delivered more than once"] += 1
        first = got[0][0]
        for later, _ in got[1:]:
            held = self.held_past_timeout(first) or self.held_past_timeout(later)
            if held or any(first.t0 < w < later.t1 for w in self.h.wipes):
                self.stats["twice: reader killed, paused or clock leapt past the timeout"] += 1
                continue
            self.report(
                "delivered twice",
                "%r to %s delivered by %s and again by %s"
                % (content, recipient, first.id, later.id),
                [send, first, later],
                [first.pid, later.pid],
            )

    def lost_readers(self, u, recipient, send):
        return [
            r for r in self.readers.get((u, recipient), ()) if self.may_hold(r) and r.t1 > send.t0
        ]

    def held_past_timeout(self, reader):
        """Whether the process of ``reader`` was killed or paused right after its drain, for
        longer than the visibility timeout, or the server's clock leapt that far meanwhile
        (the documented double deliveries)."""
        if not self.engine.visibility:
            return False
        proc = self.h.procs.get(reader.pid, {})
        if proc.get("killed") and reader.t1 <= proc["death"] <= reader.t1 + SETTLE_SLACK:
            return True
        if any(
            a <= reader.t1 + SETTLE_SLACK and b >= reader.t0 and b - a >= self.engine.visibility
            for a, b in self.h.paused(reader.pid)
        ):
            return True
        # the engine's clock jumping forward by more than the timeout before the batch was
        # settled lapses it as surely (the timeout is counted by that clock)
        previous = 0
        for t, offset in self.h.server_clock:
            jump, previous = offset - previous, offset
            if reader.t0 <= t <= reader.t1 + SETTLE_SLACK and jump > self.engine.visibility:
                return True
        return False

    def taken(self, key, send, got):
        """Times at which the message may not be in its inbox: taken by a drain, held by a
        lost one until it comes back, or wiped."""
        u, recipient, content = key
        cuts = [(w, INF) for w in self.h.wipes if w > send.t0]
        # a server that restarted without its data forgot the sessions: a drain held back
        # across the restart runs late, as a new request, and holds what it took in flight
        # for the visibility timeout (docs/engines/redis.md)
        for t0, t1 in self.h.held_drains.get(recipient, ()):
            if any(t0 < w < t1 for w in self.h.wipes):
                cuts.append((t0, t1 + (self.engine.visibility or 0) + SETTLE_SLACK / 4))
        if got:
            cuts.append((max(min(self.look(d[0]) for d in got), send.t0), INF))
        visibility = self.engine.visibility
        for reader in self.candidates(u, recipient, send.t0, INF):
            if not self.may_hold(reader):
                continue
            if reader.outcome in ("ok", "cancelled"):  # handed back, or taken before its retry
                back = reader.t1
            elif not visibility or (reader.outcome == "killed" and self.engine.killed_drain_loses):
                back = INF
            else:  # taken again once the visibility timeout has passed (if no clock moved)
                last = self.look(reader)  # the drain whose reply was lost, if the proxy saw it
                drained = [t for t in self.h.lost_replies.get(recipient, ()) if last <= t]
                drained = [t for t in drained if t <= reader.t1]
                back = max(drained, default=reader.t1) + visibility + SETTLE_SLACK / 4
                if any(reader.t0 < t < back for t, _ in self.h.server_clock):
                    back = INF
            cuts.append((self.look(reader), back))
        return cuts

    def look(self, reader):
        """The earliest moment at which ``reader`` may have taken what it returned or kept: a
        drain at any moment of its call, a wait in its last look (one that found messages
        would have returned them)."""
        if reader.op == "wait_for_messages":
            return max(reader.t0, reader.t1 - self.engine.look_bound)
        return reader.t0

    def may_hold(self, reader):
        """Whether ``reader`` may have taken messages that it did not return: it ended
        without a result, or (with a visibility timeout) its replies were lost for so long
        that another drain took its batch before its retry came."""
        if reader.outcome in LOST:
            return True
        visibility = self.engine.visibility
        return bool(visibility) and reader.outcome == "ok" and reader.t1 - reader.t0 >= visibility

    def candidates(self, u, recipient, since, until):
        """Drains and waits of the inbox that ran at some moment of [since, until]."""
        readers = self.readers.get((u, recipient), [])
        first = (
            bisect.bisect_left(self.reader_starts[u, recipient], since - self.longest_read)
            if readers
            else 0
        )
        return [r for r in readers[first:] if r.t1 > since and r.t0 < until]

    def availability(self, key, send, got):
        u, recipient, content = key
        available = subtract([(send.t1, self.h.end)], self.taken(key, send, got))
        if not available:
            return
        bound = self.engine.wait_bound
        lost = self.lost_readers(u, recipient, send)
        missed, asleep = [], []
        for reader in self.candidates(u, recipient, available[0][0], available[-1][1]):
            if (
                reader.outcome == "ok"
                and reader.t0 >= send.t1
                and any(a <= reader.t0 and reader.t1 <= b for a, b in available)
            ):
                missed.append(reader)
            elif reader.op == "wait_for_messages":
                slept = subtract(within(available, reader.t0, reader.t1), self.excused(reader.pid))
                if longest(slept) > bound:
                    asleep.append((longest(slept), reader))
        shown = [send] + [d[0] for d in got[:1]]
        if missed:
            self.report(
                "missed message",
                "%d drains and waits of %s returned without %r, which was in the inbox all "
                "along" % (len(missed), recipient, content),
                shown + missed[:2] + [r for r in lost if r.t0 < missed[0].t1][:3],
            )
        if asleep:
            slept, reader = asleep[0]
            self.report(
                "waiter asleep",
                "%s(%s) slept %.1f s with %r in the inbox (bound %.0f s), and %d more waits"
                % (reader.op, recipient, slept, content, bound, len(asleep) - 1),
                shown + [reader] + [r for r in lost if r.t0 < reader.t1][:3],
            )

    def ordering(self):
        for (u, _, _, recipient), pairs in self.order.items():
            pairs.sort(key=lambda p: p[0].t0)
            for (first, (d1, i1)), (second, (d2, i2)) in zip(pairs, pairs[1:]):
                swapped = (d1 is d2 and i2 < i1) or d2.t1 < d1.t0
                if not swapped:
                    continue
                if any(self.may_hold(r) for r in self.candidates(u, recipient, first.t0, d2.t1)):
                    self.stats["out of send order after a lost batch"] += 1
                    continue
                self.report(
                    "out of order",
                    "%s sent %r before %r to %s; they were delivered the other way round"
                    % (first.agent, first.args[-1], second.args[-1], recipient),
                    [first, second, d1, d2],
                )

    # -- claims --

    def claims_held(self):
        for (u, key), calls in self.claims.items():
            changes = self.releases.get((u, key), [])
            ends = collections.defaultdict(list)  # agent -> (t1, t0) of releases that may have run
            for change in changes:
                if change.op == "release" and change.outcome != "refused":
                    ends[change.agent].append((change.t1, change.t0))
            for releases in ends.values():
                releases.sort()
            won = sorted((c for c in calls if c.outcome == "ok"), key=lambda c: c.t0)
            ranges = {c.id: self.h.stamp_range(c, self.engine.server_clock) for c in won}
            over = {}  # claim -> the earliest moment its hold may have ended
            for first in won:
                lapse = [
                    c.t0
                    for c in won
                    if c is not first
                    and c.t1 > first.t0
                    and ranges[c.id][1] - ranges[first.id][0] >= 300
                ]
                over[first.id] = min(self.hold_end(first, ends), min(lapse, default=INF))
            for i, first in enumerate(won):
                end = over[first.id]
                for second in won[i + 1 :]:
                    if second.t0 >= end:
                        break  # first's hold may have ended before, so before every later claim
                    if end < second.t1:
                        continue  # released, lapsed and taken over, or wiped before second ran
                    if second.t0 < first.t1 and over[second.id] < first.t1:
                        continue  # second may have run, and ended, before first
                    if self.lapsed(first, second, changes):
                        continue
                    self.report(
                        "two holders",
                        "%s and %s both hold %s: no release between, the lease not lapsed by "
                        "the engine's clock" % (first.agent, second.agent, key),
                        [first, second],
                    )
            self.released_without_claim(u, key, calls, changes)
            self.claim_gone(u, key, calls, changes)
            self.refusals(u, key, calls, changes)
            self.handover(u, key, calls, changes)

    def hold_end(self, claim, ends):
        """The earliest moment at which ``claim``'s hold may have ended: a release by its
        agent began, or the state was wiped."""
        releases = ends[claim.agent]
        at = bisect.bisect_right(releases, (claim.t0, INF))
        candidates = [t0 for _, t0 in releases[at : at + 3]]
        candidates += [w for w in self.h.wipes if w > claim.t0]
        return min(candidates, default=INF)

    def lapsed(self, first, second, changes):
        """Whether ``first``'s lease may have lapsed, by the engine's clock, when ``second``
        ran (renewals that surely came before extend it)."""
        server_clock = self.engine.server_clock
        stamp = self.h.stamp_range(first, server_clock)[0]
        for change in changes:
            if (
                change.op == "renew_claim"
                and change.agent == first.agent
                and change.outcome == "ok"
                and first.t0 < change.t0
                and change.t1 < second.t0
            ):
                stamp = max(stamp, self.h.stamp_range(change, server_clock)[0])
        return self.h.stamp_range(second, server_clock)[1] - stamp >= 300

    def plausible_claims(self, agent, calls, before, cancelled_waits=False):
        """The claims of ``agent`` begun before ``before`` that may have taken effect (a
        cancelled wait must not have, unless ``cancelled_waits``)."""
        return [
            c
            for c in calls
            if c.agent == agent
            and c.t0 < before
            and c.outcome != "refused"
            and (c.outcome != "cancelled" or cancelled_waits or not c.op.startswith("wait_"))
        ]

    def released_without_claim(self, u, key, calls, changes):
        for change in changes:
            if change.outcome != "ok":
                continue
            previous = [
                r
                for r in changes
                if r.op == "release"
                and r.agent == change.agent
                and r.outcome == "ok"
                and r.t1 < change.t0
            ]
            since = max((r.t0 for r in previous), default=-INF)
            if change.op == "renew_claim":
                since = -INF  # a renewal needs a claim at some time, released or not since
            holds = [
                c for c in self.plausible_claims(change.agent, calls, change.t1) if c.t1 > since
            ]
            if holds:
                continue
            tried = [
                c for c in calls if c.agent == change.agent and c.t0 < change.t1 and c.t1 > since
            ]
            if not tried:
                kind, why = "held without a claim", "without any claim of it"
            elif any(c.outcome == "cancelled" and c.op.startswith("wait_") for c in tried):
                kind, why = "cancelled wait kept its claim", "though its only claims since were "
                why += "refused, or waits that raised CancelledError"
            else:
                kind, why = "refused call took effect", "though its only claims since were "
                why += "refused or cancelled waits"
            self.report(
                kind,
                "%s's %s of %s succeeded, %s" % (change.agent, change.op, key, why),
                tried[-3:] + [change],
            )

    def claim_gone(self, u, key, calls, changes):
        for change in changes:
            if change.outcome != "refused" or not change.error.endswith(
                ("no claim found for " + change.agent, "to renew")
            ):
                continue
            held = [
                c
                for c in calls
                if c.agent == change.agent and c.outcome == "ok" and c.t1 < change.t0
            ]
            if not held:
                continue
            last = held[-1]
            ended = any(
                r.t1 > last.t0 and r.t0 < change.t1
                for r in changes
                if r.op == "release" and r.agent == change.agent
            )
            taken = any(
                c.t1 > last.t0 and c.t0 < change.t1
                for c in calls
                if c is not last and c.outcome != "refused"
            )
            wiped = any(last.t0 < w < change.t1 for w in self.h.wipes)
            if not (ended or taken or wiped):
                self.report(
                    "claim vanished",
                    "%s holds %s, yet %s says: %s" % (change.agent, key, change.op, change.error),
                    [last, change],
                )

    def refusals(self, u, key, calls, changes):
        for refused in calls + changes:
            if (
                refused.outcome != "refused"
                or " held by " not in refused.error
                and "already holds claim" not in refused.error
            ):
                continue
            text = refused.error.split(": ", 1)[1]
            holder = (
                text.split(" cannot ", 1)[-1].split(" held by ", 1)[-1]
                if " held by " in text
                else text.split(" already holds claim", 1)[0]
            )
            claims = self.plausible_claims(holder, calls, refused.t1, cancelled_waits=True)
            if not claims:
                self.report(
                    "refusal names a non-holder",
                    "%s refused: %s, but %s never claimed %s" % (refused.op, text, holder, key),
                    [refused],
                )

    def handover(self, u, key, calls, changes):
        """A live claim waiter is not passed over: the resource may be free while it waits
        (released, and not yet taken again by anyone) for the wait bound in all, not more,
        however long the waiters ahead of it are paused."""
        takes = sorted(
            c.t1 if c.outcome == "ok" and c.op.startswith("wait_") else c.t0
            for c in calls
            if c.outcome != "refused"
        )
        free = []  # (from, until, the release)
        for release in changes:
            if release.op == "release" and release.outcome == "ok":
                i = bisect.bisect_right(takes, release.t0)
                until = takes[i] if i < len(takes) else self.h.end
                if until > release.t1:
                    free.append((release.t1, until, release))
        for waiter in (c for c in calls if c.op.startswith("wait_")):
            gaps = [(a, b, r) for a, b, r in free if a < waiter.t1 and b > waiter.t0]
            spans = within([(a, b) for a, b, _ in gaps], waiter.t0, waiter.t1)
            total = sum(y - x for x, y in subtract(spans, self.excused(waiter.pid)))
            if total > self.engine.wait_bound:
                ahead = [c for c in calls if c.op.startswith("wait_") and c.t0 < waiter.t0 < c.t1]
                self.report(
                    "live claim waiter passed over",
                    "%s was free for %.1f s in all (%d releases) while %s's %s waited, "
                    "running (bound %.0f s)"
                    % (key, total, len(gaps), waiter.agent, waiter.op, self.engine.wait_bound),
                    [waiter] + [r for _, _, r in gaps][:3] + ahead[:2],
                    {c.pid for c in ahead},
                )

    # -- what was left behind --

    def leftovers(self):
        for lines in self.h.lines.values():
            for line in lines:
                if line["k"] == "leftover":
                    self.report("leftover", line["what"])
                elif line["k"] == "wal" and line["peak"] > line["bound"]:
                    self.report(
                        "leftover",
                        "the -wal file reached %.0f MB (bound %d MB)"
                        % (line["peak"] / 2**20, line["bound"] >> 20),
                    )
                elif line["k"] == "end" and line.get("base") and not line.get("stuck"):
                    names, _, fds = line["base"]
                    ours = collections.Counter(
                        n for n in line["names"] if not n.startswith("asyncio_")
                    )
                    kept = list((ours - collections.Counter(names)).elements())
                    allowed = collections.Counter(fds)
                    if not line.get("warmed", True):
                        allowed += collections.Counter(self.engine.kept_by_the_process)
                    opened = list((collections.Counter(line["fds"]) - allowed).elements())
                    if kept or opened:  # asyncio's own executor threads aside
                        self.report(
                            "leftover",
                            "pid %d closed its objects and kept %d threads (%s) and %d "
                            "descriptors (%s) more than after its warm-up"
                            % (
                                line["p"],
                                len(kept),
                                ", ".join(kept),
                                len(opened),
                                ", ".join(opened),
                            ),
                            pids=[line["p"]],
                        )


def agents_named(events):
    """Every agent a call of the history names (for the final drain of every inbox)."""
    names = set()
    for line in events:
        if line["k"] == "inv":
            names.update(line["a"][:2] if line["op"] == "send_message" else line["a"][:1])
    return names


def faults_injected(history):
    counts = collections.Counter()
    for line in history.runner_lines:
        kind = {"stop": "pause", "clock": "clock"}.get(line["k"])
        if line["k"] == "kill" and line.get("why") == "nemesis":
            kind = "kill"
        elif line["k"] in ("fault", "nem"):
            kind = line["kind"]
        if kind:
            counts[kind] += 1
    counts["cancel"] = sum(1 for op in history.ops.values() if op.cancelled_at is not None)
    return counts


class Report:
    def __init__(self, history, checker, seed):
        self.history, self.seed = history, seed
        self.violations = checker.violations
        self.stats = checker.stats
        self.faults = faults_injected(history)
        self.expected_faults = ()

    def missing_faults(self):
        return [kind for kind in self.expected_faults if not self.faults.get(kind)]

    def stretch(self, violation):
        """The lines of history that show ``violation``: its calls, and what happened to
        their processes and the servers meanwhile."""
        h = self.history
        ops = violation.ops
        if not ops:
            return []
        t0, t1 = min(o.t0 for o in ops) - 0.5, max(o.t1 for o in ops) + 0.5
        pids = {o.pid for o in ops} | violation.pids
        rows = [(o.t0, self.show(o)) for o in ops]
        for line in h.runner_lines:
            near = t0 <= line["t"] <= t1 or (  # a fault ending shortly before may be the cause
                line["k"] == "fault"
                and line.get("t0", line["t"]) <= t1
                and line.get("t1", line["t"]) >= t0 - LOOKBACK
            )
            if near and (line.get("pid") in pids or line["k"] in ("fault", "clock")):
                at = line.get("t0", line["t"])
                rows.append((at, "%9.3f  %s" % (at - h.start, describe(line))))
        return [text for _, text in sorted(rows, key=lambda r: r[0])]

    def show(self, op):
        result = op.result if op.outcome == "ok" else op.error
        ignored = " (its cancellation ignored)" if op.cancel_ignored else ""
        return "%9.3f  pid %d %s [%s] %s(%s) -> %s %s%s, at %.3f" % (
            op.t0 - self.history.start,
            op.pid,
            op.worker,
            op.obj,
            op.op,
            ", ".join(repr(a) for a in op.args),
            op.outcome,
            _short(result),
            ignored,
            op.t1 - self.history.start,
        )

    def summary(self, name, replay, seconds):
        calls = sum(v for k, v in self.stats.items() if k.startswith("calls "))
        outcomes = ", ".join(
            "%s %d" % (k[6:], v) for k, v in sorted(self.stats.items()) if k.startswith("calls ")
        )
        lines = ["chaos %s: %d operations (%s) in %.0f s" % (name, calls, outcomes, seconds)]
        lines.append(
            "  faults injected: "
            + ", ".join("%s %d" % kv for kv in sorted(self.faults.items()) if kv[1])
        )
        missing = self.missing_faults()
        if missing:
            lines.append("  faults NOT injected: " + ", ".join(missing))
        lines.append(
            "  deliveries: "
            + ", ".join(
                "%s %d" % (k, v)
                for k, v in sorted(self.stats.items())
                if not k.startswith(("calls ", "cancellations"))
            )
        )
        ignored = [
            "%s %d" % (k[len("cancellations ignored by ") :], v)
            for k, v in sorted(self.stats.items())
            if k.startswith("cancellations")
        ]
        if ignored:
            lines.append("  cancellations ignored: " + ", ".join(ignored))
        kinds = collections.Counter(v.kind for v in self.violations)
        lines.append(
            "  violations: %d%s"
            % (
                len(self.violations),
                " (%s)" % ", ".join("%s %d" % kv for kv in kinds.most_common()) if kinds else "",
            )
        )
        shown = collections.Counter()
        for violation in self.violations:
            shown[violation.kind] += 1
            if shown[violation.kind] > SHOWN:
                continue
            lines.append(
                "  VIOLATION %s: %s (seed %s)" % (violation.kind, violation.text, self.seed)
            )
            lines.extend("    " + row for row in self.stretch(violation))
        lines.append(
            "  seed %s%s" % (self.seed, ": replay with " + replay if self.violations else "")
        )
        return "\n".join(lines)


def describe(line):
    kind = line["k"]
    if kind == "fault":
        extra = {k: v for k, v in line.items() if k not in ("k", "t", "p", "kind", "t0", "t1")}
        return "fault %s %s" % (line["kind"], extra or "")
    if kind in ("kill", "stop", "cont", "exit", "spawn"):
        word = {"kill": "SIGKILL", "stop": "SIGSTOP", "cont": "SIGCONT"}.get(kind, kind)
        return "%s pid %d %s" % (word, line["pid"], line.get("why", line.get("code", "")))
    if kind == "clock":
        return "clock of %s moved to %+d s" % (line["target"], line["offset"])
    return "%s %s" % (kind, {k: v for k, v in line.items() if k not in ("k", "t", "p")})


def _short(value, limit=160):
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def check(events, engine, seed):
    """The report of a history (events of history.load) of a run on ``engine``."""
    history = History(events)
    checker = Checker(history, engine)
    checker.calls()
    checker.messages()
    checker.claims_held()
    checker.leftovers()
    return Report(history, checker, seed)
