#!/usr/bin/env bash
# scripts/check_layers.sh on a small made-up tree: it counts the arrows, passes a clean tree and
# names each kind of offence on a line of its own.
set -euo pipefail
check=$(cd "$(dirname "$0")/../.." && pwd)/scripts/check_layers.sh
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
cd "$tree"
mkdir -p common update shell bridge device platform/include/kov02 platform/kernel platform/serial platform/ui
touch platform/include/kov02/ce.h platform/kernel/text.h platform/serial/port.h common/state.h
printf '#include "common/state.h"\n#include "kov02/ce.h"\n' >update/a.cpp
printf '#include "common/state.h"\n' >update/b.cpp
printf '#include "kernel/text.h"\n' >platform/serial/port.cpp

fail() { echo "FAIL: $*" >&2; exit 1; }

out=$(bash "$check" .) || fail "a clean tree is refused: $out"
grep -qx '  update -> common 2' <<<"$out" || fail "arrow count missing: $out"
grep -qx '  update -> platform/include 1' <<<"$out" || fail "the CE face is no arrow: $out"

printf '#include "serial/port.h"\n' >update/c.cpp
printf '#include "common/state.h"\n' >platform/ui/d.cpp
printf '#include "serial/port.h"\n' >platform/kernel/e.cpp
printf '#include "shell/x.h"\n' >update/f.cpp
touch shell/x.h
if out=$(bash "$check" .); then fail "offences pass: $out"; fi
grep -q '^layer offence: update/c.cpp includes "serial/port.h": app code sees only' <<<"$out" || fail "$out"
grep -q '^layer offence: platform/ui/d.cpp includes "common/state.h": the platform never' <<<"$out" || fail "$out"
grep -q '^layer offence: platform/kernel/e.cpp includes "serial/port.h": platform/kernel sits below' <<<"$out" ||
  fail "$out"
grep -q '^layer offence: update/f.cpp includes "shell/x.h": update sits below shell' <<<"$out" || fail "$out"
grep -qx '4 layer offence(s)' <<<"$out" || fail "$out"
echo "check_layers: ok"
