#!/usr/bin/env python3
"""The Python-surface benchmarks of durnel_core, printed as three tables.

1. Surface: ns per call of each CoordinationState method on a populated object (1000 agents,
   1000 claims), beside (a) its floor, the same call on durnel_floor.FloorState, a minimal
   limited-API extension with the same calling convention that only encodes the arguments
   and builds a result of the same shape (bench/floor/floor.c, compiled here), and (b) the
   same call on PureCoordinationState, the obvious pure-Python equivalent (pure_python.py).
   The three variants of an operation are timed back to back, in a rotating order, with
   calibrated loops, repeated in several fresh processes; ratios are medians of the paired
   per-repeat ratios (this machine is shared, and paired samples cancel most of its bursts).
   --output saves the samples as a pyperf suite for `python -m pyperf stats/compare_to`.
2. Scale: per-call cost of status and claim+release at 10, 1e4 and 1e6 live entries,
   measured in this process with calibrated loops, interleaved over the sizes, medians of
   several repeats.
3. Memory: bytes per live claim and per queued message, from glibc's own statistics
   (mallinfo2) for durnel_core (tracemalloc cannot see native memory), and from tracemalloc
   for the pure-Python equivalent.

Usage (scripts/bench.sh does all of this):
    .venv/bin/python bench/bench_python.py [--sections surface,scale,memory] [--processes N]
The module is imported from --build-dir (default build-bench/), the floor is compiled into
--floor-dir (default build-floor/) when missing or older than its source.
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import gc
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import sysconfig
import textwrap
import time
import tracemalloc
from pathlib import Path

import pyperf

BENCH_DIR = Path(__file__).resolve().parent
REPO = BENCH_DIR.parent
FLOOR_SOURCE = BENCH_DIR / "floor" / "floor.c"

# The message text of every benchmark message; floor.c builds its strings with the same text.
CONTENT = "status report: build 42 passed"
AGENTS = 1000
UNROLL = 10

# Timed samples read the CPU time of the running thread by default: on a machine whose two
# cores are shared with other work, wall time also counts the stretches during which the
# benchmark waits for a core, which has nothing to do with what is measured. --clock wall
# switches every sample to time.perf_counter.
CLOCK = time.thread_time


# ---------------------------------------------------------------------------------------------
# Building and importing the three variants
# ---------------------------------------------------------------------------------------------
def floor_library(floor_dir: Path) -> Path:
    return floor_dir / "durnel_floor.abi3.so"


def build_floor(floor_dir: Path) -> Path:
    """Compiles floor.c against this interpreter's headers at the 3.9 limited API level."""
    target = floor_library(floor_dir)
    if target.exists() and target.stat().st_mtime >= FLOOR_SOURCE.stat().st_mtime:
        return target
    floor_dir.mkdir(parents=True, exist_ok=True)
    compiler = os.environ.get("CC", "cc")
    command = [
        compiler,
        "-O3",
        "-fPIC",
        "-shared",
        "-Wall",
        "-Wextra",
        "-Werror",
        "-DPy_LIMITED_API=0x03090000",
        f"-I{sysconfig.get_paths()['include']}",
        str(FLOOR_SOURCE),
        "-o",
        str(target),
    ]
    subprocess.run(command, check=True)
    return target


def import_variants(build_dir: Path, floor_dir: Path):
    for directory in (build_dir, floor_dir, BENCH_DIR):
        if str(directory) not in sys.path:
            sys.path.insert(0, str(directory))
    import durnel_floor

    import durnel_core
    from pure_python import PureCoordinationState

    return durnel_core, durnel_floor, PureCoordinationState


# ---------------------------------------------------------------------------------------------
# The operations
# ---------------------------------------------------------------------------------------------
class Op:
    def __init__(self, name, body, floor_max=None, pure_min=None, floor_kwargs=None, timer=None):
        self.name = name
        self.body = body  # Python statements on `s`, the object under test
        self.floor_max = floor_max  # target: durnel / floor at most this
        self.pure_min = pure_min  # target: pure / durnel at least this
        self.floor_kwargs = floor_kwargs or {}
        self.timer = timer  # a custom time function, else the body unrolled UNROLL times

    @property
    def inner_loops(self):
        return 1 if self.timer else UNROLL


