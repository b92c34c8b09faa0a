#!/usr/bin/env bash
# Decoding the Photo CD test pack IMG0001 against ImageMagick's reader on the
# same file in the same run: whole-process wall time, median of five, for
# Base/16 (the browser's thumbnail), 4Base, and 16Base (ours only: Debian's
# ImageMagick stops at the first 16Base chroma row). ImageMagick decodes to
# its 16-bit pixel cache and writes nothing (null:); ours decodes to 16-bit
# RGB and writes nothing.
#   bench/pcd_vs_imagemagick.sh [IMG0001.PCD]
set -euo pipefail
cd "$(dirname "$0")/.."
file="${1:-${ORVANTA_TESTDATA:-../shared/testdata}/pcd/PHOTO_CD/IMAGES/IMG0001.PCD}"
tool=build/bench/pcd_decode_tool
convert=/usr/bin/convert # Debian's imagemagick package
[ -x "$tool" ] || { echo "build first: cmake --build build"; exit 1; }
[ -x "$convert" ] || { echo "needs Debian's imagemagick (apt-get install imagemagick)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seconds() { # wall time of one run, or "fail"
  local start end
  start=$(date +%s%N)
  if "$@" >/dev/null 2>&1; then end=$(date +%s%N); echo "$(( (end - start) / 1000 ))"; else echo fail; fi
}
median() { sort -n | sed -n 3p; } # of five
printf '%-8s %14s %14s %8s\n' level "orvanta ms" "ImageMagick ms" ratio
for level in 0 3 4; do
  : >"$work/o"; : >"$work/m"
  for i in 1 2 3 4 5; do
    seconds "$tool" "$file" "$level" >>"$work/o"
    seconds "$convert" "$file[$((level + 1))]" null: >>"$work/m"
  done
  o=$(median <"$work/o"); m=$(median <"$work/m")
  if grep -q fail "$work/m"; then m=fail; fi
  awk -v l="$level" -v o="$o" -v m="$m" 'BEGIN {
    names[0] = "Base/16"; names[3] = "4Base"; names[4] = "16Base";
    if (m == "fail") printf "%-8s %14.1f %14s %8s\n", names[l], o / 1000, "fails", "-";
    else printf "%-8s %14.1f %14.1f %8.2f\n", names[l], o / 1000, m / 1000, o / m }'
done
