#!/usr/bin/env bash
# Runs a command with an X display and the input agent of the GUI test rig.
#   gui-run.sh CMD [ARGS...]      e.g. gui-run.sh scripts/sim-run.sh prog.exe
# Without LUMO_GUI_DISPLAY it starts Xvfb (1280x1024x24) on a free display
# number; with it, it uses that display. It sets the project's Wine prefix to
# manage its windows itself (no window manager runs on Xvfb), exports DISPLAY and
# LUMO_XINPUT=127.0.0.1:<port> (tests/gui/xinput_agent.py, which runs xdotool
# for Windows programs), runs CMD, stops what it started, turns the BMP
# screenshots left in build/screenshots into PNG files and returns CMD's exit
# status.
set -euo pipefail
LUMO_ROOT=${LUMO_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
export LUMO_ROOT
[ $# -gt 0 ] || { echo "usage: gui-run.sh CMD [ARGS...]" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/lumo-gui.XXXXXX")
xvfb_pid=""
agent_pid=""
# shellcheck disable=SC2317  # called by the EXIT trap
cleanup() {
  local pid i
  if [ -n "$xvfb_pid" ]; then
    # Wine's desktop process leaves the display about a second after the last
    # window; killing the server before that makes it complain on stderr.
    for ((i = 0; i < 50; i++)); do
      xwininfo -root -children 2>/dev/null | grep -q ' 0 children' && break
      sleep 0.1
    done
  fi
  for pid in $agent_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
  # Screenshots are taken as BMP files (tools/common/ScreenCapture.h).
  for bmp in "$LUMO_ROOT"/build/screenshots/*.bmp; do
    [ -f "$bmp" ] && convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
  done
  return 0
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# Waits up to 20 s for file $1 to be non-empty; otherwise says that $3 did
# not start, shows its log $2, and ends the run.
wait_for_file() {
  local i
  for ((i = 0; i < 200; i++)); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  echo "gui-run: $3 did not start:" >&2
  cat "$2" >&2
  exit 1
}

if [ -n "${LUMO_GUI_DISPLAY:-}" ]; then
  export DISPLAY=$LUMO_GUI_DISPLAY
else
  # Xvfb picks a free display number and writes it to the -displayfd
  # descriptor once it accepts connections.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" \
    >"$work/xvfb.log" 2>&1 </dev/null &
  xvfb_pid=$!
  wait_for_file "$work/display" "$work/xvfb.log" Xvfb
  DISPLAY=:$(tr -d '[:space:]' <"$work/display")
  # Nested runs (a GUI test inside a whole test run) share this display.
  LUMO_GUI_DISPLAY=$DISPLAY
  export DISPLAY LUMO_GUI_DISPLAY
fi
xdotool getdisplaygeometry >/dev/null 2>&1 || { echo "gui-run: display $DISPLAY does not answer" >&2; exit 1; }

# Wine's default leaves window frames and keyboard focus to a window manager.
# Without one, Wine then draws no title bars, keys reach a window only while
# the pointer is over it, and hiding or destroying a top-level window waits
# 2 s for a withdrawal nobody reports. With Managed=N Wine draws the frames
# and gives X focus to the window it activates. The setting stays in the prefix.
# shellcheck source=wine-env.sh
source "$LUMO_ROOT/scripts/wine-env.sh"
if ! grep -qs '^"Managed"="N"' "$WINEPREFIX/user.reg"; then
  "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null || true
fi

# Wine's desktop process keeps the display it was started with; one started
# without a display (wineboot, a console test) would refuse every window on
# this one. A run that brings its own display ends it, and waits until it is
# gone, so that the first window starts it again on $DISPLAY. Nested runs
# share the outer run's display and leave it alone.
desktops() {
  local pid
  for pid in $(pgrep -f 'explorer.exe /desktop' 2>/dev/null); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
}
if [ -n "$xvfb_pid" ] && [ -n "$(desktops)" ]; then
  "$WINE" taskkill /f /im explorer.exe >/dev/null 2>&1 </dev/null || true
  for ((i = 0; i < 100; i++)); do [ -z "$(desktops)" ] && break; sleep 0.05; done
fi

python3 "$LUMO_ROOT/tests/gui/xinput_agent.py" --port-file "$work/agent-port" \
  >"$work/agent.log" 2>&1 </dev/null &
agent_pid=$!
wait_for_file "$work/agent-port" "$work/agent.log" "the input agent"
LUMO_XINPUT=127.0.0.1:$(tr -d '[:space:]' <"$work/agent-port")
export LUMO_XINPUT

status=0
"$@" || status=$?
exit "$status"
