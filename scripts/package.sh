#!/usr/bin/env bash
# Builds the Debian package as a Debian packager would: Debian's default hardening flags
# (dpkg-buildflags), a /usr prefix (configuration under /etc), warnings as errors, only the two
# programs it ships (no tests, no benchmarks); then cpack. The .deb lands in the build folder; its path is the one line on stdout (the
# build's own output goes to stderr).
#
# Usage: scripts/package.sh [BUILD-FOLDER]   (default build/package)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/package}

bash scripts/deps.sh >&2
# CMake has no CPPFLAGS of its own: the preprocessor flags (_FORTIFY_SOURCE) go with CXXFLAGS.
# All of Debian's hardening, immediate binding (-z now) included.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr -DKOV02_WERROR=ON \
  -DBUILD_TESTING=OFF -DKOV02_BENCHMARKS=OFF -DKOV02_PACKAGE_BUILD=ON -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$dir" -j "$(nproc)" >&2
rm -f "$dir"/kov02tool_*.deb
(cd "$dir" && cpack -G DEB >&2)
ls "$dir"/kov02tool_*.deb