def agent(i: int) -> str:
    return f"agent-{i:04d}"


def path(i: int) -> str:
    return f"src/module-{i:04d}.py"


ALL_AGENTS = [agent(i) for i in range(AGENTS)]


def broadcast_timer(loops, s, clock):
    """Times broadcasts in chunks; the 1000 mailboxes are drained between chunks, untimed."""
    chunk = 20
    total = 0.0
    done = 0
    drain = s.drain_inbox
    while done < loops:
        n = min(chunk, loops - done)
        t0 = clock()
        for _ in range(n):
            s.broadcast("agent-0004", CONTENT)
        total += clock() - t0
        for a in ALL_AGENTS:
            drain(a)
        done += n
    return total


OPS = [
    Op("status", 's.status("agent-0500")', floor_max=1.2),
    Op(
        "claim+release",
        's.claim_file("agent-bench", "src/bench.py")\n'
        's.release("agent-bench", "file:src/bench.py")',
        floor_max=2.2,
        pure_min=5.0,
    ),
    Op(
        "refused claim",
        "try:\n"
        '    s.claim_file("agent-0001", "src/module-0000.py")\n'
        "except RuntimeError:\n"
        "    pass",
        floor_max=1.3,
        pure_min=5.0,
        floor_kwargs={"refuse_claims": True},
    ),
    Op("renew", 's.renew_claim("agent-0000", "file:src/module-0000.py")', floor_max=1.4),
    Op(
        "send+drain",
        f's.send_message("agent-0001", "agent-0002", {CONTENT!r})\ns.drain_inbox("agent-0002")',
        floor_max=1.5,
        pure_min=4.0,
    ),
    Op("inbox of 3", 's.inbox("agent-0003")', floor_max=1.2),
    Op(f"broadcast to {AGENTS}", None, pure_min=2.0, timer=broadcast_timer),
]
VARIANTS = ("durnel", "floor", "pure")


def populate(s) -> None:
    """The populated object: 1000 agents, each holding one file claim; agent-0003 has three
    messages pending."""
    for i in range(AGENTS):
        s.claim_file(agent(i), path(i))
    for _ in range(3):
        s.send_message("agent-0001", "agent-0003", CONTENT)


def compile_timer(body: str, unroll: int):
    """A time function running `body` unroll times per loop iteration."""
    block = textwrap.indent(body, " " * 8) + "\n"
    source = (
        "def timer(loops, s, clock):\n"
        "    it = range(loops)\n"
        "    t0 = clock()\n"
        "    for _ in it:\n" + block * unroll + "    return clock() - t0\n"
    )
    namespace: dict = {}
    exec(compile(source, f"<timer {body!r}>", "exec"), namespace)
    return namespace["timer"]


class Variants:
    """Imports the three variants and makes their objects."""

    def __init__(self, build_dir: Path, floor_dir: Path):
        self.durnel_core, self.durnel_floor, self.pure = import_variants(build_dir, floor_dir)
        self._objects: dict = {}

    def make(self, variant: str, op: Op | None = None):
        if variant == "durnel":
            return self.durnel_core.CoordinationState()
        if variant == "floor":
            return self.durnel_floor.FloorState(**(op.floor_kwargs if op else {}))
        return self.pure()

    def populated(self, variant: str, op: Op):
        """One object per operation and variant, so that no operation sees another's traces
        (the broadcast benchmark drains every mailbox, for one)."""
        key = (variant, op.name)
        if key not in self._objects:
            s = self.make(variant, op)
            if variant != "floor":
                populate(s)
            self._objects[key] = s
        return self._objects[key]


def shape(value):
    if isinstance(value, tuple):
        return tuple(shape(v) for v in value)
    if isinstance(value, list):
        return [shape(v) for v in value]
    return type(value).__name__


