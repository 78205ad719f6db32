#!/usr/bin/env bash
# The sources keep their shape: the include graph stays layered (platform, then model, monitor
# and tls, then engine, then the two front ends), no include runs up a layer or across to the
# other front end, neither the files nor the folders include each other in a ring, and no
# file grows past 450 lines.
# Usage: source_shape.sh SRC-FOLDER
set -euo pipefail
src="${1:?the src folder}"
declare -A rank=([platform]=0 [model]=1 [monitor]=1 [tls]=1 [engine]=2 [ui]=3 [daemon]=3)
faults=0
file_edges=""
folder_edges=""
while IFS= read -r file; do
  from="${file#"$src"/}"
  folder="${from%%/*}"
  [ -n "${rank[$folder]:-}" ] || continue
  while IFS= read -r included; do
    to="${included%%/*}"
    [ -n "${rank[$to]:-}" ] || continue
    if [ "${rank[$to]}" -gt "${rank[$folder]}" ] || { [ "${rank[$to]}" = 3 ] && [ "$to" != "$folder" ]; }; then
      echo "$from includes $included: a layer up" >&2
      faults=$((faults + 1))
    fi
    file_edges+="$from $included"$'\n'
    [ "$to" = "$folder" ] || folder_edges+="$folder $to"$'\n'
  done < <(sed -n 's/^#include "\([a-z_]*\/[^"]*\)".*/\1/p' "$file")
done < <(find "$src" -name '*.h' -o -name '*.cpp' | sort)
for graph in file folder; do
  edges="${graph}_edges"
  if ! printf '%s' "${!edges}" | tsort >/dev/null 2>"${TMPDIR:-/tmp}/layers.$$"; then
    echo "the ${graph}s include each other in a ring:" >&2
    cat "${TMPDIR:-/tmp}/layers.$$" >&2
    faults=$((faults + 1))
  fi
  rm -f "${TMPDIR:-/tmp}/layers.$$"
done
while read -r lines file; do
  [ "$file" = total ] && continue
  if [ "$lines" -gt 450 ]; then
    echo "${file#"$src"/} has $lines lines: more than 450" >&2
    faults=$((faults + 1))
  fi
done < <(find "$src" -name '*.h' -o -name '*.cpp' | xargs wc -l)
[ "$faults" = 0 ] && echo "include graph layered, no ring, no file over 450 lines"
exit $((faults > 0))
