# Shared by the GUI tests: waiting, a private Xvfb display, and the program started under it.
# A script that sources this sets $work (its scratch folder) and defines fail() first.

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

# Checks that the X tools named are installed.
need_tools() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
  done
}

# Starts Xvfb on a display number nobody uses between $1 and $2 and exports DISPLAY; its pid is
# left in $xvfb_pid.
start_xvfb() {
  local display=
  for n in $(seq "$1" "$2"); do
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
}

# Lays out the program folder $work/prog: a copy of program $1 beside a firmware package whose
# image is $2 random bytes; and $work/run, the program's private XDG_RUNTIME_DIR.
make_program_folder() {
  mkdir -p "$work/prog" "$work/run"
  chmod 700 "$work/run"
  cp "$1" "$work/prog/kov02tool"
  head -c 200 /dev/urandom >"$work/prog/boot1_v3.bin"
  head -c 2500 /dev/urandom >"$work/prog/boot2_v3_KOV02A.bin"
  head -c "$2" /dev/urandom >"$work/prog/flash_only.bin"
  printf '\x3f\xa0\x00' >"$work/prog/file_size.bin"
}

# Starts the simulator on a pty linked at $work/module, paced at 115200 bit/s, with any further
# simulator options given, and writes $work/kov02tool.reg mapping COM1: and RIL1: to it with the
# debug output in $work/debug.log; registry lines on stdin are added at its end.
start_module_and_registry() {
  "$sim" --link "$work/module" --control "$work/run/sim.sock" --baud 115200 "$@" >"$work/sim.out" 2>&1 &
  sim_pid=$!
  wait_for 20 grep -qx ready "$work/sim.out" || fail "the simulator did not start"
  local control="$sim ctl --control $work/run/sim.sock"
  {
    printf 'REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n"COM1:"="%s"\n"RIL1:"="exec:%s ril"\n' \
      "$work/module" "$control"
    printf '[HKEY_LOCAL_MACHINE\\Platform\\Debug]\n"Output"="file:%s"\n' "$work/debug.log"
    cat
  } >"$work/kov02tool.reg"
  chmod 600 "$work/kov02tool.reg"
}

# Starts program $1 with the GTK front-end and registry file $2 and waits for its window, whose
# id it leaves in $window (the program's pid in $app_pid).
start_program() {
  # Under AddressSanitizer, GTK's and fontconfig's caches that live as long as the process
  # would be reported as leaks at exit; these tests are about the window, so leak checking is
  # left to the unit tests.
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
    KOV02_UI=gtk XDG_RUNTIME_DIR="$work/run" KOV02_REGISTRY="$2" \
    "$1" >"$work/app.out" 2>"$work/app.err" </dev/null &
  app_pid=$!
  window=$(timeout 20 xdotool search --sync --onlyvisible --name '^KOV02Tool$' 2>/dev/null | head -n 1)
  [ -n "$window" ] || fail "no window titled KOV02Tool appeared"
  sleep 1
}

# Field $1 (X, Y, WIDTH or HEIGHT) of $window's geometry, in pixels.
window_geometry() { xdotool getwindowgeometry --shell "$window" | sed -n "s/^$1=//p"; }

# Chooses Tools > Update Firmware > Flash only in $window. Tools is the second menu-bar button at
# the bottom left; its menu is walked with the keyboard: Select Source, Debug Message, Update
# Firmware > EEP+Flash (grayed, skipped), Flash only.
choose_flash_only() {
  xdotool windowfocus --sync "$window"
  xdotool mousemove --window "$window" 70 $(($(window_geometry HEIGHT) - 12)) click 1
  sleep 0.5
  xdotool key Down Down Down Right Down Return
}
