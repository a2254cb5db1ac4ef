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
# A persistent server first, so that the prefix's services started below stay
# up for the whole run. Otherwise the first test program starts them, and they
# inherit its output: a pipe reader such as ctest then waits for them forever.
mkdir -p "$WINEPREFIX"
"$WINESERVER" -p >/dev/null 2>&1 </dev/null || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$WINE" wineboot -i >/dev/null 2>&1 </dev/null || true
fi
# Wine's own fonts (Tahoma, MS Sans Serif with Cyrillic) are loaded only from
# the prefix's Fonts folder; wineboot leaves it empty here.
fonts=$WINEPREFIX/drive_c/windows/Fonts
if [ -f /usr/share/wine/fonts/tahoma.ttf ] && [ ! -f "$fonts/tahoma.ttf" ]; then
  mkdir -p "$fonts" && cp /usr/share/wine/fonts/* "$fonts/"
fi
# No debugger on a crash: winedbg can hang there and hold the test runner's
# output pipe. Wine still says on stderr what crashed, and where; a "debugger"
# that ends at once lets the crashed program end with its error status.
if [ ! -f "$WINEPREFIX/.lumo-no-debugger" ]; then
  "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger \
    /d 'cmd /c exit' /f >/dev/null 2>&1 </dev/null || true
  touch "$WINEPREFIX/.lumo-no-debugger"
fi
"$WINE" cmd /c exit >/dev/null 2>&1 </dev/null || true
