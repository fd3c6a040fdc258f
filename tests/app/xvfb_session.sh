#!/usr/bin/env bash
# Starts the real program in a real X server and uses it as a person would: answers the
# request to pick the driver with Enter, opens the preselected simulator with Enter, checks
# that the window opens centred, 531 x 263, and not resizable, keeps a screenshot, and presses
# OK with the mouse, which must end the program. A second run cancels the chooser and must see
# the program end without its window.
#   xvfb_session.sh PROGRAM ARTEFACT_DIR
set -euo pipefail
program=$1
artefacts=$2
mkdir -p "$artefacts"

if [ -z "${LOOPTEST_IN_XVFB:-}" ]; then
  command -v xvfb-run >/dev/null || { echo "xvfb-run is missing (package xvfb)"; exit 1; }
  command -v xdotool >/dev/null || { echo "xdotool is missing (package xdotool)"; exit 1; }
  export LOOPTEST_IN_XVFB=1
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96 -nolisten tcp -noreset" "$0" "$@"
fi

unset QT_QPA_PLATFORM
export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR=$(mktemp -d)
# The run's record goes to the user's data folder: a fresh one here.
export XDG_DATA_HOME=$(mktemp -d)
fail() { echo "FAIL: $*"; [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null; exit 1; }

# Waits for a window with this exact title and prints its id.
window() {
  local id
  for _ in $(seq 1 100); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1) || true
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
press() { xdotool windowfocus --sync "$1" && sleep 0.2 && xdotool key --clearmodifiers "$2"; }
ended() {
  for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}
geometry() { xwininfo -id "$1" | awk -F: "/$2/ {gsub(/ /, \"\", \$2); print \$2}"; }

# Run 1: start on the simulator, check the window, press OK. The simulator is the chooser's
# last entry: End picks it even on a machine where the real card could be opened.
"$program" & pid=$!
msg=$(window "System information") || fail "no 'System information' box"
import -window "$msg" "$artefacts/select-request.png" 2>/dev/null || true
press "$msg" Return
chooser=$(window "Select Device") || fail "no device chooser after the request"
press "$chooser" End
sleep 0.2
import -window "$chooser" "$artefacts/chooser.png" 2>/dev/null || true
xdotool key --clearmodifiers Return
main=$(window "ISA Relvo Demo Program") || fail "the window did not open on the simulator"
sleep 0.5

w=$(geometry "$main" "Width"); h=$(geometry "$main" "Height")
x=$(geometry "$main" "Absolute upper-left X"); y=$(geometry "$main" "Absolute upper-left Y")
[ "$w" = 531 ] && [ "$h" = 263 ] || fail "client area is ${w}x${h}, not 531x263"
sw=1280; sh=1024
dx=$(( 2 * x + w - sw )); dy=$(( 2 * y + h - sh ))
[ "${dx#-}" -le 1 ] && [ "${dy#-}" -le 1 ] || fail "not centred: at $x,$y"
hints=$(xprop -id "$main" WM_NORMAL_HINTS)
grep -q "program specified minimum size: 531 by 263" <<<"$hints" || fail "no fixed minimum: $hints"
grep -q "program specified maximum size: 531 by 263" <<<"$hints" || fail "no fixed maximum: $hints"
import -window "$main" "$artefacts/window.png" || fail "no screenshot"
shot=$(identify -format '%wx%h' "$artefacts/window.png")
[ "$shot" = 531x263 ] || fail "screenshot is $shot"

# OK sits at twips 4680,3360 (pixels 312,224), 81 x 33 pixels: click its middle.
xdotool mousemove --window "$main" 352 240 click 1
ended || fail "OK did not end the program"
wait "$pid" || fail "the program exited with status $?"
logs=("$XDG_DATA_HOME"/looptest/runs/*.csv)
[ -f "${logs[0]}" ] || fail "the run left no record in $XDG_DATA_HOME/looptest/runs"
grep -q ',start,' "${logs[0]}" && grep -q ',end,' "${logs[0]}" || fail "the record is incomplete"
echo "run 1: window ${w}x${h} at $x,$y, fixed size, OK ended the program, recorded in ${logs[0]##*/}"

# Run 2: cancel the chooser; the program says so and ends without its window.
"$program" & pid=$!
msg=$(window "System information") || fail "no 'System information' box"
press "$msg" Return
chooser=$(window "Select Device") || fail "no device chooser"
press "$chooser" Escape
msg=$(window "System information") || fail "no report after cancelling"
import -window "$msg" "$artefacts/cannot-open.png" 2>/dev/null || true
xdotool search --onlyvisible --name "^ISA Relvo Demo Program\$" >/dev/null 2>&1 \
  && fail "the window showed although no device opened"
press "$msg" Return
ended || fail "the program did not end after 'Can't open the device.'"
wait "$pid" || fail "the program exited with status $?"
echo "run 2: cancelling the chooser ended the program before its window showed"
echo "1 passed, 0 failed"
