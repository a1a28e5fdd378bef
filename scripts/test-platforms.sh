#!/usr/bin/env bash
# The platforms the wheel matrix plans, built here into build-platforms/<target>/, warnings as
# errors: macOS and musl with the clang of the ziglang wheel (cmake/zig.cmake), Windows with
# Debian's MinGW-w64 GCC 12 (cmake/x86_64-w64-mingw32.cmake), whose runtime comes prebuilt
# where zig would first compile its own on a fresh machine (some six minutes of CPU):
#   x86_64-macos.10.14,           the portable core, the C++ tests, and the two modules
#   aarch64-macos.11.0            (durnel_core and its snapshot reader durnel_core_snapshot)
#                                 linked as Python extension bundles (-undefined
#                                 dynamic_lookup, the exported-symbols list), each of which
#                                 must export its PyInit_<name> and nothing else and look up
#                                 only Python's symbols at load; the oldest macOS of each is
#                                 the wheel's (pyproject.toml)
#   x86_64-windows-gnu            the portable core and the C++ tests, posix threads, linked
#                                 statically (no MinGW DLL to find) and run under wine64
#   x86_64-linux-musl             the core (Linux path), the C++ tests, statically linked and
#                                 run here, and the two modules, whose one export each is
#                                 checked too
# GoogleTest is built for each target from Debian's sources (/usr/src/googletest). The module
# compiles against the headers of this machine's CPython 3.9 at the limited-API 3.9 level:
# those headers are the same on every platform but for pyconfig.h, whose sizes are those of
# any LP64 system (Linux, macOS), so that is a compile check; Windows (LLP64) would need its
# own pyconfig.h and python3.lib, which are not here, so no Windows module is built.
# Environment: VENV (.venv), DEV_CMAKE_FLAGS (the Makefile's), DURNEL_SCHEDULES (passed to
# the tests), PLATFORMS (the targets, all four by default).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
VPY=$root/${VENV:-.venv}/bin/python
OUT=$root/build-platforms
read -r -a cmake_flags <<<"${DEV_CMAKE_FLAGS:--G Ninja -DCMAKE_BUILD_TYPE=Release -DDURNEL_WERROR=ON}"
read -r -a targets <<<"${PLATFORMS:-x86_64-macos.10.14 aarch64-macos.11.0 x86_64-windows-gnu x86_64-linux-musl}"
nm=$(command -v llvm-nm || command -v llvm-nm-14)

