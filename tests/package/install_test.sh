#!/usr/bin/env bash
# The Debian package, unpacked into a scratch root with dpkg -x: its files stand where the
# system looks for them, the installed tool answers --version with the package's version, the
# installed console takes the installed simulator through "Flash only" to "Successful" (the
# end-to-end suite's own test, pointed at the installed programs), the desktop entry validates
# and the man pages render without a warning, and the AppStream data validates. The registry
# file is a conffile that names the package's firmware folder, which is root's and mode 0755.
#
# Usage: tests/package/install_test.sh PATH-TO.deb PATH-TO-e2e_tests
# Prints one line a check and "package: N passed, M failed"; exits 1 when any failed.
set -u

deb=${1:?usage: install_test.sh PATH-TO.deb PATH-TO-e2e_tests}
e2e=${2:?usage: install_test.sh PATH-TO.deb PATH-TO-e2e_tests}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
passed=0
failed=0

# check NAME COMMAND...: runs the command, its output kept for the failure report.
check() {
  local name=$1
  shift
  if "$@" >"$work/out" 2>&1; then
    passed=$((passed + 1))
    echo "package: ok: $name"
  else
    failed=$((failed + 1))
    echo "package: FAIL: $name"
    sed 's/^/package:   /' "$work/out"
  fi
}

has_files() {
  local missing=0
  for f in "$@"; do
    [[ -f $root/$f ]] || { echo "missing: /$f"; missing=1; }
  done
  return $missing
}

prints() {
  local expected=$1
  shift
  local got
  got=$("$@") || return 1
  [[ $got == "$expected" ]] || { echo "expected: $expected"; echo "got:      $got"; return 1; }
}

# A page renders to text that names the program, with nothing on stderr (groff's warnings).
renders() {
  local text
  text=$(MANWIDTH=80 man --warnings -l "$1" 2>"$work/man.err") || return 1
  [[ ! -s $work/man.err ]] || { cat "$work/man.err"; return 1; }
  grep -q "^NAME" <<<"$text" && grep -q "$2" <<<"$text"
}

metainfo=usr/share/metainfo/io.github.kov02tool.metainfo.xml
check "dpkg -x unpacks the package" dpkg -x "$deb" "$root"
check "files installed" has_files usr/bin/kov02tool usr/bin/kov02a-sim etc/kov02tool/kov02tool.reg \
  usr/share/doc/kov02tool/examples/kov02tool.reg.sample \
  usr/share/applications/kov02tool.desktop usr/share/icons/hicolor/scalable/apps/kov02tool.svg \
  usr/share/man/man1/kov02tool.1.gz usr/share/man/man1/kov02a-sim.1.gz usr/share/man/man5/kov02tool.reg.5.gz \
  usr/share/doc/kov02tool/copyright usr/share/doc/kov02tool/changelog.gz "$metainfo"
check "the firmware folder is root's, mode 0755" \
  grep -qE '^drwxr-xr-x root/root .* \./var/lib/kov02tool/firmware/$' <<<"$(dpkg-deb -c "$deb")"
check "the registry file is a conffile" grep -qx /etc/kov02tool/kov02tool.reg <<<"$(dpkg-deb -I "$deb" conffiles)"
check "the registry file names the firmware folder" \
  grep -q '^"PackageDir"="/var/lib/kov02tool/firmware"' "$root/etc/kov02tool/kov02tool.reg"
check "Depends names the GTK runtime" grep -q "libgtk-3-0" <<<"$(dpkg-deb -f "$deb" Depends)"
check "installed kov02tool --version" prints "kov02tool $(dpkg-deb -f "$deb" Version)" "$root/usr/bin/kov02tool" --version
check "installed kov02tool --help names the installed sample registry" \
  grep -q "/usr/share/doc/kov02tool/examples/kov02tool.reg.sample" <<<"$("$root/usr/bin/kov02tool" --help)"
check "installed console updates the installed simulator to Successful" \
  env KOV02_TEST_TOOL="$root/usr/bin/kov02tool" KOV02_TEST_SIM="$root/usr/bin/kov02a-sim" \
  "$e2e" --gtest_filter='UpdateEndToEnd.FlashOnlySendsTheWholeImageAndNoLeavesTheModuleAsItIs'
check "desktop-file-validate" desktop-file-validate "$root/usr/share/applications/kov02tool.desktop"
check "appstreamcli validate --no-net" appstreamcli validate --no-net "$root/$metainfo"
check "man -l kov02tool.1" renders "$root/usr/share/man/man1/kov02tool.1.gz" "KOV02_REGISTRY"
check "man -l kov02a-sim.1" renders "$root/usr/share/man/man1/kov02a-sim.1.gz" "null-modem"
check "man -l kov02tool.reg.5" renders "$root/usr/share/man/man5/kov02tool.reg.5.gz" "PackageDir"
check "kov02tool(1) points to kov02tool.reg(5)" grep -q "kov02tool.reg(5)" \
  <<<"$(MANWIDTH=80 man -l "$root/usr/share/man/man1/kov02tool.1.gz" 2>/dev/null)"

echo "package: $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version), $(stat -c %s "$deb") bytes"
echo "package: Depends: $(dpkg-deb -f "$deb" Depends)"
echo "package: $passed passed, $failed failed"
((failed == 0))
