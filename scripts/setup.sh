#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian machine.
# Idempotent and quick when everything is already there.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
have() { command -v "$1" >/dev/null 2>&1; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

# A Debian mirror caught in the middle of a sync refuses an index or a package
# ("File has unexpected size ... Mirror sync in progress?"), sometimes for
# days in a caching proxy: try again a few times.
retry_apt() {
  local attempt
  for attempt in 1 2 3; do
    "$@" && return 0
    [ "$attempt" -lt 3 ] || break
    echo "setup: '$*' failed (attempt $attempt of 3); again in $((attempt * 20)) s" >&2
    sleep $((attempt * 20))
  done
  return 1
}

install_pkgs() {
  [ $# -gt 0 ] || return 0
  echo "setup: installing $*" >&2
  if [ -z "${LUMO_APT_UPDATED:-}" ]; then
    # The indexes that did arrive are in use: an install that still finds
    # everything it needs goes on, and one that does not fails below.
    retry_apt $SUDO apt-get update -qq \
      || echo "setup: warning: some package indexes are stale; installing from the rest" >&2
    LUMO_APT_UPDATED=1
  fi
  retry_apt $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

pkgs=()
for p in g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 xvfb xauth x11-utils xdotool \
         imagemagick fonts-wine cmake make googletest libgtest-dev gcc-multilib clang libclang-rt-14-dev python3 \
         libcli11-dev gnuplot-nox nlohmann-json3-dev zip procps gcovr; do
  installed "$p" || pkgs+=("$p")
done
install_pkgs "${pkgs[@]+"${pkgs[@]}"}"

# Some machines run 64-bit user code only (their kernel refuses i386 binaries).
# There the tests run a 64-bit build under 64-bit Wine; elsewhere the product
# itself runs under 32-bit Wine, which needs the i386 architecture.
# The machine's own ability decides, not LUMO_TEST_ARCH (make test-i686 builds
# the i686 tests on machines that run them only in an emulated machine).
# Where 32-bit Wine cannot be installed (the i386 packages out of step with the
# installed amd64 ones, as behind a stale mirror), the tests run as on a 64-bit
# machine and make test-i686 uses the emulated one; build/.no-wine32 keeps
# later runs in this checkout from trying again.
no_wine32=$here/../build/.no-wine32
if [ "$("$here/test-arch.sh" --cpu)" = i686 ] && ! installed wine32:i386 && [ ! -f "$no_wine32" ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  LUMO_APT_UPDATED=""
  if ! (install_pkgs wine32:i386); then
    mkdir -p "$(dirname "$no_wine32")" && date -u >"$no_wine32"
    echo "setup: warning: 32-bit Wine cannot be installed here; the tests run the x86_64 build" \
         "and make test-i686 runs the i686 suite in the emulated machine" >&2
  fi
fi

# `setup.sh --vm`: what scripts/vm-i686.sh needs to build and boot the emulated
# machine of `make test-i686`; installed only when that path is taken.
if [ "${1:-}" = --vm ]; then
  pkgs=()
  for p in qemu-system-x86 mmdebstrap e2fsprogs cpio gzip python3; do
    installed "$p" || pkgs+=("$p")
  done
  install_pkgs "${pkgs[@]+"${pkgs[@]}"}"
fi
