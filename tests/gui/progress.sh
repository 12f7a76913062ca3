#!/usr/bin/env bash
# GUI test of a firmware update under a private Xvfb display: the progress bar appears under the
# log pane while the image goes out, and is gone once the run has ended.
#
# Usage: tests/gui/progress.sh PATH-TO-kov02tool PATH-TO-kov02a-sim [SCREENSHOT]
#
# Lays out a program folder with a small package, starts the simulator on a pty paced at
# 115200 bit/s, chooses Tools > Update Firmware > Flash only with the mouse and the keyboard,
# saves a screenshot while the image is sent, and compares the strip above the menu bar with the
# same strip before the run and after it; the window's width stays the same throughout. Prints "gui-progress: 1 passed, 0 failed" or the reason.
set -u

program=${1:?usage: progress.sh PATH-TO-kov02tool PATH-TO-kov02a-sim [SCREENSHOT]}
sim=${2:?usage: progress.sh PATH-TO-kov02tool PATH-TO-kov02a-sim [SCREENSHOT]}
shot=${3:-build/gui-progress.png}
work=$(mktemp -d)
xvfb_pid=
app_pid=
sim_pid=

cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "gui-progress: FAIL: $*" >&2
  for log in "$work/app.err" "$work/debug.log" "$work/sim.out"; do
    [ -s "$log" ] && tail -n 20 "$log" | sed 's/^/gui-progress:   /' >&2
  done
  echo "gui-progress: 0 passed, 1 failed"
  exit 1
}

source "$(dirname "$0")/lib.sh"

need_tools Xvfb xdotool import compare xdpyinfo
start_xvfb 141 180

# The program folder: the tool beside its package (an image of about five seconds at 115200).
make_program_folder "$program" 60000

start_module_and_registry </dev/null

start_program "$work/prog/kov02tool" "$work/kov02tool.reg"
eval "$(xdotool getwindowgeometry --shell "$window")"
# The strip just above the menu bar, where the progress bar shows.
strip() { convert "$1" -crop "${WIDTH}x40+${X}+$((Y + HEIGHT - 80))" +repage "$2"; }
import -window root "$work/before.png" || fail "no screenshot"
strip "$work/before.png" "$work/strip-before.png"

choose_flash_only
wait_for 30 grep -q "Download.bin open succeed" "$work/debug.log" || fail "the update did not reach the image"
sleep 2
import -window root "$shot" || fail "could not save the screenshot to $shot"
strip "$shot" "$work/strip-during.png"
same_width() { [ "$(window_geometry WIDTH)" = "$WIDTH" ]; }
same_width || fail "the window's width changed while the image went out"

wait_for 60 grep -q "Send firmware....ok" "$work/debug.log" || fail "the image was not accepted"
box=$(timeout 20 xdotool search --sync --onlyvisible --name '^Successful$' 2>/dev/null | head -n 1)
[ -n "$box" ] || fail "no success box appeared"
xdotool windowfocus --sync "$box"
xdotool key Escape  # closing the box answers No
wait_for 20 bash -c "[ \$(grep -c ' Communication Port Closed!!' '$work/debug.log') -eq 2 ]" ||
  fail "the run did not end"
sleep 1
import -window root "$work/after.png"
strip "$work/after.png" "$work/strip-after.png"

differ() { [ "$(compare -metric AE "$1" "$2" null: 2>&1)" != "0" ]; }
differ "$work/strip-before.png" "$work/strip-during.png" || fail "nothing appeared above the menu bar during the run"
differ "$work/strip-before.png" "$work/strip-after.png" && fail "the progress bar stayed after the run"
same_width || fail "the window's width changed over the run"

echo "gui-progress: screenshot in $shot"
echo "gui-progress: 1 passed, 0 failed"
