#!/usr/bin/env bash
# Every benchmark, each printing its figures as ratios against a baseline measured in the same
# run, and each goal as met or MISSED: the firmware update (against the protocol's fixed
# pauses, the paced line rate and a pty echo) and the UART bridge (against socat and a minimal
# poll bridge).
#
# Usage: bench/run.sh [--quick]   --quick: small sizes and few samples, enough to see every
# figure printed (CTest runs it so) but not to quote them. Builds the release preset in
# build/bench, or runs the programs in $KOV02_BENCH_BUILD when set.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/build.sh
bash scripts/deps.sh
KOV02_BENCH_BUILD=$(bench_build)
export KOV02_BENCH_BUILD
echo "== firmware update =="
bash bench/update.sh "$@"
echo "== UART bridge =="
bash bench/bridge.sh "$@"
