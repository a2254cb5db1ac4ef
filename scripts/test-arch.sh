#!/usr/bin/env bash
# Prints the architecture the executable tests run on: i686 when this machine
# can execute 32-bit x86 code and has 32-bit Wine, x86_64 otherwise.
# LUMO_TEST_ARCH overrides it. `--cpu` asks the processor alone (i686 when it
# runs 32-bit code), for the setup that decides whether to install 32-bit Wine.
set -eu
if [ -n "${LUMO_TEST_ARCH:-}" ]; then echo "$LUMO_TEST_ARCH"; exit 0; fi
probe=${TMPDIR:-/tmp}/lumo-i386-probe.$$
trap 'rm -f "$probe" "$probe.c"' EXIT
echo 'int main(void){return 0;}' > "$probe.c"
if ! { gcc -m32 -static "$probe.c" -o "$probe" 2>/dev/null && "$probe" 2>/dev/null; }; then
  echo x86_64
elif [ "${1:-}" = --cpu ] || [ -x /usr/lib/wine/wine ]; then
  echo i686
else
  # 32-bit Wine could not be installed here (scripts/setup.sh says why).
  echo x86_64
fi
