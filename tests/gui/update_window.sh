#!/usr/bin/env bash
# GUI test of the window through a firmware update that fails part way, under a private Xvfb
# display, the window read as a screen reader reads it (AT-SPI, on a private session bus): while
# the image goes out the progress line reads in kB/MB; once the module has gone silent the pane's
# failure line wraps inside the pane, the line says "Stopped at ... of ..." beside a greyed bar and
# stays so; the window's width never changes; the next run starts the bar afresh.
#
# Usage: tests/gui/update_window.sh PATH-TO-kov02tool PATH-TO-kov02a-sim [SCREENSHOT-FOLDER]
# With a folder, the window is saved there during the run (update-progress.png) and after the
# failure (update-stopped.png). IMAGE_BYTES and SILENT_AFTER (image chunks the module answers)
# change the run: IMAGE_BYTES=4169728 SILENT_AFTER=40 gives the documentation's pictures.
# Prints "gui-update: N passed, 0 failed" or the reason.
set -u

program=${1:?usage: update_window.sh PATH-TO-kov02tool PATH-TO-kov02a-sim [SCREENSHOT-FOLDER]}
sim=${2:?usage: update_window.sh PATH-TO-kov02tool PATH-TO-kov02a-sim [SCREENSHOT-FOLDER]}
shots=${3:-}
image_bytes=${IMAGE_BYTES:-60000}
silent_after=${SILENT_AFTER:-8}
here=$(cd "$(dirname "$0")" && pwd)
# AT-SPI needs a session bus: the test makes its own.
[ -n "${KOV02_GUI_BUS:-}" ] || exec env KOV02_GUI_BUS=1 dbus-run-session -- bash "$0" "$@"

work=$(mktemp -d)
xvfb_pid=
app_pid=
sim_pid=
sampler_pid=
passed=0

cleanup() {
  for pid in $sampler_pid $app_pid $sim_pid $xvfb_pid; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "gui-update: FAIL: $*" >&2
  for log in "$work/app.err" "$work/debug.log" "$work/sim.out" "$work/labels"; do
    [ -s "$log" ] && tail -n 20 "$log" | sed 's/^/gui-update:   /' >&2
  done
  echo "gui-update: $passed passed, 1 failed"
  exit 1
}

ok() {
  passed=$((passed + 1))
  echo "gui-update: ok: $*"
}

source "$here/lib.sh"

need_tools Xvfb xdotool import xdpyinfo /usr/bin/python3
start_xvfb 181 220

window_text() { /usr/bin/python3 "$here/window_text.py" "$app_pid" "$@"; }
# Succeeds when a label shown matches the extended regular expression $1.
label_matches() { window_text labels >"$work/labels" && grep -qE "$1" "$work/labels"; }

make_program_folder "$program" "$image_bytes"

start_module_and_registry --silent-after "$silent_after" <<REG
[HKEY_LOCAL_MACHINE\\Platform\\Update]
"ChunkTimeout"=dword:000007d0
REG

start_program "$work/prog/kov02tool" "$work/kov02tool.reg"
first_width=$(window_geometry WIDTH)
# The window's width, four times a second, for the whole run.
(while sleep 0.25; do window_geometry WIDTH; done) >"$work/widths" 2>/dev/null &
sampler_pid=$!

choose_flash_only
wait_for 30 grep -q "Download.bin open succeed" "$work/debug.log" || fail "the update did not reach the image"
total=$(echo "$image_bytes" | awk '{ printf($1 < 999950 ? "%.1f kB" : "%.2f MB", $1 < 999950 ? $1 / 1000 : $1 / 1e6) }')
wait_for 10 label_matches "^Firmware: [0-9.]+ (B|kB|MB) of $total \\([0-9]+ %\\)" ||
  fail "no progress line in readable units while the image went out"
ok "the progress line reads $(grep -m1 '^Firmware' "$work/labels")"
# The picture waits for the time left, which shows once the image has gone out for 3 s.
[ -z "$shots" ] || { sleep 5; import -window root "$shots/update-progress.png"; }

box=$(timeout 90 xdotool search --sync --onlyvisible --name '^Update failed$' 2>/dev/null | head -n 1)
[ -n "$box" ] || fail "no failure box appeared"
xdotool windowfocus --sync "$box"
xdotool key Return
wait_for 10 label_matches "^Stopped at [0-9.]+ (B|kB|MB) of $total\$" || fail "no stopped line after the failure"
ok "after the failure the line reads $(grep -m1 '^Stopped' "$work/labels")"
[ "$(window_text sensitive 'progress bar')" = no ] || fail "the stopped bar is not greyed"
ok "the stopped bar is greyed"
window_text wrapped "Firmware update failed: no answer to the image" >"$work/wrap" ||
  fail "the failure line is cut, not wrapped: $(cat "$work/wrap")"
ok "the pane's failure line wraps inside the pane"
[ -z "$shots" ] || import -window root "$shots/update-stopped.png"
sleep 2
label_matches "^Stopped at " || fail "the stopped line went away by itself"
ok "the stopped line stays"

kill "$sampler_pid"
sampler_pid=
widths=$(sort -u "$work/widths" | tr '\n' ' ')
[ "$widths" = "$first_width " ] || fail "the window's width changed during the run: $first_width, then $widths"
ok "the window stayed $first_width px wide"

choose_flash_only
wait_for 30 bash -c "[ \$(grep -c 'Download.bin open succeed' '$work/debug.log') -ge 2 ]" ||
  fail "the next update did not reach the image"
label_matches "^Stopped at " && fail "the stopped line outlived the next run's start"
[ "$(window_text sensitive 'progress bar')" = yes ] || fail "the next run's bar is still greyed"
ok "the next run starts the bar afresh"

echo "gui-update: $passed passed, 0 failed"
