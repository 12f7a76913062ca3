#!/usr/bin/env bash
# Bridge benchmarks: throughput of random bytes pty -> pty through the tool's UART bridge and
# through socat over the same kind of pty pairs, one-byte round trips, the tool's idle CPU with
# the bridge open, and throughput with every chunk logged ("Bi-direction"). Both bridges are
# measured in the same run so the ratios compare like with like.
#
# Usage: bench/bridge.sh [--mib N] [--trips N] [--idle-seconds N]   (defaults 64, 2000, 10)
# Builds the release preset in build/bridge-bench; installs socat with apt-get when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v socat >/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq socat >/dev/null
fi

build=build/bridge-bench
cmake --preset release -B "$build" >/dev/null
cmake --build "$build" --target kov02tool bridge_probe -j 2 >/dev/null

echo "load average before the run: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
"$build/bench/bridge_probe" --tool "$build/kov02tool" --socat "$(command -v socat)" "$@"
