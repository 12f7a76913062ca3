#!/usr/bin/env bash
# The console's stdin is read only as fast as its lines are handled: 50 MB of lines piped in at
# once keep the program's peak memory small, and every line is still handled, in order. The
# first line runs a reboot hook that holds the user-interface thread, so the lines pile up
# whatever the machine's speed; it lets go once the program has stopped reading (or has read
# everything).
# Usage: bounded_input.sh KOV02TOOL
set -euo pipefail
tool=$1
readonly lines=500000 every=1000 limit_kb=$((64 * 1024))

dir=$(mktemp -d)
pid=
cleanup() {
  [[ -n "$pid" ]] && kill "$pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
mkdir -m 0700 "$dir/run"
# Absolute names: a hook starts from the file that was checked, so its $0 is /dev/fd/3.
printf '#!/bin/sh\ntouch "%s.held"\nwhile [ ! -e "%s.go" ]; do sleep 0.1; done\n' "$dir/hold" "$dir/hold" >"$dir/hold"
chmod 0755 "$dir/hold"
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Kernel]\n"Reboot"="exec:%s/hold"\n' "$dir" >"$dir/kov02tool.reg"

# 100-byte blank lines (ignored), every 1000th an unknown command that earns one error line.
awk -v n="$lines" -v every="$every" 'BEGIN {
  print "menu System/Reboot Device"
  pad = sprintf("%99s", "")
  for (i = 1; i <= n; i++) print (i % every ? pad : "bogus" i)
}' >"$dir/input"
mkfifo "$dir/stdin"
KOV02_UI=console XDG_RUNTIME_DIR="$dir/run" KOV02_REGISTRY="$dir/kov02tool.reg" "$tool" <"$dir/stdin" >"$dir/out" 2>"$dir/err" &
pid=$!
exec 3>"$dir/stdin"
start=$SECONDS
cat "$dir/input" >&3 &  # ends once the program has read all but what the pipe holds
writer=$!

# Bytes the program has read, from any file.
read_so_far() { awk '/^rchar:/ { print $2 }' "/proc/$pid/io"; }
until [[ -e "$dir/hold.held" ]]; do
  ((SECONDS - start < 60)) || { echo "FAIL: the reboot hook did not run" >&2; exit 1; }
  sleep 0.1
done
before=-1
while kill -0 "$writer" 2>/dev/null; do
  now=$(read_so_far)
  ((now == before)) && break
  before=$now
  sleep 1
done
echo "the user-interface thread held: $(($(read_so_far) / 1000)) kB read, writer $(kill -0 "$writer" 2>/dev/null && echo held back || echo done)"
touch "$dir/hold.go"

expected=$((lines / every))
until (($(grep -c '^console: unknown command "bogus' "$dir/err") >= expected)); do
  if ((SECONDS - start > 240)) || ! kill -0 "$pid" 2>/dev/null; then
    echo "FAIL: $(grep -c '^console: ' "$dir/err") of $expected error lines after $((SECONDS - start)) s" >&2
    exit 1
  fi
  sleep 0.5
done
peak_kb=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")
echo "$lines lines ($((lines * 100 / 1000000)) MB) handled in $((SECONDS - start)) s, peak RSS $((peak_kb / 1024)) MB"
expected_order=$(seq "$every" "$every" "$lines" | sed 's/.*/bogus&/')
actual_order=$(sed -n 's/^console: unknown command "\(bogus[0-9]*\)".*/\1/p' "$dir/err")
if [[ "$actual_order" != "$expected_order" ]]; then
  echo "FAIL: the error lines are not the input's, in order" >&2
  exit 1
fi
if ((peak_kb >= limit_kb)); then
  echo "FAIL: peak RSS $peak_kb kB, at most $limit_kb kB expected" >&2
  exit 1
fi
echo "PASS"
