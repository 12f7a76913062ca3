#!/bin/sh
# Runs a test binary under umockdev-wrapper. Its preloaded library loads before ASan's runtime,
# which ASan accepts only when told not to check the order; TSan is told to pass over the races
# inside that library (tsan.supp). The preset's own options are kept.
here=$(dirname "$0")
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$here/tsan.supp" exec umockdev-wrapper "$@"
