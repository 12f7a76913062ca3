#!/usr/bin/env bash
# Every benchmark, each printing its figures as ratios against a baseline measured in the same
# run: the firmware update (against the protocol's fixed pauses and the paced line rate) and the
# UART bridge (against socat). Usage: bench/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
echo "== firmware update =="
bash bench/update.sh
echo "== UART bridge =="
bash bench/bridge.sh
