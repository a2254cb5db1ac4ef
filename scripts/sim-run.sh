#!/usr/bin/env bash
# Runs a Windows program against the simulated gauge: starts lumo-sim on a
# pseudo-terminal linked to COM$LUMO_SIM_COM (default 5) of the project's Wine
# prefix, preloads the modem-line shim into Wine, and tells the program the
# simulator's control port in LUMO_SIM (host:port).
#   sim-run.sh prog.exe [args]
# Extra lumo-sim options may be given in LUMO_SIM_ARGS. LUMO_SIM_ALSO_COM
# (numbers separated by spaces) links further COM ports to the same line.
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

out=$(mktemp "${TMPDIR:-/tmp}/lumo-sim.XXXXXX")
# shellcheck disable=SC2086
"$sim" --wine-com "$LUMO_SIM_COM" --wineprefix "$WINEPREFIX" --control 0 --quiet \
  ${links[@]+"${links[@]}"} ${LUMO_SIM_ARGS:-} >"$out" 2>&1 </dev/null &
sim_pid=$!
# The program's exit status stands even when lumo-sim has already ended.
trap 'kill $sim_pid 2>/dev/null || true; wait $sim_pid 2>/dev/null || true; rm -f "$out"' EXIT
for _ in $(seq 200); do grep -q '^lumo-sim: ready' "$out" && break; sleep 0.05; done
grep -q '^lumo-sim: ready' "$out" || { echo "sim-run: lumo-sim did not start:" >&2; cat "$out" >&2; exit 1; }
export LUMO_SIM=$(sed -n 's/^lumo-sim: control //p' "$out")
LD_PRELOAD=$shim${LD_PRELOAD:+:$LD_PRELOAD} "$WINE" "$@"
