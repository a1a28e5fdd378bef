#!/usr/bin/env python3
"""The core benchmarks' table: reads the JSON that core_bench writes (Google Benchmark, run
with repetitions and aggregates) and prints medians side by side, with the ratios that the
targets are about.

Single-threaded figures are CPU time per operation (what the operation costs, whatever else
the shared machine runs meanwhile); two-thread figures are throughput over wall time, the
only meaningful measure of two threads working at once.

Usage: core_summary.py build-bench/core.json
"""

from __future__ import annotations

import json
import re
import sys

# Name components that Google Benchmark appends to a registered name.
SUFFIX = re.compile(r"^(min_time|threads|repeats|iterations):|^(real_time|manual_time)$")


def load(path: str) -> dict:
    with open(path) as f:
        data = json.load(f)
    runs = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        runs[b["run_name"]] = b
    return data.get("context", {}), runs


def to_ns(b: dict, field: str) -> float:
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
    return b[field] * scale


def find(runs: dict, prefix: str, threads: int | None = None) -> dict | None:
    for name, b in runs.items():
        base = "/".join(part for part in name.split("/") if not SUFFIX.match(part))
        if base == prefix and (threads is None or b.get("threads", 1) == threads):
            return b
    return None


def print_table(header, rows) -> None:
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    print("| " + " | ".join(str(h).ljust(w) for h, w in zip(header, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")


def verdict(ok: bool) -> str:
    return "met" if ok else "MISSED"


def mops(b: dict | None) -> str:
    return f"{b['items_per_second'] / 1e6:,.1f}" if b else "-"


def ns(b: dict | None) -> str:
    return f"{to_ns(b, 'cpu_time'):,.1f}" if b else "-"


def main() -> None:
    context, runs = load(sys.argv[1])
    print(
        f"Core (Google Benchmark): {context.get('date', '?')}, {context.get('num_cpus', '?')} "
        f"CPUs at {context.get('mhz_per_cpu', '?')} MHz, {context.get('host_name', '?')}; "
        "median of "
        f"{next(iter(runs.values())).get('repetitions', '?')} repetitions"
    )

    # ---- locks ----
    print()
    print("Lock + unlock: uncontended ns per pair (CPU time); two threads: total Mops/s (wall).")
    rows = []
    verdicts = []
    for mode in ("exclusive", "shared"):
        per_lock = {}
        for lock in ("ShardLock", "std::shared_mutex"):
            base = f"lock/{lock}/{mode}"
            one = find(runs, f"{base}/uncontended")
            same = find(runs, f"{base}/one_lock")
            two = find(runs, f"{base}/two_locks")
            scaling = (
                two["items_per_second"] / one["items_per_second"] if one and two else float("nan")
            )
            per_lock[lock] = (one, scaling)
            rows.append((lock, mode, ns(one), mops(one), mops(same), mops(two), f"{scaling:.2f}x"))
        shard_ns = to_ns(per_lock["ShardLock"][0], "cpu_time")
        std_ns = to_ns(per_lock["std::shared_mutex"][0], "cpu_time")
        verdicts.append(
            f"ShardLock {mode} uncontended / std::shared_mutex: {shard_ns / std_ns:.2f}x "
            f"(target <= 1.00x: {verdict(shard_ns <= std_ns)})"
        )
        s = per_lock["ShardLock"][1]
        verdicts.append(
            f"ShardLock {mode}, two threads on two locks / one thread: {s:.2f}x "
            f"(target >= 1.70x: {verdict(s >= 1.7)})"
        )
    print_table(
        (
            "lock",
            "mode",
            "uncontended ns",
            "1 thread Mops/s",
            "2 threads, one lock",
            "2 threads, two locks",
            "two locks / 1 thread",
        ),
        rows,
    )
    base1 = find(runs, "lock/none/private_work", 1)
    base2 = find(runs, "lock/none/private_work", 2)
    if base1 and base2:
        verdicts.append(
            f"machine ceiling during this run (no lock, private work), two threads / one: "
            f"{base2['items_per_second'] / base1['items_per_second']:.2f}x"
        )
    for v in verdicts:
        print("  " + v)

    # ---- maps ----
    print()
    print("String-key map, present keys in shuffled order: 1 thread ns per op (CPU time);")
    print(
        "2 threads total Mops/s (wall). Baseline: std::unordered_map behind one std::shared_mutex."
    )
    rows = []
    for op in ("get", "entry"):
        for size in (100, 10_000, 1_000_000):
            sm1 = find(runs, f"map/ShardedMap/{op}/{size}", 1)
            um1 = find(runs, f"map/unordered_map+shared_mutex/{op}/{size}", 1)
            sm2 = find(runs, f"map/ShardedMap/{op}/{size}", 2)
            um2 = find(runs, f"map/unordered_map+shared_mutex/{op}/{size}", 2)
            ratio = to_ns(sm1, "cpu_time") / to_ns(um1, "cpu_time") if sm1 and um1 else float("nan")
            rows.append((op, f"{size:,}", ns(sm1), ns(um1), f"{ratio:.2f}x", mops(sm2), mops(um2)))
    print_table(
        (
            "op",
            "entries",
            "ShardedMap ns",
            "unordered_map ns",
            "sharded/unordered",
            "ShardedMap 2 thr Mops/s",
            "unordered_map 2 thr Mops/s",
        ),
        rows,
    )

    # ---- hashing ----
    print()
    print("String key hash (SipHash-1-3 over the bytes and a 0xFF terminator, as the maps hash")
    print("their keys), ns per key (CPU time); std::hash<std::string_view> for scale.")
    rows = []
    for length in (8, 16, 32, 64, 256):
        sip = find(runs, f"hash/SipHash-1-3/{length}")
        std = find(runs, f"hash/std::hash/{length}")
        gbs = f"{sip['bytes_per_second'] / 1e9:.2f}" if sip else "-"
        rows.append((length, ns(sip), gbs, ns(std)))
    print_table(("key bytes", "SipHash-1-3 ns", "SipHash-1-3 GB/s", "std::hash ns"), rows)

    # ---- the core's share of the Python-surface operations ----
    ops = [name for name in runs if name.startswith("ops/")]
    if ops:
        print()
        print("The core's share of each Python-surface operation: the same calls on the same")
        print(
            "populated state (1000 agents, 1000 claims), without the interpreter; ns per op (CPU)."
        )
        rows = [(name[len("ops/") :], ns(runs[name])) for name in ops]
        print_table(("operation", "core ns"), rows)

    # ---- coordination state ----
    print()
    print("CoordinationState operations (no Python), 1024 keys drawn at random, ns per op (CPU")
    print("time), against the number of live entries.")
    rows = []
    for op in ("status", "claim+release"):
        cells = [find(runs, f"state/{op}/{n}") for n in (10, 10_000, 1_000_000)]
        if not all(cells):
            continue
        ratio = to_ns(cells[2], "cpu_time") / to_ns(cells[0], "cpu_time")
        rows.append((op, *(ns(c) for c in cells), f"{ratio:.2f}x ({verdict(ratio <= 1.3)})"))
    print_table(("operation", "10", "1e4", "1e6", "1e6 / 10 (target <= 1.3x)"), rows)


if __name__ == "__main__":
    main()
