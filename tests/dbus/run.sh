#!/usr/bin/env bash
# Runs the built-in drivers' D-Bus tests on a private bus: dbus-run-session starts one, and the
# tests point the system bus at it, where the ModemManager and logind mocks run.
# Usage: tests/dbus/run.sh KOV02TOOL KOV02A-SIM [unittest arguments...]
set -euo pipefail
here=$(dirname "$0")
# The system's python: python3-dbusmock is a Debian package, not in another interpreter's path.
python=/usr/bin/python3
if ! command -v dbus-run-session >/dev/null; then
  echo "SKIP: dbus-run-session is missing (Debian package dbus-daemon)"
  exit 77
fi
if ! "$python" -c 'import dbusmock' 2>/dev/null; then
  echo "SKIP: python3-dbusmock is missing"
  exit 77
fi
KOV02TOOL=$(realpath "$1") KOV02A_SIM=$(realpath "$2")
export KOV02TOOL KOV02A_SIM
shift 2
exec dbus-run-session -- "$python" "$here/radio_test.py" -v "$@"
