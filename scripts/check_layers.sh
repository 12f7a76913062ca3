#!/usr/bin/env bash
# The folder arrows of the code, read from its #include "..." lines, and the layer rules they
# must keep. Prints every arrow (folder -> folder and how many include lines make it), then one
# line per offence; exits 1 when there is any.
#
#   app code    shell update bridge device common: includes app folders below it in that order
#               and the CE face (platform/include) only, never another platform folder;
#   platform    never includes an app folder; its folders include only folders below them in
#               the order below, so no two of them include each other.
#
# Usage: scripts/check_layers.sh [ROOT]   (default: the tree this script is in)
set -euo pipefail
cd "${1:-"$(dirname "$0")/.."}"

# App folders from top to bottom, as for the platform below: the shell wires the features, the
# features share common/.
app_folders="shell update bridge device common"
# Platform folders from top to bottom: each may include those after it, never those before.
# The CE face comes last: every folder may include it, it includes no other.
platform_order="main pocketshell ui windowing devices ports serial registry kernel include"

# All the work is one awk run over every source file, since a tree of a few hundred include
# lines would otherwise mean thousands of processes.
# shellcheck disable=SC2086  # the folder lists are meant to split into words
files=$(find $app_folders platform -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) | sort)
# shellcheck disable=SC2086
awk -v app="$app_folders" -v order="$platform_order" '
  function exists(path,   line, found) {
    found = (getline line < path) >= 0
    close(path)
    return found
  }
  # "a/./b/../c" -> "a/c"
  function normal(path,   parts, n, i, out, kept) {
    n = split(path, parts, "/")
    kept = 0
    for (i = 1; i <= n; i++) {
      if (parts[i] == "." || parts[i] == "") continue
      if (parts[i] == ".." && kept > 0) { kept--; continue }
      stack[++kept] = parts[i]
    }
    out = ""
    for (i = 1; i <= kept; i++) out = out (i > 1 ? "/" : "") stack[i]
    return out
  }
  # Where the compiler finds it: beside the including file, then from the app root, the
  # platform root or the CE face. Empty for a header outside the tree.
  function resolve(dir, target,   bases, n, i, candidate) {
    n = split(dir " . platform platform/include", bases, " ")
    for (i = 1; i <= n; i++) {
      candidate = normal(bases[i] "/" target)
      if (exists(candidate)) return candidate
    }
    return ""
  }
  function folder_of(path,   parts) {
    split(path, parts, "/")
    return parts[1] == "platform" ? "platform/" parts[2] : parts[1]
  }
  function offend(text) {
    offence[++offences] = "layer offence: " text
  }
  BEGIN {
    n = split(app, names, " ")
    for (i = 1; i <= n; i++) { is_app[names[i]] = 1; rank[names[i]] = i }
    n = split(order, names, " ")
    for (i = 1; i <= n; i++) rank["platform/" names[i]] = i
  }
  /^[ \t]*#[ \t]*include[ \t]*"/ {
    file = FILENAME
    split($0, quoted, "\"")
    header = quoted[2]
    dir = file
    sub(/\/[^\/]*$/, "", dir)
    path = resolve(dir, header)
    if (path == "") next
    from = folder_of(file)
    to = folder_of(path)
    if (from == to) next
    arrows[from " -> " to]++
    where = file " includes \"" header "\": "
    if (from in is_app) {
      if (to ~ /^platform\// && to != "platform/include")
        offend(where "app code sees only the CE face (platform/include), not " to)
      else if ((to in is_app) && rank[from] > rank[to])
        offend(where from " sits below " to " (top to bottom: " app ")")
    } else if (to in is_app) {
      offend(where "the platform never includes app code (" to ")")
    } else if (to ~ /^platform\//) {
      if (!(from in rank) || !(to in rank))
        offend(where from " or " to " is missing from the platform order in check_layers.sh")
      else if (rank[from] > rank[to])
        offend(where from " sits below " to " (top to bottom: " order ")")
    }
  }
  END {
    print "folder arrows (from #include lines):"
    sorted = "sort"
    for (arrow in arrows) print "  " arrow " " arrows[arrow] | sorted
    close(sorted)
    if (offences > 0) {
      for (i = 1; i <= offences; i++) print offence[i]
      print offences " layer offence(s)"
      exit 1
    }
    print "layers: no offence"
  }' $files
