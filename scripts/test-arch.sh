#!/usr/bin/env bash
# Prints the architecture the executable tests run on: i686 when this machine
# can execute 32-bit x86 code, x86_64 otherwise. LUMO_TEST_ARCH overrides it.
set -eu
if [ -n "${LUMO_TEST_ARCH:-}" ]; then echo "$LUMO_TEST_ARCH"; exit 0; fi
probe=${TMPDIR:-/tmp}/lumo-i386-probe.$$
trap 'rm -f "$probe" "$probe.c"' EXIT
echo 'int main(void){return 0;}' > "$probe.c"
if gcc -m32 -static "$probe.c" -o "$probe" 2>/dev/null && "$probe" 2>/dev/null; then
  echo i686
else
  echo x86_64
fi
