#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; only the missing ones.
# Usage: scripts/deps.sh [EXTRA-PACKAGE...]  (extras: what a single script needs besides)
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config   # compiler and build
  libgtest-dev libgmock-dev          # unit tests
  nlohmann-json3-dev                 # the tests read the simulator's JSON summary with it
  libgtk-3-dev                       # the GUI front-end
  libgudev-1.0-dev                   # the serial ports present and the hot-plug watch (udev)
  umockdev libumockdev-dev           # the port tests: a fake /sys and /dev with uevents
  libcli11-dev                       # the simulator's command line
  xvfb xdotool imagemagick           # the GUI smoke test: virtual display, keys, screenshot
  picocom                            # the demo: a terminal for the bridge's far end
  dpkg-dev file                      # the Debian package: dpkg-buildflags, dpkg-shlibdeps
  desktop-file-utils man-db          # the package test: desktop entry and man page checks
  lintian appstream                  # the package job: Debian's checks, the AppStream data's
  dbus-daemon at-spi2-core python3-gi gir1.2-atspi-2.0  # GUI tests read the window's texts via AT-SPI
  socat                              # the benchmarks' reference bridge (checked in CI too)
  python3-dbusmock                   # the radio and reboot drivers' tests: ModemManager and logind mocks
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
