#!/usr/bin/env bash
# The soak run: lumo-soak against two simulated gauges on COM9 and COM10 of
# the test prefix, then a plot of its samples.
#   soak.sh [MINUTES]      (default $SOAK_MINUTES, else 60)
# Leaves soak.csv and soak.png (when gnuplot is there) in $SOAK_OUT, by default
# build/soak. LUMO_WINEPREFIX gives a long run a prefix of its own, so that
# test runs, which stop their prefix's server at the end, leave it alone.
set -euo pipefail
LUMO_ROOT=${LUMO_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
export LUMO_ROOT
minutes=${1:-${SOAK_MINUTES:-60}}
arch=$("$LUMO_ROOT/scripts/test-arch.sh")
out=${SOAK_OUT:-$LUMO_ROOT/build/soak}
mkdir -p "$out"
cd "$LUMO_ROOT/build/test-$arch/dist"
status=0
LUMO_SIM_COM=9 LUMO_SIM_MORE_COMS=10 "$LUMO_ROOT/scripts/sim-run.sh" lumo-soak.exe --minutes "$minutes" \
  --csv "Z:$out/soak.csv" || status=$?
if command -v gnuplot >/dev/null && [ -s "$out/soak.csv" ]; then
  gnuplot -e "csv='$out/soak.csv'; png='$out/soak.png'" "$LUMO_ROOT/scripts/soak-plot.gp" \
    && echo "soak: plot in $out/soak.png"
fi
exit "$status"
