#!/usr/bin/env bash
# Installs what a make target needs, only when it is missing. Two parts:
#   demo   what `make demo` needs and no more: a C++ compiler, CMake, Ninja, the venv module
#          and headers of the system Python, libfaketime (examples/lease_takeover.py), and an
#          empty virtual environment .venv/ whose Python the module is built for;
#   test   (the default) the demo part, then GoogleTest, Google Benchmark and binutils from
#          Debian, redis-server (the Redis engine's tests start their own servers), tmux (the
#          durnel command's live view is tested in a real terminal), and the
#          development and test tools of requirements-dev.txt from PyPI into
#          .venv/, each at the exact version constraints.txt pins.
# usage: scripts/bootstrap.sh [demo|test]
# Safe to run again: each step is skipped when its result is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

PART=${1:-test}
PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}
DEMO_DEBIAN_PACKAGES=(g++ cmake ninja-build faketime python3-venv python3-dev)
TEST_DEBIAN_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev binutils redis-server tmux)

case $PART in
  demo) debian_packages=("${DEMO_DEBIAN_PACKAGES[@]}") ;;
  test) debian_packages=("${DEMO_DEBIAN_PACKAGES[@]}" "${TEST_DEBIAN_PACKAGES[@]}") ;;
  *) echo "usage: $0 [demo|test]" >&2; exit 2 ;;
esac
# Packages that only some targets need, named by them: make test-clang (clang), make
# wheel-aarch64 (g++-aarch64-linux-gnu qemu-user), make test-platforms (wine wine64 llvm
# g++-mingw-w64-x86-64-posix).
read -r -a extra_packages <<<"${BOOTSTRAP_EXTRA_PACKAGES:-}"
debian_packages+=("${extra_packages[@]}")

missing=()
for package in "${debian_packages[@]}"; do
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
[[ $PART == demo ]] && exit 0

stamp=$VENV/.requirements-installed
if [[ ! -f $stamp || requirements-dev.txt -nt $stamp || requirements-test.txt -nt $stamp ||
      constraints.txt -nt $stamp ]]; then
  echo "bootstrap: installing the development tools into $VENV (requirements-dev.txt)"
  "$VENV/bin/python" -m pip install -q -r requirements-dev.txt -c constraints.txt
  touch "$stamp"
fi
