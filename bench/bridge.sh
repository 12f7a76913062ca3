#!/usr/bin/env bash
# Bridge benchmarks: throughput of random bytes pty -> pty through the tool's UART bridge, through
# socat and through a minimal poll bridge over the same kind of pty pairs, one-byte round trips,
# idle CPU with the bridge open, throughput with every chunk logged ("Bi-direction"), and the
# window's answer to `show menu` with the bridge idle and at full rate. All bridges run at once
# and are measured in turn or side by side, so the ratios compare like with like.
#
# Usage: bench/bridge.sh [--quick | --mib N --rounds N --trips N --idle-seconds N --menu-samples N]
# (defaults 32, 3, 2000, 10, 50; --quick: 2, 2, 200, 2, 20). Programs as bench/build.sh says;
# socat comes with scripts/deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/build.sh
bash scripts/deps.sh

options=("$@")
[[ ${1:-} == --quick ]] && options=(--mib 2 --rounds 2 --trips 200 --idle-seconds 2 --menu-samples 20)

build=$(bench_build)
bench_load
"$build/bench/bridge_probe" --tool "$build/kov02tool" --poll-bridge "$build/bench/poll_bridge" \
  --socat "$(command -v socat)" "${options[@]}"
