#!/usr/bin/env bash
# Firmware update benchmarks: a full "Flash only" run of a 4,169,728-byte image against the
# module simulator (wall time over the floor of fixed pauses, the tool's CPU seconds, and the
# tool's turnaround after each chunk acknowledgement over a pty echo's round trip), then a
# 256 KiB image with the simulator pacing the line at 115200 baud (achieved rate over the
# line's), then a module that goes silent mid-image (time to the failure box over the bound,
# CPU waiting), then the scripted update's wall time over the interactive run's.
#
# Usage: bench/update.sh [--runs N | --quick]   (default 3 runs; --quick: one run, a 16 KiB
# paced image, 1 s idle). Programs as bench/build.sh says.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/build.sh

runs=(--runs 3) paced=() idle=()
[[ ${1:-} == --runs ]] && runs=(--runs "$2")
[[ ${1:-} == --quick ]] && runs=(--runs 1) paced=(--image 16384) idle=(--idle-seconds 1)

build=$(bench_build)
bench_load
bench=("$build/bench/update_bench" --tool "$build/kov02tool" --sim "$build/tools/kov02a-sim/kov02a-sim")
"${bench[@]}" "${runs[@]}"
"${bench[@]}" --baud 115200 "${paced[@]}"
"${bench[@]}" --silent "${idle[@]}"
"${bench[@]}" --scripted "${runs[@]}" "${paced[@]}"
