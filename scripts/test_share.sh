#!/usr/bin/env bash
# The share of the C++ lines that are tests: every *.cpp, *.h and *.hpp under tests/ against all
# of them in the tree (build folders left out). With --max RATIO it fails when the share is above
# RATIO, so CI can hold the suite to its size; without, it only prints.
set -euo pipefail
cd "$(dirname "$0")/.."

max=""
while (($#)); do
  case "$1" in
    --max)
      max="${2:-}"
      [[ "$max" =~ ^(0|1)?\.?[0-9]+$ ]] || { echo "test_share: --max takes a ratio such as 0.3334" >&2; exit 2; }
      shift 2 ;;
    *) echo "usage: $0 [--max RATIO]" >&2; exit 2 ;;
  esac
done

# Lines of the C++ files that `find` selects with the tests given as "$@".
cxx_lines() {
  find . \( -path ./.git -o -path './build*' \) -prune -o -type f "$@" \
    \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) -print0 | xargs -0 -r cat -- | wc -l
}

tests=$(cxx_lines -path './tests/*')
other=$(cxx_lines ! -path './tests/*')
share=$(awk -v t="$tests" -v o="$other" 'BEGIN { printf "%.4f", (t + o) ? t / (t + o) : 0 }')
echo "test lines: $tests"
echo "other C++ lines: $other"
echo "test share: $share"
if [[ -n "$max" ]] && awk -v t="$tests" -v o="$other" -v m="$max" 'BEGIN { exit !(t > m * (t + o)) }'; then
  echo "test_share: tests are $share of the C++ lines, above the limit of $max" >&2
  exit 1
fi
