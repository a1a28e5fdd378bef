#!/usr/bin/env bash
# Runs a Windows program under Debian's wine64, headless and quiet: its own prefix under
# build-platforms/ (never ~/.wine), no debug channels, no display, no Mono or Gecko install
# prompts. The exit status is the program's. The CMake emulator of Windows test binaries
# (cmake/x86_64-w64-mingw32.cmake, cmake/zig.cmake), so ctest runs each test through it.
#   scripts/wine-run.sh --start  creates the prefix once, before tests run side by side
#   scripts/wine-run.sh --stop   ends whatever wine left running in the prefix
# The wineserver is not kept up between tests: wine's own service processes, started with a
# test, would hold its output pipe open for as long as the server lives, and ctest waits for
# that pipe; so each test costs the few seconds in which they wind down.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build-platforms/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)

case ${1:-} in
  --start)
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
      mkdir -p "$WINEPREFIX"
      "$wine" wineboot --init >/dev/null 2>&1
      wineserver --wait
    fi
    exit 0
    ;;
  --stop)
    wineserver --kill 2>/dev/null || true  # nothing left running is fine
    exit 0
    ;;
esac
exec "$wine" "$@"
