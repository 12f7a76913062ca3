#!/usr/bin/env bash
# The simulator's options as its --help lists them (with those of `ctl`) are the options its man
# page describes and the options the README's usage block shows: an option added to the program
# and forgotten in either document, or one documented that the program no longer takes, fails.
#
# Usage: tests/sim/options_doc.sh PATH-TO-kov02a-sim MAN-PAGE README
# Prints "sim-options: N options agree" or the differences; exits 1 on a difference.
set -u
sim=${1:?usage: options_doc.sh PATH-TO-kov02a-sim MAN-PAGE README}
man=${2:?usage: options_doc.sh PATH-TO-kov02a-sim MAN-PAGE README}
readme=${3:?usage: options_doc.sh PATH-TO-kov02a-sim MAN-PAGE README}

long_options() { grep -oE -- '--[a-z][a-z-]*' | sort -u; }

help=$({ "$sim" --help; "$sim" ctl --help; } | long_options)
# groff writes a hyphen as \-.
in_man=$(sed 's/\\-/-/g' "$man" | long_options)
# The fenced block that follows the README's simulator heading.
in_readme=$(awk '/^## The simulator/ { s = 1 } s && /^```/ { n++; next } s && n == 1' "$readme" | long_options)

failed=0
compare() {
  local name=$1 documented=$2 missing extra
  missing=$(comm -23 <(echo "$help") <(echo "$documented"))
  extra=$(comm -13 <(echo "$help") <(echo "$documented"))
  [ -z "$missing" ] || { echo "sim-options: not in the $name:" $missing; failed=1; }
  [ -z "$extra" ] || { echo "sim-options: in the $name but not in --help:" $extra; failed=1; }
}
[ -n "$help" ] || { echo "sim-options: --help listed no options"; exit 1; }
compare "man page" "$in_man"
compare "README usage" "$in_readme"
((failed == 0)) || exit 1
echo "sim-options: $(echo "$help" | wc -l) options agree"
