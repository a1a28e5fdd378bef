#!/usr/bin/env bash
# Installs what the Redis engine's demo and benchmark need, only when it is missing:
#   - redis-server (Debian package redis-server) through apt-get, retried while another
#     process holds the dpkg lock;
#   - redis-py (PyPI: redis) into the project's virtual environment (.venv, or $VENV).
# Run after scripts/bootstrap.sh, which makes the virtual environment.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${VENV:-.venv}

if ! command -v redis-server >/dev/null && [[ ! -x /usr/bin/redis-server ]]; then
  echo "need-redis: installing the Debian package redis-server"
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  for attempt in 1 2 3 4 5 6; do
    # -o DPkg::Lock::Timeout waits for a lock held by another apt-get instead of failing.
    if $SUDO apt-get update -qq -o DPkg::Lock::Timeout=120 &&
       DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq \
         -o DPkg::Lock::Timeout=120 redis-server >/dev/null; then
      break
    fi
    [[ $attempt == 6 ]] && { echo "need-redis: apt-get could not install redis-server"; exit 1; }
    sleep 10
  done
  # Debian's package starts a system service on port 6379; the demo and the benchmark start
  # servers of their own on free ports and do not use it.
fi

if ! "$VENV/bin/python" -c "import redis" 2>/dev/null; then
  echo "need-redis: installing redis-py into $VENV"
  "$VENV/bin/python" -m pip install -q redis
fi
