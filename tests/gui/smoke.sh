#!/usr/bin/env bash
# GUI smoke test: the program's GTK window under a private Xvfb display.
#
# Usage: tests/gui/smoke.sh PATH-TO-kov02tool [SCREENSHOT]   (screenshot: build/gui-smoke.png)
#
# Starts the program with KOV02_UI=gtk, a private XDG_RUNTIME_DIR and an empty registry, waits
# for the window titled "KOV02Tool", saves a screenshot of the screen, presses Ctrl+Q and expects
# exit status 0. Then again, from the keyboard through the menus: F10 opens System, Up moves to
# its last item, Exit, and Return chooses it (status 0 too). Prints "gui-smoke: 2 passed,
# 0 failed" (or "0 passed, 1 failed" and the reason).
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

# Waits up to $1 seconds for command "${@:2}" to succeed.
wait_for() {
  local limit=$1
  shift
  for _ in $(seq $((limit * 10))); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

[ -x "$program" ] || fail "no program at $program"
for tool in Xvfb xdotool import xdpyinfo; do
  command -v "$tool" >/dev/null || fail "$tool is not installed"
done

# A display number nobody uses.
display=
for n in $(seq 99 140); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
    display=":$n"
    break
  fi
done
[ -n "$display" ] || fail "no free X display number"

Xvfb "$display" -screen 0 640x480x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
wait_for 10 xdpyinfo || fail "Xvfb did not start on $display"

mkdir -m 700 "$work/run"
printf 'Windows Registry Editor Version 5.00\n' >"$work/empty.reg"

# Starts the program and waits for its window, whose id it leaves in $window.
start_program() {
  # Under AddressSanitizer, GTK's and fontconfig's caches that live as long as the process
  # would be reported as leaks at exit; this test is about the window, so leak checking is left
  # to the unit tests.
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
    KOV02_UI=gtk XDG_RUNTIME_DIR="$work/run" KOV02_REGISTRY="$work/empty.reg" \
    "$program" >"$work/app.out" 2>"$work/app.err" </dev/null &
  app_pid=$!
  window=$(timeout 20 xdotool search --sync --onlyvisible --name '^KOV02Tool$' 2>/dev/null | head -n 1)
  [ -n "$window" ] || fail "no window titled KOV02Tool appeared"
  sleep 1
}

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

start_program
mkdir -p "$(dirname "$shot")"
import -window root "$shot" || fail "could not save the screenshot to $shot"
expect_exit_after "ctrl+q" ctrl+q

start_program
expect_exit_after "F10 (System), Up (Exit), Return" F10 Up Return

echo "gui-smoke: screenshot in $shot"
echo "gui-smoke: $passed passed, 0 failed"
