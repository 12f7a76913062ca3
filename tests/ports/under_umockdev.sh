#!/bin/sh
# Runs a test binary under umockdev-wrapper. Its preloaded library loads before ASan's runtime,
# which ASan accepts only when told not to check the order; the preset's own options are kept.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" exec umockdev-wrapper "$@"
