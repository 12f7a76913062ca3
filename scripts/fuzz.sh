#!/usr/bin/env bash
# Builds the fuzz targets (tests/fuzz) with clang's libFuzzer, AddressSanitizer and UBSan in
# build/fuzz, apart from the normal GCC build, and runs each from its seed corpus in the tree.
# Usage: scripts/fuzz.sh [RUNS] [TARGET...]
#   RUNS     executions per target (default 20000; CI uses the default)
#   TARGET   registry, console, line_marks, sim_frames (default: all four)
# A run that finds a fault stops that target, leaves the input as build/fuzz/crash-* and makes
# the script fail. Inputs that reached new code are kept in build/fuzz/corpus/TARGET and are
# read again by the next run. For a long run of one target, e.g. an hour on two cores:
#   scripts/fuzz.sh 0 registry     (then, by hand:)
#   build/fuzz/registry_fuzz -max_total_time=3600 -jobs=2 -workers=2 build/fuzz/corpus/registry tests/fuzz/registry
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20000}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(registry console line_marks sim_frames)

bash scripts/deps.sh clang libclang-rt-14-dev
cmake -S tests/fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz -j "$(nproc)"

status=0
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  log=build/fuzz/$target.log
  start=$(date +%s%N)
  # -seed fixes the mutations, so a CI run is repeatable; -timeout catches a hang in one input.
  if ! "build/fuzz/${target}_fuzz" -runs="$runs" -seed=1 -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix=build/fuzz/ "$corpus" "tests/fuzz/$target" >"$log" 2>&1; then
    status=1
    echo "fuzz: $target FOUND A FAULT (see $log)"
    grep -m5 -E "ERROR|SUMMARY|Test unit written" "$log" || true
  fi
  ms=$((($(date +%s%N) - start) / 1000000))
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  printf 'fuzz: %-10s %8s executions in %d.%03d s, corpus %s inputs\n' "$target" "${executions:-?}" \
    $((ms / 1000)) $((ms % 1000)) \
    "$(find "$corpus" -type f | wc -l)"
done
exit $status
