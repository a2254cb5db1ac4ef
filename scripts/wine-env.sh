# Sourced: sets up Wine for the test architecture and makes sure its prefix
# exists and its server is running. Inputs: LUMO_ROOT (repository), optional
# LUMO_TEST_ARCH. Exports WINE (the loader to run programs with) and WINEPREFIX.
: "${LUMO_ROOT:?}"
LUMO_TEST_ARCH=${LUMO_TEST_ARCH:-$("$LUMO_ROOT/scripts/test-arch.sh")}
export LUMO_TEST_ARCH
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${LUMO_WINEPREFIX:-$LUMO_ROOT/build/wineprefix-$LUMO_TEST_ARCH}
if [ "$LUMO_TEST_ARCH" = i686 ]; then
  export WINEARCH=win32
  WINE=/usr/lib/wine/wine
  WINESERVER=/usr/lib/wine/wineserver32
else
  export WINEARCH=win64
  WINE=/usr/lib/wine/wine64
  WINESERVER=/usr/lib/wine/wineserver64
  # The wine wrapper would pick the 32-bit loader whenever it is installed.
  export WINELOADER=$WINE
fi
export WINE WINESERVER
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  "$WINE" wineboot -i >/dev/null 2>&1 </dev/null || true
fi
# One server for the whole run; its children must not hold our stdout open.
"$WINESERVER" -p >/dev/null 2>&1 </dev/null || true
