#!/usr/bin/env bash
# Builds and runs the benchmark harnesses and prints their tables:
#   1. the core (Google Benchmark, bench/core/): shard locks, the sharded map, SipHash-1-3 and
#      the coordination operations, summarised by bench/core_summary.py;
#   2. the Python surface (bench/bench_python.py): every method against its floor and against
#      the pure-Python equivalent, then cost against live entries, then memory per item;
#   3. the Redis engine (bench/bench_redis.py) on a redis-server of its own on loopback:
#      latency and throughput from 1 and 8 processes beside redis-py's Lock and plain list
#      commands, and the commands each method sends (redis-server and redis-py installed by
#      scripts/need-redis.sh when missing);
#   4. the SQLite engine (bench/bench_sqlite.py) on a file in a scratch directory, beside the
#      Redis engine on a redis-server of its own and a multiprocessing.Manager: latency, and
#      throughput from 1 and 8 processes on one file; and its -wal's size under 4 sending and
#      9 waiting threads and after them (bench/bench_wal.py);
#   5. waits (bench/bench_waits.py): wake latency and idle waiters' cost in-process and on a
#      redis-server of its own, the asyncio Redis client against the sync one and 100 tasks
#      against one, and what durnel.connect()'s object and its asyncio view add to each of
#      the nine methods (ns, and instructions by callgrind);
#   6. snapshots (bench/bench_snapshot.py): durnel.snapshot of a group of 1,000 agents,
#      claims and mailboxes in-process, on a redis-server of its own and in a SQLite file, and
#      the CPU that `durnel watch` uses on the last two for a minute in a tmux terminal;
#   7. durnel mcp (bench/bench_mcp.py) through the MCP SDK's client: a tool call over stdio on
#      SQLite against the engine call alone, a wait woken by another session's send, and 20
#      sessions over streamable HTTP on the in-process engine against one.
# Everything is built in build-bench/ (module and core_bench) and build-floor/ (the floor
# extension); raw results stay there (core.json, core.txt, python_surface.json, redis.json,
# sqlite.json, wal.json, snapshot.json, mcp.json).
# BENCH_QUICK=1 runs fewer repetitions, for a look rather than a measurement.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build-bench
VPY=.venv/bin/python

scripts/bootstrap.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDURNEL_BUILD_BENCH=ON \
  -DDURNEL_BUILD_TESTS=OFF -DPython3_EXECUTABLE="$(pwd)/$VPY" >/dev/null
cmake --build "$BUILD"
"$VPY" bench/bench_python.py --build-floor-only

if [[ ${BENCH_QUICK:-0} == 1 ]]; then
  core_args=(--benchmark_repetitions=1 --benchmark_min_time=0.05)
  python_args=(--processes 1 --repeats 3 --memory-items 20000)
  redis_args=(--repeats 2 --pairs 200 --seconds 0.3 --calls 5)
  sqlite_args=(--repeats 2 --pairs 200 --seconds 0.3)
  waits_args=(--rounds 300 --idle-seconds 1 --calls 2000 --method-calls 2000 --method-repeats 3
    --redis-rounds 100 --redis-repeats 3)
  snapshot_args=(--snapshots 30 --watch-seconds 10)
  mcp_args=(--rounds 30 --wake-rounds 15 --seconds 1)
else
  core_args=(--benchmark_repetitions=3 --benchmark_min_time=0.2)
  python_args=(--processes 3 --repeats 7)
  redis_args=(--repeats 11 --pairs 600 --seconds 0.5 --calls 20)
  sqlite_args=(--repeats 11 --pairs 600 --seconds 0.5)
  waits_args=()
  snapshot_args=(--snapshots 200 --watch-seconds 60)
  mcp_args=()
fi

echo "== core benchmarks (raw output: $BUILD/core.txt) =="
"$BUILD/bench/core_bench" "${core_args[@]}" --benchmark_report_aggregates_only=true \
  --benchmark_out="$BUILD/core.json" --benchmark_out_format=json >"$BUILD/core.txt" 2>&1
"$VPY" bench/core_summary.py "$BUILD/core.json"

echo
echo "== Python surface benchmarks =="
"$VPY" bench/bench_python.py --build-dir "$BUILD" --floor-dir build-floor \
  --output "$BUILD/python_surface.json" "${python_args[@]}"

echo
echo "== Redis engine benchmarks (raw results: $BUILD/redis.json) =="
VENV=.venv scripts/need-redis.sh
PYTHONPATH="$(pwd)/$BUILD:$(pwd)/src" "$VPY" bench/bench_redis.py --processes 8 \
  --output "$BUILD/redis.json" "${redis_args[@]}"

echo
echo "== SQLite engine benchmarks (raw results: $BUILD/sqlite.json) =="
PYTHONPATH="$(pwd)/$BUILD:$(pwd)/src" "$VPY" bench/bench_sqlite.py --processes 8 \
  --output "$BUILD/sqlite.json" "${sqlite_args[@]}"
PYTHONPATH="$(pwd)/$BUILD:$(pwd)/src" "$VPY" bench/bench_wal.py --output "$BUILD/wal.json"

echo
echo "== Waits =="
PYTHONPATH="$(pwd)/$BUILD:$(pwd)/src" "$VPY" bench/bench_waits.py "${waits_args[@]}"

echo
echo "== snapshots and durnel watch (raw results: $BUILD/snapshot.json) =="
PYTHONPATH="$(pwd)/$BUILD:$(pwd)/src" "$VPY" bench/bench_snapshot.py \
  --output "$BUILD/snapshot.json" "${snapshot_args[@]}"

echo
echo "== durnel mcp (raw results: $BUILD/mcp.json) =="
PYTHONPATH="$(pwd)/$BUILD:$(pwd)/src" "$VPY" bench/bench_mcp.py --output "$BUILD/mcp.json" \
  "${mcp_args[@]}"
