#!/usr/bin/env bash
# Sanitizer and leak runs of the C++ core tests and of the Python suite.
#
#   1. build-asan/ (-DDURNEL_SANITIZE=address,undefined): every C++ test under ctest with
#      LeakSanitizer on, then the whole of tests/python against build-asan's modules, the
#      interpreter started with the ASan and UBSan runtimes preloaded and PYTHONMALLOC=malloc
#      (so that Python objects live in the sanitizer's heap too). LeakSanitizer stays off for
#      the interpreter, which does not free everything at exit.
#   2. build-tsan/ (-DDURNEL_SANITIZE=thread): the threaded C++ tests, those whose name
#      matches *Concurrency* or *Stress*, from every GoogleTest binary that ctest knows.
#   3. Leaks and uninitialised reads of the C++ tests: LeakSanitizer in step 1, after a
#      check that it really reports a planted leak on this machine, and valgrind memcheck
#      (--leak-check=full, every leak kind an error) on a plain build in build-valgrind/.
#      DURNEL_LEAK_CHECK=lsan or =valgrind keeps only one of them; where LeakSanitizer
#      cannot work (no ptrace, for one) valgrind alone runs.
#   4. build-tsan-portable/ (-DDURNEL_SANITIZE=thread -DDURNEL_PORTABLE=ON): the threaded C++
#      tests again on the core's path for other systems, where sleeping goes through a mutex
#      and condition variable that ThreadSanitizer sees (it cannot see a futex). Not a default
#      stage: make test runs it (make test-portable).
#
# Every sanitizer writes its reports to files under build-sanitize-logs/ (children of the
# tests included); any report fails the run, and so does any failing test. All stages run;
# the exit status is non-zero if one of them failed. Runs scripts/bootstrap.sh first, so a
# fresh machine gets its compiler, CMake, Ninja, GoogleTest, libfaketime and .venv.
#
# Environment: JOBS (parallel build and ctest jobs, default: processors online), VENV
# (default .venv), DURNEL_SANITIZE_STAGES (default "asan tsan leaks"; any subset of these and
# tsan-portable).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=${VENV:-.venv}
JOBS=${JOBS:-$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)}
STAGES=${DURNEL_SANITIZE_STAGES:-asan tsan leaks}
LOGS=$ROOT/build-sanitize-logs
THREADED_FILTER='*Concurrency*:*Stress*'

say() { echo "sanitize: $*"; }
failures=()
fail() {
  say "FAILED: $*"
  failures+=("$*")
}
wants() { [[ " $STAGES " == *" $1 "* ]]; }

if ! PYTHON=${PYTHON:-python3} VENV=$VENV scripts/bootstrap.sh; then
  say "scripts/bootstrap.sh failed"
  exit 1
fi
VPY=$ROOT/$VENV/bin/python
rm -rf "$LOGS"
mkdir -p "$LOGS"

# configure_and_build DIR SANITIZERS [CMAKE ARGS...]: a Ninja build of everything, optimised
# but with line tables for the reports. A build directory left by another generator is
# started afresh.
configure_and_build() {
  local dir=$1 sanitizers=$2
  shift 2
  local args=(-S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g" -DDURNEL_WERROR=ON
    "-DDURNEL_SANITIZE=$sanitizers" -DDURNEL_BUILD_TESTS=ON "-DPython3_EXECUTABLE=$VPY" "$@")
  say "configure $dir (sanitizers: ${sanitizers:-none})"
  if ! cmake "${args[@]}" >"$LOGS/configure-${dir}.log" 2>&1; then
    rm -rf "$dir"
    if ! cmake "${args[@]}" >"$LOGS/configure-${dir}.log" 2>&1; then
      cat "$LOGS/configure-${dir}.log"
      return 1
    fi
  fi
  say "build $dir"
  cmake --build "$dir" -j "$JOBS"
}

