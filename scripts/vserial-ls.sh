#!/usr/bin/env bash
# Prints which device stands behind each COM port of the project's Wine prefix.
set -euo pipefail
LUMO_ROOT=${LUMO_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
arch=${LUMO_TEST_ARCH:-$("$LUMO_ROOT/scripts/test-arch.sh")}
dir=${LUMO_WINEPREFIX:-$LUMO_ROOT/build/wineprefix-$arch}/dosdevices
for link in "$dir"/com*; do
  [ -L "$link" ] || continue
  target=$(readlink "$link")
  state=missing; [ -e "$target" ] && state=present
  printf '%-6s -> %s (%s)\n' "$(basename "$link" | tr a-z A-Z)" "$target" "$state"
done
