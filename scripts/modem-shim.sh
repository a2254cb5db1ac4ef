#!/usr/bin/env bash
# Builds the modem-line shim for the arch of the Wine that runs the tests, when
# missing or older than its source, and prints its path.
set -euo pipefail
LUMO_ROOT=${LUMO_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
arch=${LUMO_TEST_ARCH:-$("$LUMO_ROOT/scripts/test-arch.sh")}
shim_dir=$LUMO_ROOT/build/modem-shim-$arch
shim=$shim_dir/modem_shim.so
src=$LUMO_ROOT/tools/lumo-sim/modem_shim.c
if [ ! -f "$shim" ] || [ "$src" -nt "$shim" ]; then
  mkdir -p "$shim_dir"
  m=-m64; [ "$arch" = i686 ] && m=-m32
  gcc $m -shared -fPIC -O2 -Wall -Wextra -Werror -o "$shim.tmp.$$" "$src" -ldl
  mv "$shim.tmp.$$" "$shim"
fi
echo "$shim"
