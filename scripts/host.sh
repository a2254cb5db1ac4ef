#!/usr/bin/env bash
# make host: the reference host (lumo-host.exe) against the simulated gauge
# under Wine, with a second gauge that has no transport.
# With DISPLAY set it opens on that display and runs until closed. Without
# one it runs on Xvfb (scripts/gui-run.sh), polls for a few seconds, saves
# build/screenshots/host.png and exits.
#   host.sh [GAUGE...]        (default: com:$LUMO_SIM_COM unit:1)
set -euo pipefail
LUMO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
export LUMO_ROOT
arch=$("$LUMO_ROOT/scripts/test-arch.sh")
dist=$LUMO_ROOT/build/test-$arch/dist
[ -f "$dist/lumo-host.exe" ] || { echo "host: $dist/lumo-host.exe not built (make test-build)" >&2; exit 1; }
export LUMO_SIM_COM=${LUMO_SIM_COM:-5}
gauges=("$@")
[ ${#gauges[@]} -gt 0 ] || gauges=("com:$LUMO_SIM_COM" unit:1)
cd "$dist"

if [ -n "${DISPLAY:-}" ]; then
  exec "$LUMO_ROOT/scripts/sim-run.sh" lumo-host.exe --poll-ms 1000 "${gauges[@]}"
fi

shots=$LUMO_ROOT/build/screenshots
mkdir -p "$shots"
rm -f "$shots/host.bmp" "$shots/host.png"
# A path relative to dist/: Wine maps it without any drive-letter guessing.
# gui-run.sh turns the BMP into host.png when it ends.
"$LUMO_ROOT/scripts/gui-run.sh" "$LUMO_ROOT/scripts/sim-run.sh" lumo-host.exe --poll-ms 500 \
  --screenshot-after-ms "${LUMO_HOST_SHOT_MS:-4000}" --screenshot-file ../../screenshots/host.bmp "${gauges[@]}"
[ -f "$shots/host.png" ] || { echo "host: no screenshot" >&2; exit 1; }
echo "host: screenshot in $shots/host.png"
