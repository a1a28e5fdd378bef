#!/usr/bin/env python3
"""Instructions per call of each benchmarked method, durnel_core beside its floor, counted by
valgrind's callgrind: repeatable where timings on a shared machine are not.

For every operation of bench_python.py, a child interpreter runs the operation N times on
the populated object under callgrind, with collection switched on only inside the methods'
entry points (so the interpreter's own share of the call, the same for both, is left out),
and again 2N times: the difference of the two counts is N calls in the steady state, without
the populating calls and first-call set-up.
Prints Ir per call for durnel and for the floor, their ratio, and durnel's functions by
self cost (what it spends the instructions on).

Build a copy with symbols first (scripts/bench.sh does not), e.g.:
    cmake -S . -B build-bench/prof -G Ninja -DCMAKE_BUILD_TYPE=Release \\
          -DCMAKE_CXX_FLAGS=-g -DDURNEL_BUILD_TESTS=OFF -DPython3_EXECUTABLE=$PWD/.venv/bin/python
    cmake --build build-bench/prof
    .venv/bin/python bench/callgrind_ops.py --build-dir build-bench/prof [--top 15]
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
REPO = BENCH_DIR.parent
sys.path.insert(0, str(BENCH_DIR))

import bench_python as bp  # noqa: E402

# The methods whose bodies make up each operation.
METHODS = {
    "status": ["status"],
    "claim+release": ["claim_file", "release"],
    "refused claim": ["claim_file"],
    "renew": ["renew_claim"],
    "send+drain": ["send_message", "drain_inbox"],
    "inbox of 3": ["inbox"],
    f"broadcast to {bp.AGENTS}": ["broadcast"],
}


def toggles(variant: str, methods: list[str]) -> list[str]:
    if variant == "durnel":
        return [f"--toggle-collect=durnel::py::method_{m}(*" for m in methods]
    return [f"--toggle-collect=floor_{m}" for m in methods]


def drive(op_name: str, variant: str, calls: int, build_dir: Path, floor_dir: Path) -> None:
    op = next(o for o in bp.OPS if o.name == op_name)
    s = bp.Variants(build_dir, floor_dir).populated(variant, op)
    if op.timer is not None:
        op.timer(calls, s, time.thread_time)
    else:
        bp.compile_timer(op.body, 1)(calls, s, time.thread_time)


TOTAL = re.compile(r"^\s*([\d,]+)\s.*PROGRAM TOTALS")
LINE = re.compile(r"^\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(.*)$")


def annotate(out: Path) -> tuple[int, list[tuple[int, float, str]]]:
    text = subprocess.run(
        ["callgrind_annotate", "--inclusive=no", "--auto=no", "--threshold=100", str(out)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    total = 0
    functions = []
    for line in text.splitlines():
        m = TOTAL.match(line)
        if m:
            total = int(m.group(1).replace(",", ""))
            continue
        m = LINE.match(line)
        if m and "PROGRAM TOTALS" not in line:
            functions.append((int(m.group(1).replace(",", "")), float(m.group(2)), m.group(3)))
    return total, functions


def short(name: str) -> str:
    """'path/file.h:function(args) [object]' -> 'file.h: function', argument lists dropped."""
    name = re.sub(r"\s*\[[^\]]*\]$", "", name)
    where, _, function = name.partition(":")
    if not function:
        where, function = "", where
    function = re.sub(
        r"std::__cxx11::basic_string<char, std::char_traits<char>, "
        r"std::allocator<char> >",
        "std::string",
        function,
    )
    function = re.sub(
        r"std::basic_string_view<char, std::char_traits<char> >", "std::string_view", function
    )
    function = re.sub(r"\((?:[^()]|\([^()]*\))*\)", "()", function)
    text = f"{Path(where).name}: {function}" if where else function
    return text if len(text) <= 110 else text[:107] + "..."


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=str(REPO / "build-bench" / "prof"))
    parser.add_argument("--floor-dir", default=str(REPO / "build-bench" / "floor-prof"))
    parser.add_argument("--out-dir", default=str(REPO / "build-bench" / "callgrind"))
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--top", type=int, default=12)
    parser.add_argument("--ops", help="comma-separated subset of operation names")
    parser.add_argument(
        "--reuse", action="store_true", help="read the counts left in --out-dir by an earlier run"
    )
    parser.add_argument("--drive", nargs=2, metavar=("OP", "VARIANT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    build_dir, floor_dir = Path(args.build_dir), Path(args.floor_dir)
    if args.drive:
        drive(args.drive[0], args.drive[1], args.calls, build_dir, floor_dir)
        return

    bp.build_floor(floor_dir)
    out_dir = Path(args.out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    wanted = set(args.ops.split(",")) if args.ops else None
    rows = []
    details = []
    for op in bp.OPS:
        if wanted and op.name not in wanted:
            continue
        calls = max(1, args.calls // 50) if op.timer else args.calls
        per_call = {}
        for variant in ("durnel", "floor"):
            # Two runs, `calls` and 2 x `calls` calls: their difference is the steady state of
            # `calls` calls, free of whatever the first calls and the populating set up.
            measured = []
            for n in (calls, 2 * calls):
                slug = re.sub(r"[^a-z0-9]+", "_", op.name)
                out = out_dir / f"{slug}.{variant}.{n}.out"
                command = [
                    "valgrind",
                    "--tool=callgrind",
                    f"--callgrind-out-file={out}",
                    "--collect-atstart=no",
                    *toggles(variant, METHODS[op.name]),
                    sys.executable,
                    str(Path(__file__).resolve()),
                    "--drive",
                    op.name,
                    variant,
                    "--calls",
                    str(n),
                    "--build-dir",
                    str(build_dir),
                    "--floor-dir",
                    str(floor_dir),
                ]
                if not (args.reuse and out.exists()):
                    subprocess.run(command, check=True, capture_output=True)
                measured.append(annotate(out))
            (total1, functions1), (total2, functions2) = measured
            per_call[variant] = (total2 - total1) / calls
            if variant == "durnel":
                first = {name: ir for ir, _, name in functions1}
                steady = sorted(
                    ((ir - first.get(name, 0)) / calls, name) for ir, _, name in functions2
                )
                steady.reverse()
                details.append((op.name, per_call[variant], steady[: args.top]))
        rows.append(
            (
                op.name,
                f"{per_call['durnel']:,.0f}",
                f"{per_call['floor']:,.0f}",
                f"{per_call['durnel'] / per_call['floor']:.2f}x",
            )
        )
    print("Instructions (Ir) per call inside the methods' entry points, callgrind:")
    bp.print_table(("operation", "durnel Ir", "floor Ir", "durnel/floor"), rows)
    for name, total, functions in details:
        print()
        print(f"{name}: durnel's functions by self cost, Ir per call (of {total:,.0f})")
        for ir, fn in functions:
            print(f"  {ir:10,.1f}  {100 * ir / total:5.1f}%  {short(fn)}")


if __name__ == "__main__":
    main()
