#!/usr/bin/env bash
# Exchange timings over the virtual serial line: lumo-bench against lumo-sim.
# Arguments (optional): successful-count failing-count idle-seconds
set -euo pipefail
LUMO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
export LUMO_ROOT
arch=$("$LUMO_ROOT/scripts/test-arch.sh")
cd "$LUMO_ROOT/build/test-$arch/dist"
export LUMO_SIM_COM=6
# Channel 0 answers, every other channel (31 is used for failures) stays silent.
gauge=$(mktemp "${TMPDIR:-/tmp}/lumo-bench-gauge.XXXXXX")
trap 'rm -f "$gauge"' EXIT
printf '[gauge]\nundescribed = silent\n[channel 0]\nm4 = 250 5 0\n' > "$gauge"
export LUMO_SIM_ARGS="-d $gauge"
"$LUMO_ROOT/scripts/sim-run.sh" lumo-bench.exe 6 "$@"
