#!/usr/bin/env bash
# Develops the 24-megapixel benchmark DNG to JPEG and to 16-bit TIFF with
# `orvanta develop`, and the same file with darktable-cli and rawtherapee-cli
# (Debian's packages, installed here when missing; fresh configuration
# folders, default settings, no OpenCL), in the same run: wall time and peak
# memory of each (median of three), and our ratios.
#   bench/develop_vs_peers.sh [FILE.dng]   (ORVANTA_BENCH_NO_PEERS=1 skips the peers)
set -euo pipefail
cd "$(dirname "$0")/.."
file="${1:-${ORVANTA_TESTDATA:-../shared/testdata}/bench/synth_24mp.dng}"
tool=$(pwd)/build/src/cli/orvanta
[ -x "$tool" ] || { echo "build first: cmake --build build"; exit 1; }
peers=1
[ "${ORVANTA_BENCH_NO_PEERS:-0}" = 1 ] && peers=0
if [ $peers = 1 ] && ! command -v darktable-cli >/dev/null || ! command -v rawtherapee-cli >/dev/null; then
  [ $peers = 1 ] && { SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q darktable rawtherapee >/dev/null || peers=0; }
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$file" "$work/in.dng"
measure() { # name command...: appends "seconds peak_kB" to $work/name
  local name=$1; shift
  rm -f "$work"/out.*
  /usr/bin/time -f '%e %M' -o "$work/t" "$@" >"$work/log" 2>&1 || { echo "$name failed:"; tail -3 "$work/log"; }
  cat "$work/t" >>"$work/$name"
}
names=(orvanta_jpeg orvanta_tiff)
for i in 1 2 3; do
  measure orvanta_jpeg "$tool" develop "$work/in.dng" -o "$work/out.jpg"
  measure orvanta_tiff "$tool" develop "$work/in.dng" --type tiff -o "$work/out.tif"
  if [ $peers = 1 ]; then
    rm -rf "$work/dt" "$work/rt"
    measure darktable_jpeg darktable-cli "$work/in.dng" "$work/out.jpg" --core --configdir "$work/dt" \
      --conf opencl=FALSE
    measure darktable_tiff darktable-cli "$work/in.dng" "$work/out.tif" --core --configdir "$work/dt" \
      --conf opencl=FALSE --conf plugins/imageio/format/tiff/bpp=16
    measure rawtherapee_jpeg rawtherapee-cli -d -o "$work/out.jpg" -j90 -Y -c "$work/in.dng"
    measure rawtherapee_tiff rawtherapee-cli -d -o "$work/out.tif" -t -b16 -Y -c "$work/in.dng"
  fi
done
[ $peers = 1 ] && names+=(darktable_jpeg darktable_tiff rawtherapee_jpeg rawtherapee_tiff)
median() { sort -n | sed -n 2p; }
for k in "${names[@]}"; do
  t=$(cut -d' ' -f1 "$work/$k" | median); m=$(cut -d' ' -f2 "$work/$k" | median)
  printf '%-18s median %6s s, peak %5s MB\n' "$k" "$t" "$((m / 1024))"
  eval "t_$k=$t m_$k=$m"
done
if [ $peers = 1 ]; then
  for fmt in jpeg tiff; do
    for peer in darktable rawtherapee; do
      eval "a=\$t_orvanta_$fmt b=\$t_${peer}_$fmt c=\$m_orvanta_$fmt d=\$m_${peer}_$fmt"
      awk -v a="$a" -v b="$b" -v c="$c" -v d="$d" -v f="$fmt" -v p="$peer" \
        'BEGIN {printf "ratio orvanta / %s (%s): time %.2f, peak memory %.2f\n", p, f, a / b, c / d}'
    done
  done
fi
