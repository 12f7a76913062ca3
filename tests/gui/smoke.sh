#!/usr/bin/env bash
# GUI smoke test: the program's GTK window under a private Xvfb display.
#
# Usage: tests/gui/smoke.sh PATH-TO-kov02tool [SCREENSHOT]   (screenshot: build/gui-smoke.png)
#
# Starts the program with KOV02_UI=gtk, a private XDG_RUNTIME_DIR and an empty registry, waits
# for the window titled "KOV02Tool", saves a screenshot of the screen, presses Ctrl+Q and expects
# exit status 0. Then again, from the keyboard through the menus: F10 opens System, Up moves to
# its last item, Exit, and Return chooses it (status 0 too); the same with Alt+S opening System.
# A second copy started beside a running one says on stderr that it raised the running one and
# ends with status 255. Prints "gui-smoke: 5 passed, 0 failed" (or the reason).
set -u

program=${1:?usage: smoke.sh PATH-TO-kov02tool [SCREENSHOT]}
shot=${2:-build/gui-smoke.png}
work=$(mktemp -d)
xvfb_pid=
app_pid=

cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "gui-smoke: FAIL: $*" >&2
  for log in "$work/app.out" "$work/app.err"; do
    [ -s "$log" ] && sed 's/^/gui-smoke:   /' "$log" >&2
  done
  echo "gui-smoke: $passed passed, 1 failed"
  exit 1
}
passed=0

source "$(dirname "$0")/lib.sh"

[ -x "$program" ] || fail "no program at $program"
need_tools Xvfb xdotool import xdpyinfo
start_xvfb 99 140
mkdir -m 700 "$work/run"
printf 'Windows Registry Editor Version 5.00\n' >"$work/empty.reg"

# Presses the keys named (each a little after the one before, as menus open) and expects the
# program to end with status 0; $1 says what the keys should have done.
expect_exit_after() {
  local what=$1
  shift
  xdotool windowfocus --sync "$window" || fail "could not focus the window"
  for key in "$@"; do
    xdotool key "$key"
    sleep 0.3
  done
  wait_for 10 bash -c "! kill -0 $app_pid" || fail "the program did not end after $what"
  wait "$app_pid"
  local status=$?
  app_pid=
  [ "$status" -eq 0 ] || fail "the program ended with status $status after $what"
  passed=$((passed + 1))
}

start_program "$program" "$work/empty.reg"
mkdir -p "$(dirname "$shot")"
import -window root "$shot" || fail "could not save the screenshot to $shot"
expect_exit_after "ctrl+q" ctrl+q

start_program "$program" "$work/empty.reg"
expect_exit_after "F10 (System), Up (Exit), Return" F10 Up Return

start_program "$program" "$work/empty.reg"
expect_exit_after "Alt+S (System), Up (Exit), Return" alt+s Up Return

# A second copy raises the first, says so on stderr and ends with the status it always had.
start_program "$program" "$work/empty.reg"
KOV02_UI=gtk XDG_RUNTIME_DIR="$work/run" KOV02_REGISTRY="$work/empty.reg" "$program" 2>"$work/second.err"
status=$?
expected="kov02tool: another instance is running (pid $app_pid); raised its window"
grep -qxF "$expected" "$work/second.err" || fail "the second copy said: $(cat "$work/second.err")"
[ "$status" -eq 255 ] || fail "the second copy ended with status $status"
passed=$((passed + 1))
expect_exit_after "ctrl+q" ctrl+q

echo "gui-smoke: screenshot in $shot"
echo "gui-smoke: $passed passed, 0 failed"