def check_shapes(variants: Variants) -> None:
    """One call of each benchmark body per variant: all three must give results of the same
    shape (or all raise RuntimeError), else the comparison would be meaningless."""
    for op in OPS:
        if op.body is None:
            shapes = {
                v: shape(variants.populated(v, op).broadcast("agent-0004", CONTENT))
                for v in VARIANTS
            }
        else:
            shapes = {}
            for v in VARIANTS:
                s = variants.make(v, op)
                if v != "floor":
                    populate(s)
                results = []
                for line in op.body.split("\n"):
                    if line.startswith("s."):
                        try:
                            results.append(shape(eval(line, {"s": s})))
                        except RuntimeError:
                            results.append("RuntimeError")
                shapes[v] = results
        if len({repr(x) for x in shapes.values()}) != 1:
            raise SystemExit(f"result shapes differ for {op.name}: {shapes}")


# ---------------------------------------------------------------------------------------------
# Section 1: the surface table
# ---------------------------------------------------------------------------------------------
# This machine is shared: other work comes and goes in bursts of seconds. So the three variants
# of an operation are timed back to back (about 3 x 25 ms), in an order that rotates from one
# repeat to the next, many times over, in several fresh processes; each repeat gives one
# durnel/floor and one pure/durnel ratio, and the table quotes the median of those paired
# ratios next to the median of each variant's per-call times.
def calibrate(run, target: float) -> int:
    """Loop count for which run(loops) takes about `target` seconds."""
    loops = 1
    while True:
        elapsed = run(loops)
        if elapsed >= target / 8 or loops >= 1 << 26:
            return max(1, round(loops * target / max(elapsed, 1e-9)))
        loops *= 4


def surface_child(variants: Variants, repeats: int, target: float) -> dict:
    """Runs in a fresh process: calibrates every (operation, variant), then times them all,
    `repeats` times, interleaved. Returns ns-per-call samples and the loop counts."""
    runs = {}
    for op in OPS:
        timer = op.timer or compile_timer(op.body, UNROLL)
        for v in VARIANTS:
            s = variants.populated(v, op)
            runs[(op.name, v)] = (lambda t, obj: lambda loops: t(loops, obj, CLOCK))(timer, s)
    loops = {}
    for op in OPS:
        for v in VARIANTS:
            loops[(op.name, v)] = calibrate(runs[(op.name, v)], target)
            runs[(op.name, v)](loops[(op.name, v)])  # warm-up
    samples: dict = {f"{op.name} [{v}]": [] for op in OPS for v in VARIANTS}
    for r in range(repeats):
        order = VARIANTS[r % 3 :] + VARIANTS[: r % 3]
        for op in OPS:
            for v in order:
                n = loops[(op.name, v)]
                elapsed = runs[(op.name, v)](n)
                samples[f"{op.name} [{v}]"].append(elapsed / (n * op.inner_loops))
    return {"samples": samples, "loops": {f"{k[0]} [{k[1]}]": n for k, n in loops.items()}}


def run_surface(args) -> dict:
    """Starts the child processes one after the other and gathers their samples."""
    gathered: dict = {}
    for _ in range(args.processes):
        command = [
            sys.executable,
            str(Path(__file__).resolve()),
            "--child",
            "--build-dir",
            args.build_dir,
            "--floor-dir",
            args.floor_dir,
            "--repeats",
            str(args.repeats),
            "--target-time",
            str(args.target_time),
            "--clock",
            args.clock,
        ]
        out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
        gathered.setdefault("runs", []).append(json.loads(out))
    return gathered


def to_pyperf_suite(gathered: dict) -> pyperf.BenchmarkSuite:
    """The samples as a pyperf suite (one run per child process), for `python -m pyperf
    stats/compare_to` on the saved file."""
    benchmarks = []
    for name in gathered["runs"][0]["samples"]:
        runs = []
        for child in gathered["runs"]:
            metadata = {"name": name, "loops": child["loops"][name], "unit": "second"}
            runs.append(
                pyperf.Run(child["samples"][name], metadata=metadata, collect_metadata=False)
            )
        benchmarks.append(pyperf.Benchmark(runs))
    return pyperf.BenchmarkSuite(benchmarks)


def fmt_ns(seconds: float, like: float | None = None) -> str:
    """ns with thousands separators; us from 100 us on (`like` picks the unit of a pair)."""
    ns = seconds * 1e9
    if (like if like is not None else seconds) * 1e9 >= 100_000:
        return f"{ns / 1000:,.0f} us"
    return f"{ns:,.0f}"


