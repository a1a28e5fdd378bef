#!/usr/bin/env bash
# Installs what the build and the tests need, only when it is missing:
#   - Debian packages (compiler, cmake, ninja, GoogleTest, Google Benchmark, libfaketime, the
#     venv module and headers of the system Python) through apt-get, after `apt-get update`;
#   - Python packages from PyPI into the project's own virtual environment, .venv/.
# Safe to run again: each step is skipped when its result is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}
DEBIAN_PACKAGES=(g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev faketime binutils
                 python3-venv python3-dev)
# Packages that only some targets need, named by them: make test-clang (clang), make
# wheel-aarch64 (g++-aarch64-linux-gnu qemu-user).
read -r -a extra_packages <<<"${BOOTSTRAP_EXTRA_PACKAGES:-}"
DEBIAN_PACKAGES+=("${extra_packages[@]}")

missing=()
for package in "${DEBIAN_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "bootstrap: installing Debian packages: ${missing[*]}"
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [[ ! -x $VENV/bin/python ]]; then
  echo "bootstrap: creating $VENV with $($PYTHON --version)"
  "$PYTHON" -m venv "$VENV"
fi
stamp=$VENV/.requirements-installed
if [[ ! -f $stamp || requirements-dev.txt -nt $stamp ]]; then
  "$VENV/bin/python" -m pip install -q --upgrade pip
  "$VENV/bin/python" -m pip install -q -r requirements-dev.txt
  touch "$stamp"
fi