# gtest_binaries DIR: the GoogleTest executables behind the tests that ctest lists in DIR.
gtest_binaries() {
  ctest --test-dir "$1" --show-only=json-v1 2>/dev/null | "$VPY" -c '
import json, os, sys
seen = []
for test in json.load(sys.stdin).get("tests", []):
    command = test.get("command") or []
    if command and os.access(command[0], os.X_OK) and command[0] not in seen:
        seen.append(command[0])
print("\n".join(seen))'
}

# sanitizer_reports PREFIX: fails the stage if any sanitizer wrote a report file.
sanitizer_reports() {
  local found=0 file
  for file in "$LOGS/$1".*; do
    [[ -e $file ]] || continue
    found=1
    echo "----- $file"
    cat "$file"
  done
  return $found
}

sanitizer_runtime() {  # the path of a sanitizer runtime library of the compiler in use
  local path
  path=$(g++ -print-file-name="$1")
  [[ $path == /* && -e $path ]] && echo "$path"
}

# ---------------------------------------------------------------------------------------
# LeakSanitizer check: it must report a planted leak, or the leak stage uses valgrind.
# ---------------------------------------------------------------------------------------
leak_checker=${DURNEL_LEAK_CHECK:-}
if [[ -z $leak_checker ]]; then
  probe=$LOGS/leak-probe
  printf '#include <cstdlib>\nint main() { void* volatile p = std::malloc(48); p = nullptr; return 0; }\n' >"$probe.cpp"
  if g++ -fsanitize=address -g "$probe.cpp" -o "$probe" 2>/dev/null &&
    ! ASAN_OPTIONS=detect_leaks=1 "$probe" >"$probe.log" 2>&1 &&
    grep -q "LeakSanitizer: detected memory leaks" "$probe.log"; then
    leak_checker=both
  else
    leak_checker=valgrind
    say "LeakSanitizer does not report leaks here; the C++ tests go under valgrind instead"
  fi
fi

# ---------------------------------------------------------------------------------------
# 1. AddressSanitizer + UndefinedBehaviorSanitizer
# ---------------------------------------------------------------------------------------
if wants asan; then
  say "=== AddressSanitizer and UndefinedBehaviorSanitizer"
  if configure_and_build build-asan address,undefined; then
    detect_leaks=0
    [[ $leak_checker != valgrind ]] && wants leaks && detect_leaks=1
    common="halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
    say "C++ tests (ctest, LeakSanitizer $([[ $detect_leaks == 1 ]] && echo on || echo off))"
    if ! ASAN_OPTIONS="$common:detect_leaks=$detect_leaks:log_path=$LOGS/asan-core" \
      UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$LOGS/ubsan-core" \
      ctest --test-dir build-asan --output-on-failure -j "$JOBS"; then
      fail "C++ tests under ASan/UBSan"
    fi
    sanitizer_reports asan-core || fail "AddressSanitizer/LeakSanitizer reports from the C++ tests"
    sanitizer_reports ubsan-core || fail "UndefinedBehaviorSanitizer reports from the C++ tests"

    asan_lib=$(sanitizer_runtime libasan.so)
    ubsan_lib=$(sanitizer_runtime libubsan.so)
    if [[ -z $asan_lib || -z $ubsan_lib ]]; then
      fail "the compiler's libasan.so or libubsan.so is missing"
    else
      say "Python suite against build-asan (LD_PRELOAD=$asan_lib $ubsan_lib)"
      # Tests with a faked clock start children with libfaketime preloaded as well:
      # allocator_release_to_os_interval_ms=-1 keeps the allocator from reading the clock
      # under its lock (libfaketime allocates on its first call: a deadlock), and
      # verify_asan_link_order=0 lets a child put libfaketime ahead of the ASan runtime.
      python_asan="$common:detect_leaks=0:allocator_release_to_os_interval_ms=-1"
      python_asan+=":verify_asan_link_order=0:log_path=$LOGS/asan-python"
      if ! LD_PRELOAD="$asan_lib $ubsan_lib" PYTHONMALLOC=malloc ASAN_OPTIONS="$python_asan" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$LOGS/ubsan-python" \
        DURNEL_ENGINES=native PYTHONPATH="$ROOT/build-asan:$ROOT/src" "$VPY" -m pytest -q -p no:cacheprovider tests/python; then
        fail "Python suite under ASan/UBSan"
      fi
      sanitizer_reports asan-python || fail "AddressSanitizer reports from the Python suite"
      sanitizer_reports ubsan-python || fail "UndefinedBehaviorSanitizer reports from the Python suite"
    fi
  else
    fail "the ASan/UBSan build"
  fi
fi

# ---------------------------------------------------------------------------------------
# 2. ThreadSanitizer on the threaded C++ tests (4. the same on the portable core)
# ---------------------------------------------------------------------------------------
# tsan_stage DIR [CMAKE ARGS...]
tsan_stage() {
  local dir=$1
  shift
  say "=== ThreadSanitizer ($THREADED_FILTER) in $dir"
  if configure_and_build "$dir" thread "$@"; then
    # ThreadSanitizer of GCC 12 cannot map its shadow memory under the larger address-space
    # randomisation of newer kernels; the tests run without randomisation where allowed.
    no_aslr=()
    if setarch "$(uname -m)" -R true 2>/dev/null; then
      no_aslr=(setarch "$(uname -m)" -R)
    fi
    binaries=$(gtest_binaries "$dir")
    if [[ -z $binaries ]]; then
      say "no GoogleTest binaries in $dir: nothing to run"
    fi
    for binary in $binaries; do
      count=$("$binary" --gtest_list_tests --gtest_filter="$THREADED_FILTER" 2>/dev/null | grep -c '^  ')
      say "$(basename "$binary"): $count threaded tests"
      ((count > 0)) || continue
      if ! TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=4:log_path=$LOGS/tsan-$dir" \
        timeout 900 "${no_aslr[@]}" "$binary" --gtest_filter="$THREADED_FILTER"; then
        fail "threaded tests of $(basename "$binary") under TSan in $dir"
      fi
    done
    sanitizer_reports "tsan-$dir" || fail "ThreadSanitizer reports in $dir"
  else
    fail "the TSan build in $dir"
  fi
}
if wants tsan; then
  tsan_stage build-tsan
fi
if wants tsan-portable; then
  tsan_stage build-tsan-portable -DDURNEL_PORTABLE=ON
fi

# ---------------------------------------------------------------------------------------
# 3. Leaks of the C++ tests: LeakSanitizer did its part in step 1; valgrind runs here
# ---------------------------------------------------------------------------------------
if wants leaks; then
  if [[ $leak_checker != valgrind ]]; then
    if wants asan; then
      say "=== leaks: LeakSanitizer checked the ASan run of the C++ tests"
    else
      say "=== leaks: LeakSanitizer runs with the asan stage, which was not asked for"
    fi
  fi
  if [[ $leak_checker != lsan ]]; then
    say "=== leaks: valgrind memcheck on the C++ tests"
    if ! command -v valgrind >/dev/null; then
      SUDO=""
      [[ $(id -u) -ne 0 ]] && SUDO="sudo"
      $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq valgrind >/dev/null
    fi
    if ! command -v valgrind >/dev/null; then
      fail "valgrind could not be installed"
    elif configure_and_build build-valgrind ""; then
      for binary in $(gtest_binaries build-valgrind); do
        say "valgrind $(basename "$binary")"
        # valgrind runs one thread at a time; --fair-sched hands its lock round in turn, so a
        # thread that spins or yields waiting for another cannot keep it for ever.
        if ! timeout 1800 valgrind --quiet --fair-sched=yes --leak-check=full \
          --show-leak-kinds=definite,indirect,possible \
          --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=1 \
          "$binary"; then
          fail "valgrind memcheck of $(basename "$binary")"
        fi
      done
    else
      fail "the build for valgrind"
    fi
  fi
fi

if ((${#failures[@]})); then
  say "${#failures[@]} stage(s) failed:"
  printf '  - %s\n' "${failures[@]}"
  exit 1
fi
say "all clean: no sanitizer report, no leak, no failing test"
