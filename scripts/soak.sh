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
# shellcheck source=wine-env.sh
source "$LUMO_ROOT/scripts/wine-env.sh"

# The second gauge; scripts/sim-run.sh starts the first.
log=$(mktemp "${TMPDIR:-/tmp}/lumo-soak-sim.XXXXXX")
"$LUMO_ROOT/build/native/lumo-sim" --wine-com 10 --wineprefix "$WINEPREFIX" --control 0 --quiet \
  >"$log" 2>&1 </dev/null &
sim2=$!
trap 'kill $sim2 2>/dev/null; wait $sim2 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 200); do grep -q '^lumo-sim: ready' "$log" && break; sleep 0.05; done
grep -q '^lumo-sim: ready' "$log" || { echo "soak: the second lumo-sim did not start:" >&2; cat "$log" >&2; exit 1; }
LUMO_SIM2=$(sed -n 's/^lumo-sim: control //p' "$log")
export LUMO_SIM2 LUMO_SIM2_COM=10

cd "$LUMO_ROOT/build/test-$arch/dist"
status=0
LUMO_SIM_COM=9 "$LUMO_ROOT/scripts/sim-run.sh" lumo-soak.exe --minutes "$minutes" \
  --csv "Z:$out/soak.csv" || status=$?
if command -v gnuplot >/dev/null && [ -s "$out/soak.csv" ]; then
  gnuplot -e "csv='$out/soak.csv'; png='$out/soak.png'" "$LUMO_ROOT/scripts/soak-plot.gp" \
    && echo "soak: plot in $out/soak.png"
fi
exit "$status"
