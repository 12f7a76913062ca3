# Sourced by the bench scripts. bench_build prints the folder whose programs they run:
# $KOV02_BENCH_BUILD when set (programs already built there, as CTest has them), otherwise the
# release preset, built on demand in build/bench.
bench_build() {
  if [[ -n ${KOV02_BENCH_BUILD:-} ]]; then
    echo "$KOV02_BENCH_BUILD"
    return
  fi
  cmake --preset release -B build/bench >/dev/null
  cmake --build build/bench --target kov02tool kov02a-sim update_bench bridge_probe poll_bridge -j 2 >/dev/null
  echo build/bench
}

# The machine's load beside the figures: they are ratios, but a loaded machine still skews them.
bench_load() {
  echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
}
