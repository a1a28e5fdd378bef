#!/usr/bin/env bash
# Checks that the modules are reproducible and path-free: the committed tree (git archive HEAD)
# is unpacked twice, at two different depths under a scratch directory, and built in Release
# as the wheel is, once with the build directory inside the source tree and once outside it.
# Each module (durnel_core and its snapshot reader) must come out identical byte for byte from
# the two builds, and none may contain a directory of either build (durnel_core's panic
# diagnostics name src/core/clock.cpp, relative to the tree).
#
#   scripts/check-reproducible.sh        (uses .venv's Python for the headers)
set -euo pipefail
cd "$(dirname "$0")/.."
VPY=$PWD/${VENV:-.venv}/bin/python
scratch=$(mktemp -d "${TMPDIR:-/tmp}/durnel-repro.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

first=$scratch/a/durnel_core
second=$scratch/elsewhere/deeper/checkout
mkdir -p "$first" "$second" "$scratch/out-of-tree"
git archive HEAD | tar -x -C "$first"
git archive HEAD | tar -x -C "$second"

build() {  # build SOURCE BUILD_DIR
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDURNEL_BUILD_TESTS=OFF \
    "-DPython3_EXECUTABLE=$VPY" >/dev/null
  cmake --build "$2" --target durnel_core durnel_core_snapshot >/dev/null
}
build "$first" "$first/build"
build "$second" "$scratch/out-of-tree/build"

status=0
for module in durnel_core durnel_core_snapshot; do
  one=$first/build/$module.abi3.so
  two=$scratch/out-of-tree/build/$module.abi3.so
  if cmp -s "$one" "$two"; then
    echo "reproducible: two builds of $(git rev-parse --short HEAD) in different directories: $module identical ($(sha256sum <"$one" | cut -c1-16))"
  else
    echo "reproducible: FAILED: the two $module files differ"
    cmp "$one" "$two" | head -1
    status=1
  fi
  if grep -a -o -E "$scratch[^[:cntrl:]]*" "$one" "$two" | sort -u | head -5 | grep .; then
    echo "reproducible: FAILED: a build directory is named inside $module (above)"
    status=1
  fi
done
one=$first/build/durnel_core.abi3.so
if ! grep -a -q "src/core/clock.cpp" "$one"; then
  echo "reproducible: FAILED: the panic location src/core/clock.cpp is not in the module"
  status=1
fi
exit $status