def verdict(ok: bool) -> str:
    return "met" if ok else "MISSED"


def print_surface_table(gathered: dict) -> None:
    repeats = sum(len(child["samples"][f"{OPS[0].name} [durnel]"]) for child in gathered["runs"])
    print()
    print("Python surface: ns per call on a populated object (1000 agents, 1000 claims).")
    print(
        f"Median of {repeats} interleaved samples per variant over {len(gathered['runs'])} "
        "processes (+- stdev); ratios are medians of the paired per-repeat ratios."
    )
    header = (
        "operation",
        "durnel ns",
        "floor ns",
        "pure-Python ns",
        "durnel/floor (target)",
        "pure/durnel (target)",
        "pure/floor",
    )
    rows = []
    for op in OPS:
        series = {
            v: [x for child in gathered["runs"] for x in child["samples"][f"{op.name} [{v}]"]]
            for v in VARIANTS
        }
        med = {v: statistics.median(series[v]) for v in VARIANTS}
        dev = {v: statistics.stdev(series[v]) if len(series[v]) > 1 else 0.0 for v in VARIANTS}
        ratio_floor = statistics.median(d / f for d, f in zip(series["durnel"], series["floor"]))
        ratio_pure = statistics.median(p / d for p, d in zip(series["pure"], series["durnel"]))
        floor_cell = f"{ratio_floor:.2f}x"
        if op.floor_max is not None:
            floor_cell += f" (<= {op.floor_max}x: {verdict(ratio_floor <= op.floor_max)})"
        pure_cell = f"{ratio_pure:.2f}x"
        if op.pure_min is not None:
            pure_cell += f" (>= {op.pure_min}x: {verdict(ratio_pure >= op.pure_min)})"
        ceiling = statistics.median(p / f for p, f in zip(series["pure"], series["floor"]))
        rows.append(
            (
                op.name,
                *(f"{fmt_ns(med[v])} +- {fmt_ns(dev[v], like=med[v])}" for v in VARIANTS),
                floor_cell,
                pure_cell,
                f"{ceiling:.2f}x",
            )
        )
    print_table(header, rows)
    print("pure/floor is the most that pure/durnel can reach: durnel at its floor.")


def print_table(header, rows) -> None:
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    line = "| " + " | ".join(str(h).ljust(w) for h, w in zip(header, widths)) + " |"
    print(line)
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")


# ---------------------------------------------------------------------------------------------
# Section 2: scale
# ---------------------------------------------------------------------------------------------
def spread_timer(body: str):
    """A time function over a list of 1024 argument tuples `args` bound to the function."""
    source = (
        "def timer(loops, s, clock, args):\n"
        "    t0 = clock()\n"
        "    for _ in range(loops):\n"
        "        for a, b in args:\n" + textwrap.indent(body, " " * 12) + "\n"
        "    return clock() - t0\n"
    )
    namespace: dict = {}
    exec(compile(source, "<spread timer>", "exec"), namespace)
    return namespace["timer"]


