#!/usr/bin/env bash
# The demo: KOV02Tool against the module simulator, no hardware needed.
#
# Installs what is missing (as root, on Debian), builds the release preset, lays out a program
# folder demo/ (the tool beside a generated firmware package), starts the simulator on
# pseudo-terminals and runs the tool against it: GTK when a display can be opened, the console
# otherwise (or with --console). The first build takes minutes on a small machine: the script
# says how long to expect and shows its progress. When the tool exits the simulator is stopped
# and its summary printed.
#
# Usage: scripts/demo.sh [--console]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
demo=$root/demo
ui=gtk
[[ ${1:-} == --console || ( -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ) ]] && ui=console

say() { printf 'demo: %s\n' "$*"; }

# A DISPLAY that is set but cannot be opened (an SSH session without X forwarding, a stale
# variable) means the console, said once, rather than a tool that fails to show its window.
check_display() {
  [[ $ui == gtk && -n ${DISPLAY:-} ]] || return 0
  local probe
  probe=$(command -v xdpyinfo || command -v xdotool) || return 0
  [[ $probe == *xdotool ]] && probe="$probe getdisplaygeometry" || probe="$probe -display $DISPLAY"
  if ! timeout 5 $probe >/dev/null 2>&1; then
    say "the display $DISPLAY cannot be opened: starting the console front-end instead"
    ui=console
  fi
}

install_deps() {
  if [[ $(id -u) -eq 0 ]]; then
    bash "$root/scripts/deps.sh"
  else
    say "not root: assuming the build dependencies are installed (scripts/deps.sh installs them)"
  fi
}

# Seconds of one core a file takes to compile, roughly (RelWithDebInfo, GCC 12, measured at 2.6
# on average, with a margin for linking): the basis of the estimate.
readonly SECONDS_PER_FILE=4

# Object files of `targets` not compiled yet: the first run's work. (A dry run of ninja cannot
# say, as it stops where CMake would check its globs.)
uncompiled() {
  local object count=0
  while read -r object; do
    [[ -e build/release/$object ]] || count=$((count + 1))
  done < <(ninja -C build/release -t commands "$@" | grep -o ' -o [^ ]*\.o' | cut -c 5-)
  echo "$count"
}

# Builds the two programs. Says how many files are left to compile and about how long that
# takes on this machine's cores, then shows the build's progress on one line (on a terminal)
# or a line every tenth of the way (in a log).
build() {
  cd "$root"
  cmake --preset release >/dev/null
  local targets=(kov02tool kov02a-sim) cores left
  cores=$(nproc)
  left=$(uncompiled "${targets[@]}")
  if ((left == 0)); then
    say "building (release preset): only what changed since the last run"
  else
    local estimate=$(((left * SECONDS_PER_FILE + cores - 1) / cores))
    say "building (release preset): $left files to compile on $cores cores, about $((estimate / 60 + 1)) min"
  fi
  local started=$SECONDS
  cmake --build --preset release --target "${targets[@]}" -j "$cores" 2>&1 | show_progress
  say "built in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
}

# Ninja's "[done/total] Building|Linking ..." lines as one progress line; its other steps, its
# "no work to do" and CMake's own "-- " lines are dropped; anything else (a compiler's error)
# is passed through.
show_progress() {
  local line done total shown=-1
  while IFS= read -r line; do
    if [[ $line =~ ^\[([0-9]+)/([0-9]+)\]\ (Building|Linking) ]]; then
      done=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]}
      if [[ -t 1 ]]; then
        printf '\rdemo: building: %d of %d steps (%d%%) ' "$done" "$total" $((done * 100 / total))
      elif ((done * 10 / total != shown)); then
        shown=$((done * 10 / total))
        say "building: $done of $total steps"
      fi
    elif [[ ! $line =~ ^(\[[0-9]+/[0-9]+\]|-- |ninja:\ no\ work) ]]; then
      [[ -t 1 ]] && printf '\n'
      printf '%s\n' "$line"
    fi
  done
  [[ -t 1 ]] && printf '\n'
  return 0
}

