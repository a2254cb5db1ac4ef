#!/usr/bin/env bash
# Runs a Windows program on the virtual serial line: starts the pty peer
# (tests/vserial/vserial_peer.py), preloads the modem-line shim into Wine and
# tells the program the peer's control port in LUMO_VSERIAL (host:port).
#   vserial-run.sh prog.exe [args]
set -euo pipefail
LUMO_ROOT=${LUMO_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
export LUMO_ROOT
# shellcheck source=wine-env.sh
source "$LUMO_ROOT/scripts/wine-env.sh"

shim=$("$LUMO_ROOT/scripts/modem-shim.sh")

portfile=$(mktemp "${TMPDIR:-/tmp}/vserial.XXXXXX")
rm -f "$portfile"
python3 "$LUMO_ROOT/tests/vserial/vserial_peer.py" --prefix "$WINEPREFIX" \
  --port-file "$portfile" >/dev/null </dev/null &
peer=$!
trap 'kill $peer 2>/dev/null; wait $peer 2>/dev/null; rm -f "$portfile"' EXIT
for _ in $(seq 100); do [ -s "$portfile" ] && break; sleep 0.05; done
[ -s "$portfile" ] || { echo "vserial: peer did not start" >&2; exit 1; }
export LUMO_VSERIAL=127.0.0.1:$(cat "$portfile")
LD_PRELOAD=$shim${LD_PRELOAD:+:$LD_PRELOAD} "$WINE" "$@"