def scale_section(variants: Variants, repeats: int, target: float) -> None:
    sizes = [10, 10_000, 1_000_000]
    print()
    print("Scale: ns per call against the number of live entries (that many claims, each by an")
    print(f"agent of its own); calibrated loops interleaved over the sizes, median of {repeats};")
    print("the ratio is the median of the per-repeat ratios.")
    rng = random.Random(11)
    states = {}
    t0 = time.perf_counter()
    for n in sizes:
        for variant in ("durnel", "pure"):
            s = variants.make(variant)
            claim = s.claim_file
            for i in range(n):
                claim(f"agent-{i:07d}", f"src/module-{i:07d}.py")
            states[(variant, n)] = s
    gc.collect()
    gc.freeze()  # the millions of live objects of the pure states stay out of every collection
    build_seconds = time.perf_counter() - t0

    def live_ids(n):
        return [(f"agent-{rng.randrange(n):07d}", None) for _ in range(1024)]

    free = [("src/free-%04d.py" % i, "file:src/free-%04d.py" % i) for i in range(1024)]
    hot_status = compile_timer('s.status("agent-0000005")', UNROLL)
    hot_claim = compile_timer(
        's.claim_file("agent-bench", "src/bench.py")\n'
        's.release("agent-bench", "file:src/bench.py")',
        UNROLL,
    )
    spread_status = spread_timer("s.status(a)")
    spread_claim = spread_timer('s.claim_file("agent-bench", a)\ns.release("agent-bench", b)')

    cases = []  # (operation, pattern, timer, calls per loop, args by size)
    ids_by_size = {n: live_ids(n) for n in sizes}
    cases.append(("status", "one id", hot_status, UNROLL, None))
    cases.append(("status", "1024 ids", spread_status, 1024, ids_by_size))
    cases.append(("claim+release", "one path", hot_claim, UNROLL, None))
    cases.append(("claim+release", "1024 paths", spread_claim, 1024, {n: free for n in sizes}))

    def run(timer, s, loops, args):
        if args is None:
            return timer(loops, s, CLOCK)
        return timer(loops, s, CLOCK, args)

    loops = {}
    for ci, (_, _, timer, _, args) in enumerate(cases):
        for variant in ("durnel", "pure"):
            s = states[(variant, sizes[0])]
            a = args[sizes[0]] if args else None
            loops[(ci, variant)] = calibrate(
                (lambda tm, ss, aa: lambda lp: run(tm, ss, lp, aa))(timer, s, a), target
            )

    samples: dict = {}
    for _ in range(repeats):
        for ci, (_, _, timer, per_loop, args) in enumerate(cases):
            for variant in ("durnel", "pure"):
                for n in sizes:
                    s = states[(variant, n)]
                    lp = loops[(ci, variant)]
                    elapsed = run(timer, s, lp, args[n] if args else None)
                    samples.setdefault((ci, variant, n), []).append(elapsed / (lp * per_loop))

    header = ("operation", "keys", "variant", "10", "1e4", "1e6", "1e6 / 10 (target <= 1.3x)")
    rows = []
    for ci, (name, pattern, _, _, _) in enumerate(cases):
        for variant in ("durnel", "pure"):
            med = {n: statistics.median(samples[(ci, variant, n)]) for n in sizes}
            # Samples of one repeat ran back to back: the median of their ratios.
            ratio = statistics.median(
                big / small
                for big, small in zip(
                    samples[(ci, variant, sizes[-1])], samples[(ci, variant, sizes[0])]
                )
            )
            cell = f"{ratio:.2f}x" + (f" ({verdict(ratio <= 1.3)})" if variant == "durnel" else "")
            rows.append((name, pattern, variant, *(fmt_ns(med[n]) for n in sizes), cell))
    print_table(header, rows)
    print(f"(building the six states took {build_seconds:.1f} s)")
    gc.unfreeze()
    states.clear()
    gc.collect()


# ---------------------------------------------------------------------------------------------
# Section 3: memory
# ---------------------------------------------------------------------------------------------
class MallInfo2(ctypes.Structure):
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


