#!/usr/bin/env bash
# The main job: the demonstration host program reads the simulated gauge over a
# virtual serial line through Lumo.dll, under Wine.
# On a machine that can run 32-bit code this is the product build itself; on
# one that runs 64-bit code only, the same sources built for 64-bit Windows.
set -euo pipefail
LUMO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
export LUMO_ROOT
arch=$("$LUMO_ROOT/scripts/test-arch.sh")
if [ "$arch" = x86_64 ]; then
  echo "demo: this machine runs 64-bit code only; using the 64-bit build of the library" >&2
fi
dist=$LUMO_ROOT/build/test-$arch/dist
cd "$dist"
LUMO_SIM_COM=${LUMO_SIM_COM:-5} exec "$LUMO_ROOT/scripts/sim-run.sh" lumo-demo.exe "${LUMO_SIM_COM:-5}" "$@"
