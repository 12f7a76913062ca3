#!/usr/bin/env bash
# Firmware update benchmarks: a full "Flash only" run of a 4,169,728-byte image against the
# module simulator (wall time over the floor of fixed pauses, the tool's CPU seconds), then a
# 256 KiB image with the simulator pacing the line at 115200 baud (achieved rate over the line's),
# then a module that goes silent mid-image (time to the failure box over the bound, CPU waiting).
#
# Usage: bench/update.sh [--runs N]   (default 3). Builds the release preset in build/update-bench,
# or in $KOV02_BENCH_BUILD when set.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=3
[[ ${1:-} == --runs ]] && runs=$2

build=${KOV02_BENCH_BUILD:-build/update-bench}
cmake --preset release -B "$build" >/dev/null
cmake --build "$build" --target kov02tool kov02a-sim update_bench -j 2 >/dev/null

bench=("$build/bench/update_bench" --tool "$build/kov02tool" --sim "$build/tools/kov02a-sim/kov02a-sim")
"${bench[@]}" --runs "$runs"
"${bench[@]}" --baud 115200
"${bench[@]}" --silent
