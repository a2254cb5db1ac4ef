#!/usr/bin/env bash
# Runs a Windows program against the simulated gauge: starts lumo-sim on a
# pseudo-terminal linked to COM$LUMO_SIM_COM (default 5) of the project's Wine
# prefix, preloads the modem-line shim into Wine, and tells the program the
# simulator's control port in LUMO_SIM (host:port).
#   sim-run.sh prog.exe [args]
# Extra lumo-sim options may be given in LUMO_SIM_ARGS. LUMO_SIM_ALSO_COM
# (numbers separated by spaces) links further COM ports to the same line;
# LUMO_SIM_MORE_COMS starts a further simulated gauge on each of those COM
# ports, each on a line of its own (same options), and tells the program their
# control ports in LUMO_SIM2, LUMO_SIM3, ... (COM numbers in LUMO_SIM2_COM, ...).
# With LUMO_SIM_NATIVE=1 the command runs as it is, not under Wine, and finds
# the modem-line shim to preload into the Wine it starts in LUMO_SIM_SHIM.
set -euo pipefail
LUMO_ROOT=${LUMO_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
export LUMO_ROOT
# shellcheck source=wine-env.sh
source "$LUMO_ROOT/scripts/wine-env.sh"
shim=$("$LUMO_ROOT/scripts/modem-shim.sh")
sim=${LUMO_SIM_BIN:-$LUMO_ROOT/build/native/lumo-sim}
[ -x "$sim" ] || { echo "sim-run: $sim not built (make native)" >&2; exit 1; }
export LUMO_SIM_COM=${LUMO_SIM_COM:-5}

links=()
for n in ${LUMO_SIM_ALSO_COM:-}; do links+=(--link "$WINEPREFIX/dosdevices/com$n"); done

# start_sim COM OUT [extra lumo-sim options]: one gauge on its own line.
pids=()
outs=()
start_sim() {
  local com=$1 out=$2
  shift 2
  # A session of its own: a console program's Ctrl-C, which Wine passes on
  # to its whole process group, must not end the gauge under it.
  # shellcheck disable=SC2086
  setsid "$sim" --wine-com "$com" --wineprefix "$WINEPREFIX" --control 0 --quiet "$@" \
    ${LUMO_SIM_ARGS:-} >"$out" 2>&1 </dev/null &
  pids+=($!)
  outs+=("$out")
}
# The program's exit status stands even when lumo-sim has already ended.
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done; rm -f "${outs[@]}"' EXIT

start_sim "$LUMO_SIM_COM" "$(mktemp "${TMPDIR:-/tmp}/lumo-sim.XXXXXX")" ${links[@]+"${links[@]}"}
# LUMO_SIM_MORE_COMS: further gauges, each on a line of its own.
for n in ${LUMO_SIM_MORE_COMS:-}; do start_sim "$n" "$(mktemp "${TMPDIR:-/tmp}/lumo-sim.XXXXXX")"; done
for out in "${outs[@]}"; do
  for _ in $(seq 200); do grep -q '^lumo-sim: ready' "$out" && break; sleep 0.05; done
  grep -q '^lumo-sim: ready' "$out" || { echo "sim-run: lumo-sim did not start:" >&2; cat "$out" >&2; exit 1; }
done
export LUMO_SIM=$(sed -n 's/^lumo-sim: control //p' "${outs[0]}")
# The further gauges' control ports: LUMO_SIM2, LUMO_SIM3, ... with their COM
# numbers in LUMO_SIM2_COM, ...
k=1
for n in ${LUMO_SIM_MORE_COMS:-}; do
  export "LUMO_SIM$((k + 1))=$(sed -n 's/^lumo-sim: control //p' "${outs[$k]}")"
  export "LUMO_SIM$((k + 1))_COM=$n"
  k=$((k + 1))
done
if [ "${LUMO_SIM_NATIVE:-}" = 1 ]; then
  export LUMO_SIM_SHIM=$shim WINE
  "$@"
else
  LD_PRELOAD=$shim${LD_PRELOAD:+:$LD_PRELOAD} "$WINE" "$@"
fi
