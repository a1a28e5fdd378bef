#!/usr/bin/env bash
# Builds the arm64 sysroot for the aarch64 build and its tests under qemu-user, from Debian's
# own arm64 packages only: `apt-get download` then `dpkg-deb -x`, nothing installed on the
# machine. It holds an arm64 CPython 3.11 with its headers, pytest, hypothesis and psutil,
# GoogleTest for the C++ tests, and the C and C++ runtime those link against. No arm64
# libfaketime: the tests preload the host's, which takes hold in qemu itself, and qemu reads
# the host clock for the guest (the guest's loader only warns that it cannot preload it).
#
#   scripts/arm64-sysroot.sh [DIR]     (default build-aarch64/sysroot)
#
# Also writes DIR/../bin/python3: a host shell script that runs the arm64 interpreter under
# qemu-aarch64. It is the interpreter's sys.executable too, so that a test that starts a child
# interpreter starts it under qemu as well (no binfmt_misc is needed). Skipped when the
# package list is unchanged since the last run.
set -euo pipefail
cd "$(dirname "$0")/.."
SYSROOT=$(realpath -m "${1:-build-aarch64/sysroot}")
BIN=$(dirname "$SYSROOT")/bin

ARM64_PACKAGES=(
  libc6 libgcc-s1 libstdc++6 gcc-12-base
  python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11 libpython3.11-dev
  zlib1g libexpat1 libffi8 libssl3 libbz2-1.0 liblzma5 libsqlite3-0 libncursesw6 libtinfo6
  libreadline8 libuuid1 libcrypt1 libnsl2 libtirpc3 libgssapi-krb5-2 libk5crypto3 libkrb5-3
  libkrb5support0 libkeyutils1 libcom-err2 libdb5.3
  python3-psutil libgtest-dev
)
ALL_PACKAGES=(  # architecture-independent: pytest and hypothesis with what they import
  python3-pytest python3-pluggy python3-iniconfig python3-packaging python3-py python3-attr
  python3-hypothesis python3-sortedcontainers python3-exceptiongroup python3-tomli
)
wanted=$(printf '%s:arm64\n' "${ARM64_PACKAGES[@]}"; printf '%s\n' "${ALL_PACKAGES[@]}")

stamp=$SYSROOT/.packages
if [[ -f $stamp && $(cat "$stamp") == "$wanted" && -x $BIN/python3 ]] &&
  grep -qF "$SYSROOT/usr/bin/python3.11" "$BIN/python3"; then  # not moved since
  exit 0
fi

SUDO=""
[[ $(id -u) -ne 0 ]] && SUDO="sudo"
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "arm64-sysroot: dpkg --add-architecture arm64; apt-get update"
  $SUDO dpkg --add-architecture arm64
  $SUDO apt-get update -qq
fi
if ! apt-cache show libc6:arm64 >/dev/null 2>&1; then
  $SUDO apt-get update -qq
fi

debs=$(dirname "$SYSROOT")/debs
rm -rf "$SYSROOT" "$debs"
mkdir -p "$SYSROOT" "$debs" "$BIN"
echo "arm64-sysroot: apt-get download of $(wc -l <<<"$wanted") packages"
# shellcheck disable=SC2086
(cd "$debs" && apt-get download -qq $wanted)
for deb in "$debs"/*.deb; do
  dpkg-deb -x "$deb" "$SYSROOT"
done

# The guest sees host paths; qemu's -L looks up absolute paths (the dynamic loader, /usr/lib)
# in the sysroot first. argv[0] is this script, which the interpreter reports as sys.executable.
cat >"$BIN/python3" <<WRAPPER
#!/bin/sh
# The arm64 CPython of $SYSROOT, under qemu-user.
exec qemu-aarch64 -L "$SYSROOT" -0 "\$0" "$SYSROOT/usr/bin/python3.11" "\$@"
WRAPPER
chmod +x "$BIN/python3"
"$BIN/python3" -c 'import platform, sys; print("arm64-sysroot:", sys.version.split()[0], platform.machine())'
echo "$wanted" >"$stamp"
