#!/usr/bin/env bash
# Full decode (master and alternate) of the 24-megapixel benchmark DNG,
# against LibRaw's own dcraw_emu (AHD, linear 16-bit TIFF) on the same file in
# the same run: wall time and peak memory of each, three runs, medians.
set -euo pipefail
cd "$(dirname "$0")/.."
file="${1:-${ORVANTA_TESTDATA:-../shared/testdata}/bench/synth_24mp.dng}"
tool=build/bench/decode_tool
[ -x "$tool" ] || { echo "build first: cmake --build build"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$file" "$work/in.dng"
measure() { # prints "seconds peak_kB"
  /usr/bin/time -f '%e %M' -o "$work/t" "$@" >/dev/null 2>&1 || true
  cat "$work/t"
}
for i in 1 2 3; do
  measure "$tool" "$work/in.dng" >>"$work/orvanta"
  measure dcraw_emu -q 3 -4 -T "$work/in.dng" >>"$work/dcraw_emu"
done
median() { sort -n | sed -n 2p; } # of three
for k in orvanta dcraw_emu; do
  t=$(cut -d' ' -f1 "$work/$k" | median)
  m=$(cut -d' ' -f2 "$work/$k" | median)
  printf '%-10s median %s s, peak %s MB\n' "$k" "$t" "$((m / 1024))"
  eval "t_$k=$t m_$k=$m"
done
awk -v a="$t_orvanta" -v b="$t_dcraw_emu" -v c="$m_orvanta" -v d="$m_dcraw_emu" \
  'BEGIN {printf "ratio orvanta / dcraw_emu: time %.2f, peak memory %.2f\n", a / b, c / d}'
