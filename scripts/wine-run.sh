#!/usr/bin/env bash
# Runs a Windows program under the project's Wine prefix: wine-run.sh prog.exe [args]
set -euo pipefail
LUMO_ROOT=${LUMO_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
# shellcheck source=wine-env.sh
source "$LUMO_ROOT/scripts/wine-env.sh"
exec "$WINE" "$@"
