#!/usr/bin/env bash
# Runs the whole test suite against an already built test tree.
# Usage: run-tests.sh <Windows test build dir> <native build dir>
# LUMO_TEST_PARTS picks parts (default "abi native wine"): make test-i686 runs
# the first two on the host and the Windows tests in an emulated machine.
# LUMO_CTEST_EXCLUDE, a ctest -E pattern, leaves out whole Windows test programs.
set -euo pipefail
LUMO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
export LUMO_ROOT
build=$(cd "${1:?Windows test build dir}" && pwd)
native=$(cd "${2:?native build dir}" && pwd)
parts=" ${LUMO_TEST_PARTS:-abi native wine} "

if [[ $parts == *" abi "* ]]; then
  echo "== static checks of the 32-bit binary interface (build/dist/Lumo.dll)"
  python3 "$LUMO_ROOT/tests/abi/check_abi.py" "$LUMO_ROOT/build"
fi

if [[ $parts == *" native "* ]]; then
  echo "== native tests (protocol code, byte ring, tools)"
  ctest --test-dir "$native" --output-on-failure
fi

if [[ $parts == *" wine "* ]]; then
  # shellcheck source=wine-env.sh
  source "$LUMO_ROOT/scripts/wine-env.sh"
  trap '"$WINESERVER" -k >/dev/null 2>&1 || true' EXIT
  echo "== Windows tests under $LUMO_TEST_ARCH Wine ($WINEPREFIX)"
  ctest --test-dir "$build" --output-on-failure ${LUMO_CTEST_EXCLUDE:+-E "$LUMO_CTEST_EXCLUDE"}
fi