# One executable per tool, as CMake wants: zig's own binary, not the Python launcher, so that
# each compile costs no interpreter start.
zig=$("$VPY" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
mkdir -p "$OUT/zig-bin"
write_tool() {  # write_tool NAME ARGS...
  printf '#!/bin/sh\nexec %q %s "$@"\n' "$zig" "${*:2}" >"$OUT/zig-bin/$1"
  chmod +x "$OUT/zig-bin/$1"
}
write_tool ar ar
write_tool ranlib ranlib
# pyenv's shims refuse versions that are not selected; its version directories do not.
pyenv_root=$(pyenv root 2>/dev/null || echo ~/.pyenv)
python39=$(ls -d "$pyenv_root"/versions/3.9.*/bin/python3.9 2>/dev/null | sort -V | tail -1)
python39=${python39:-$(command -v python3.9)}
py_include=$("$python39" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')

# macOS: _PyInit_<name> is exported, and every symbol left to dynamic lookup (not bound to
# libSystem) is Python's: anything else would fail to load in the interpreter. zig's linker
# applies no exported-symbols list, so besides the entry point a module also exports what it
# always defines (its own header and __dso_handle) and the replaceable operator new and
# delete of the libc++ it links statically; ld64 on a Mac, with the system's libc++, exports
# the entry point alone. Anything beyond those is an error.
check_macos_module() {  # check_macos_module NAME: build/NAME.abi3.so of the current target
  local name=$1 module=$dir/build/$1.abi3.so exported foreign
  exported=$("$nm" --extern-only --defined-only --format=just-symbols "$module" |
    grep -v -x -e '__mh_dylib_header' -e '___dso_handle' -e '__Z[dn][alw][a-zA-Z0-9_]*' || true)
  if [[ $exported != "_PyInit_$name" ]]; then
    echo "platforms: $target: $name exports more than _PyInit_$name:" $exported >&2
    return 1
  fi
  foreign=$("$nm" -m --undefined-only "$module" | grep -v '(from ' |
    awk '{print $NF}' | grep -v '^__\?Py' || true)
  if [[ -n $foreign ]]; then
    echo "platforms: $module looks up symbols that are not Python's:" $foreign >&2
    return 1
  fi
  echo "platforms: $target: $name.abi3.so exports _PyInit_$name and looks up only Python"
}

check_elf_module() {  # check_elf_module NAME: build/NAME.abi3.so of the current target
  local name=$1 module=$dir/build/$1.abi3.so exported
  exported=$("$nm" --dynamic --extern-only --defined-only --format=just-symbols "$module")
  if [[ $exported != "PyInit_$name" ]]; then
    echo "platforms: $module exports more than PyInit_$name:" $exported >&2
    return 1
  fi
  echo "platforms: $target: $name.abi3.so exports PyInit_$name alone"
}

for target in "${targets[@]}"; do
  if [[ $target != *-windows* ]]; then
    write_tool "$target-cc" cc -target "$target"
    write_tool "$target-c++" c++ -target "$target"
  fi
  if [[ $target == *-macos* ]]; then
    # zig's Mach-O linker crashes on -bundle: the module is linked as a dynamic library with
    # the bundle's other flags instead, which dlopen loads alike.
    printf '#!/bin/sh\nfor a; do shift; [ "$a" = -bundle ] && a=-shared; set -- "$@" "$a"; done\nexec %q c++ -target %q "$@"\n' \
      "$zig" "$target" >"$OUT/zig-bin/$target-c++"
  fi
  toolchain=(--toolchain "$root/cmake/zig.cmake" -DDURNEL_ZIG_TARGET="$target"
             -DDURNEL_ZIG_BIN="$OUT/zig-bin")
  [[ $target == *-windows* ]] && toolchain=(--toolchain "$root/cmake/x86_64-w64-mingw32.cmake")
  dir=$OUT/$target
  gtest=$dir/googletest
  # A target's GoogleTest and build belong to one toolchain (Windows was built with zig before
  # MinGW-w64, whose libstdc++ cannot link zig's libc++ build): another one starts afresh.
  if [[ $(cat "$dir/toolchain" 2>/dev/null) != "${toolchain[*]}" ]]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    echo "${toolchain[*]}" >"$dir/toolchain"
  fi
  if [[ ! -f $gtest/lib/cmake/GTest/GTestConfig.cmake ]]; then
    echo "platforms: $target: GoogleTest from /usr/src/googletest"
    if ! { cmake -S /usr/src/googletest -B "$dir/googletest-build" -G Ninja \
             -DCMAKE_BUILD_TYPE=Release "${toolchain[@]}" -DBUILD_GMOCK=OFF \
             -DCMAKE_INSTALL_PREFIX="$gtest" &&
           cmake --build "$dir/googletest-build" --target install; } >"$dir/googletest.log" 2>&1; then
      cat "$dir/googletest.log"
      exit 1
    fi
  fi
  module=(-DPython3_EXECUTABLE="$python39" -DPython3_INCLUDE_DIR="$py_include")
  [[ $target == *windows* ]] && module=(-DDURNEL_BUILD_MODULE=OFF)
  echo "platforms: $target: configure and build"
  cmake -S . -B "$dir/build" "${cmake_flags[@]}" "${toolchain[@]}" "${module[@]}" \
    -DGTest_DIR="$gtest/lib/cmake/GTest" -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
    >/dev/null
  cmake --build "$dir/build"
  case $target in
    *-macos*)
      check_macos_module durnel_core
      check_macos_module durnel_core_snapshot
      ;;
    *-linux-musl)
      check_elf_module durnel_core
      check_elf_module durnel_core_snapshot
      echo "platforms: $target: C++ tests, natively"
      ctest --test-dir "$dir/build" --output-on-failure -j2
      ;;
    *-windows-gnu)
      echo "platforms: $target: C++ tests under wine64"
      scripts/wine-run.sh --start
      rc=0
      # A test that fails is run once more: a wine client that starts while the last one's
      # wineserver winds down can lose its connection ("wine client error: recvmsg:
      # Connection reset by peer") before the test's first line; ctest's output keeps both.
      ctest --test-dir "$dir/build" --output-on-failure -j2 --repeat until-pass:2 || rc=$?
      scripts/wine-run.sh --stop
      ((rc == 0)) || exit $rc
      ;;
  esac
done
