#!/usr/bin/env bash
# bench/run.sh --quick over the programs of a built tree: every figure and every goal's verdict
# is printed, each with a number (no nan, no inf), and no benchmark fails.
# Usage: tests/bench/figures.sh BUILD-DIR
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
out=$(KOV02_BENCH_BUILD=$1 bash "$here/bench/run.sh" --quick 2>&1)
status=$?
echo "$out"
((status == 0)) || { echo "FAIL: bench/run.sh --quick ended with status $status"; exit 1; }

verdict='(met|MISSED)$'
expected=(
  "^update flash-only: wall/floor [0-9.]+ \(goal <= 1.05\) (met|MISSED), tool CPU [0-9.]+ s \(goal <= 0.25\) (met|MISSED)"
  "^update turnaround 0xAA -> next chunk: median [0-9.]+ ms, p99 [0-9.]+ ms .*pty echo round trip median [0-9.]+ ms.* turnaround/echo [0-9.]+ x; goal median <= 0.100 ms $verdict"
  "^update paced at 115200 baud: .* = [0-9.]+ \(goal >= 0.99\) (met|MISSED), image received intact"
  "^update silent module: .* = [0-9.]+ \(goal <= bound \+ 2 s\) (met|MISSED)"
  "^update scripted over interactive: [0-9]+-byte image, .* = [0-9.]+ \(median of [0-9]+ each\)$"
  "^throughput ratio tool/socat \(worse direction\) [0-9.]+ x +goal >= 1.00 +$verdict"
  "^throughput ratio tool/socat -b 1024 \(worse direction\) [0-9.]+ x +goal >= 1.00 +$verdict"
  "^throughput ratio with \"Bi-direction\" lines over without \(worse direction\) [0-9.]+ x +goal >= 0.50 +$verdict"
  "^round-trip median tool - socat [-+][0-9.]+ ms +goal <= \+1.00 ms +$verdict"
  "^idle CPU ratio tool/poll bridge [0-9.]+ x \([0-9.]+ % over [0-9.]+ %, side by side\) +goal <= 1.20 +$verdict"
  "^window latency, show menu with \"Bi-direction\", bridge idle: median [0-9.]+ ms +p95 [0-9.]+ ms$"
  "^window latency, .* bridge at full rate both ways \([0-9.]+ MiB/s\): median [0-9.]+ ms +p95 [0-9.]+ ms .* goal p95 <= 100 ms +$verdict"
)
failed=0
for pattern in "${expected[@]}"; do
  grep -Eq "$pattern" <<<"$out" || { echo "FAIL: no line matching: $pattern"; failed=1; }
done
if grep -Eiq '\b(nan|inf)\b|DIFFERS' <<<"$out"; then
  echo "FAIL: a figure is not a number, or an image arrived changed"
  failed=1
fi
exit $failed