# A firmware package of random bytes; file_size.bin holds eep_flash.bin's size as the 3-byte
# record the EEP+Flash mode sends.
lay_out() {
  local eep_size=524288
  rm -rf "$demo"
  mkdir -p "$demo/dev" "$demo/run"
  chmod 700 "$demo/run"
  cp "$root/build/release/kov02tool" "$demo/kov02tool"
  head -c 200 /dev/urandom >"$demo/boot1_v3.bin"
  head -c 9500 /dev/urandom >"$demo/boot2_v3_KOV02A.bin"
  head -c 4169728 /dev/urandom >"$demo/flash_only.bin"
  head -c "$eep_size" /dev/urandom >"$demo/eep_flash.bin"
  printf "\\x$(printf %02x $((eep_size >> 16 & 255)))\\x$(printf %02x $((eep_size >> 8 & 255)))\\x$(printf %02x $((eep_size & 255)))" \
    >"$demo/file_size.bin"
}

sim=$root/build/release/tools/kov02a-sim/kov02a-sim
sim_pid=

start_sim() {
  "$sim" --link "$demo/dev/module" --null-modem "$demo/dev/bt-tool" "$demo/dev/bt-user" \
    --control "$demo/run/sim.sock" --save-image "$demo/received.bin" \
    --summary-file "$demo/sim-summary.json" >"$demo/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -qx ready "$demo/sim.log" 2>/dev/null && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$demo/sim.log" >&2
  say "the simulator did not start"
  exit 1
}

stop_sim() {
  [[ -n $sim_pid ]] || return 0
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
  echo
  say "the simulator's summary:"
  awk '/^kov02a-sim summary:/ { text = "" } { text = text $0 "\n" } END { printf "%s", text }' "$demo/sim.log"
  if [[ -f $demo/received.bin ]]; then
    cmp -s "$demo/received.bin" "$demo/flash_only.bin" && say "the module holds flash_only.bin, byte for byte"
    cmp -s "$demo/received.bin" "$demo/eep_flash.bin" && say "the module holds eep_flash.bin, byte for byte"
  fi
  return 0
}

# The registry: COM1: is the module's pty (the update port, and FFUART for the bridge through
# Serial Index 1); BTUART (Serial2 Index 2, COM2:) and IrDA (COM3:) are the tool's end of the
# null-modem pair; RIL1: and the reboot service reach the simulator's control socket.
write_registry() {
  local control="$sim ctl --control $demo/run/sim.sock"
  cat >"$demo/kov02tool.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]
"Index"=dword:00000001

[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial2]
"Index"=dword:00000002

[HKEY_LOCAL_MACHINE\\Platform\\Devices]
"COM1:"="$demo/dev/module"
"COM2:"="$demo/dev/bt-tool"
"COM3:"="$demo/dev/bt-tool"
"RIL1:"="exec:$control ril"

[HKEY_LOCAL_MACHINE\\Platform\\Kernel]
"Reboot"="exec:$control reboot"

[HKEY_LOCAL_MACHINE\\Platform\\Debug]
"Output"="file:$demo/kov02tool.log"
REG
  chmod 600 "$demo/kov02tool.reg"
}

explain() {
  cat <<TEXT

demo: the tool runs from $demo with the simulated module on $demo/dev/module.
demo: trace lines go to $demo/kov02tool.log (tail -f it to watch the protocol).
demo: for the bridge, choose Get COMs and connect a terminal to the other end:
demo:     picocom -b 115200 $demo/dev/bt-user     (type AT and Enter; the module answers OK)
TEXT
  if [[ $ui == console ]]; then
    cat <<TEXT
demo: console front-end: type a command and Enter, for example
demo:     menu Tools/Update Firmware/Flash only      then, at the box:  answer yes  (or no)
demo:     menu System/Get COMs    show menu    show pane    help    key ctrl+q (exit)
TEXT
  else
    say "GTK front-end: Tools > Update Firmware > Flash only, then answer the box; System > Exit ends."
    say "F10 opens the menu bar from the keyboard; the arrow keys move through it."
  fi
  echo
}

install_deps
check_display
build
lay_out
trap stop_sim EXIT
trap "exit 130" INT TERM
start_sim
write_registry
explain
status=0
(cd "$demo" && KOV02_UI=$ui KOV02_REGISTRY=$demo/kov02tool.reg "$demo/kov02tool") || status=$?
say "the tool exited with status $status"
exit "$status"
