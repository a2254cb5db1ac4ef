#!/usr/bin/env bash
# make bench: lumo-bench against the simulated gauge, the library beside its
# reference program, then the histogram of exchange times. Writes
# build/bench/bench.md (the table), exchanges.csv, ports.csv and
# exchange-times.png. Extra arguments go to lumo-bench (see its --help).
set -euo pipefail
LUMO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
export LUMO_ROOT
arch=$("$LUMO_ROOT/scripts/test-arch.sh")
out="$LUMO_ROOT/build/bench"
mkdir -p "$out"
cd "$LUMO_ROOT/build/test-$arch/dist"
# Every channel answers (channel 0's level is 250.5); lumo-bench silences
# channel 31 of the COM6 gauge for its failing exchanges. COM6 carries the
# single-port figures; eight more gauges, each on a line of its own, the
# eight-port runs and the whole-gauge reads.
gauge=$(mktemp "${TMPDIR:-/tmp}/lumo-bench-gauge.XXXXXX")
trap 'rm -f "$gauge"' EXIT
printf '[gauge]\nundescribed = answer\n[channel 0]\nm4 = 250 5 0\n' > "$gauge"
ports="21 22 23 24 25 26 27 28"
LUMO_SIM_COM=6 LUMO_SIM_MORE_COMS=$ports LUMO_SIM_ARGS="-d $gauge" \
  "$LUMO_ROOT/scripts/sim-run.sh" lumo-bench.exe --com 6 --ports ${ports// /,} --out "Z:$out" "$@"
gnuplot -e "csv='$out/exchanges.csv'; png='$out/exchange-times.png'" "$LUMO_ROOT/scripts/bench-plot.gp"
echo "bench: table in $out/bench.md, histogram in $out/exchange-times.png"