def native_allocated() -> int:
    """Bytes in use according to glibc: chunks in use in the arenas plus mmapped chunks."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def memory_section(variants: Variants, n: int) -> None:
    print()
    print(f"Memory: bytes per item, filling a fresh object with {n:,} items; durnel_core from")
    print(
        "glibc mallinfo2 (in-use + mmapped), pure Python from tracemalloc (traced Python memory)."
    )
    paths = [f"src/mem/file-{i:07d}.py" for i in range(n)]
    agents = [f"agent-{i:07d}" for i in range(n)]
    broadcasts = n // AGENTS

    def one_agent_claims(s):
        for p in paths:
            s.claim_file("agent-mem", p)

    def own_agent_claims(s):
        for a, p in zip(agents, paths):
            s.claim_file(a, p)

    def claim_release_cycles(s):
        for _ in range(n):
            s.claim_file("agent-mem", "src/cycle.py")
            s.release("agent-mem", "file:src/cycle.py")

    def direct_messages(s):
        for _ in range(n):
            s.send_message("agent-a", "agent-b", CONTENT)

    def broadcast_prepare(s):
        for i in range(AGENTS):
            s.claim_file(agent(i), path(i))

    def broadcast_copies(s):
        for _ in range(broadcasts):
            s.broadcast("agent-0000", CONTENT)

    # (name, prepare, fill, items, durnel's target in bytes per item or None)
    cases = [
        (
            "live claim, one agent holding them all (+ its log event)",
            None,
            one_agent_claims,
            n,
            None,
        ),
        (
            "live claim, an agent of its own each (+ status, log event)",
            None,
            own_agent_claims,
            n,
            None,
        ),
        (
            "log event alone (claim+release cycles, per event)",
            None,
            claim_release_cycles,
            2 * n,
            None,
        ),
        ("queued direct message, one mailbox (+ its log event)", None, direct_messages, n, 160),
        (
            f"queued broadcast copy ({AGENTS} mailboxes)",
            broadcast_prepare,
            broadcast_copies,
            broadcasts * AGENTS,
            32,
        ),
    ]
    rows = []
    for name, prepare, fill, count, target in cases:
        cells = []
        for variant in ("durnel", "pure"):
            gc.collect()
            s = variants.make(variant)
            if prepare:
                prepare(s)
            gc.collect()
            if variant == "durnel":
                before = native_allocated()
                fill(s)
                after = native_allocated()
            else:
                tracemalloc.start()
                before = tracemalloc.get_traced_memory()[0]
                fill(s)
                gc.collect()
                after = tracemalloc.get_traced_memory()[0]
                tracemalloc.stop()
            per_item = (after - before) / count
            cell = f"{per_item:,.1f}"
            if variant == "durnel" and target is not None:
                cell += f" (<= {target}: {verdict(per_item <= target)})"
            cells.append(cell)
            del s
        rows.append((name, *cells))
    print_table(("bytes per item", "durnel (mallinfo2)", "pure-Python (tracemalloc)"), rows)


# ---------------------------------------------------------------------------------------------
def machine_line() -> str:
    model = platform.processor() or "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    return (
        f"{now}; {model}, {os.cpu_count()} cores; {platform.system()} {platform.release()}; "
        f"CPython {platform.python_version()}"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--build-dir",
        default=str(REPO / "build-bench"),
        help="where durnel_core.abi3.so is (default: build-bench/)",
    )
    parser.add_argument(
        "--floor-dir",
        default=str(REPO / "build-floor"),
        help="where the floor extension is built (default: build-floor/)",
    )
    parser.add_argument(
        "--sections", default="surface,scale,memory", help="comma-separated: surface, scale, memory"
    )
    parser.add_argument(
        "--processes", type=int, default=3, help="fresh processes for the surface table"
    )
    parser.add_argument(
        "--repeats",
        type=int,
        default=7,
        help="interleaved repeats per process (surface) or in all (scale)",
    )
    parser.add_argument("--target-time", type=float, default=0.025, help="seconds per timed sample")
    parser.add_argument(
        "--clock",
        choices=("cpu", "wall"),
        default="cpu",
        help="thread CPU time (default) or wall time per sample",
    )
    parser.add_argument("--memory-items", type=int, default=100_000)
    parser.add_argument("--output", help="write the surface samples here as a pyperf JSON suite")
    parser.add_argument(
        "--build-floor-only",
        action="store_true",
        help="compile the floor extension (when stale) and stop",
    )
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    build_dir, floor_dir = Path(args.build_dir), Path(args.floor_dir)
    global CLOCK
    CLOCK = time.thread_time if args.clock == "cpu" else time.perf_counter

    if args.child:
        variants = Variants(build_dir, floor_dir)
        json.dump(surface_child(variants, args.repeats, args.target_time), sys.stdout)
        return

    build_floor(floor_dir)
    if args.build_floor_only:
        return
    variants = Variants(build_dir, floor_dir)
    check_shapes(variants)
    sections = {s.strip() for s in args.sections.split(",") if s.strip()}
    print(f"Machine: {machine_line()}")
    if "surface" in sections:
        gathered = run_surface(args)
        print_surface_table(gathered)
        if args.output:
            suite = to_pyperf_suite(gathered)
            Path(args.output).unlink(missing_ok=True)
            suite.dump(args.output)
    if "scale" in sections:
        scale_section(variants, args.repeats, args.target_time)
    if "memory" in sections:
        memory_section(variants, args.memory_items)


if __name__ == "__main__":
    main()
