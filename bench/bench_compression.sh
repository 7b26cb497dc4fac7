#!/bin/bash
# Every compression of pictor_tohalf on a photographic picture, beside oiiotool asked for the same
# compression of the same input in the same run: the size of the file against the raw half floats
# (8 bytes a pixel), the wall time to write it from the Radiance picture, and the wall time to
# read it back into a Radiance picture (pictor_fromhalf --no-dump against oiiotool, both reading
# pictor's file).
#   bench/bench_compression.sh [RUNS] [WIDTHxHEIGHT]     default 5 runs, 4096x2048
# Build first (tools/build.sh). Needs oiiotool (openimageio-tools) for the photograph and its
# rows. Prints medians of RUNS runs, the two programs alternated run by run.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTOR_BUILD:-$top/build}
corpus=${PICTOR_CORPUS:-$top/../shared/corpus}
runs=${1:-5}
size=${2:-4096x2048}
width=${size%x*} height=${size#*x}
. "$top/bench/photo_picture.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/pictor_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
photo_picture "$width" "$height" in.hdr >/dev/null

# wall COMMAND: the wall time of one run, in seconds; the outputs are removed first, so that the
# file system's deletion of an earlier file is not timed.
wall() {
  local TIMEFORMAT=%3R
  rm -f out.hdr peer.hdr
  { time bash -c "exec $1" >/dev/null 2>&1; } 2>&1
}

median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

raw=$((width * height * 8))
echo "== $width x $height, $runs runs each, medians; ratio = raw halves / file; speed in Mpixel/s"
printf '%-10s %15s %23s %23s\n' "" "ratio" "write wall (Mpix/s)" "read wall (Mpix/s)"
printf '%-10s %7s %7s %11s %11s %11s %11s\n' compression pictor oiiotool pictor oiiotool pictor oiiotool
for name in none rle zips zip zip:4 piz pxr24 b44 b44a dwaa dwab; do
  write_pictor=() write_peer=() read_pictor=() read_peer=()
  for _ in $(seq "$runs"); do
    rm -f c.exr p.exr
    write_pictor+=("$(wall "$build/pictor_tohalf -i in.hdr -o c.exr --compression $name")")
    write_peer+=("$(wall "oiiotool in.hdr --ch R,G,B,A=0 -d half --compression $name -o p.exr")")
    read_pictor+=("$(wall "$build/pictor_fromhalf -i c.exr -o out.hdr --no-dump")")
    read_peer+=("$(wall "oiiotool c.exr --ch R,G,B -o peer.hdr")")
  done
  wp=$(printf '%s\n' "${write_pictor[@]}" | median) wo=$(printf '%s\n' "${write_peer[@]}" | median)
  rp=$(printf '%s\n' "${read_pictor[@]}" | median) ro=$(printf '%s\n' "${read_peer[@]}" | median)
  awk -v n="$name" -v raw="$raw" -v sp="$(stat -c %s c.exr)" -v so="$(stat -c %s p.exr)" \
      -v wp="$wp" -v wo="$wo" -v rp="$rp" -v ro="$ro" -v px="$((width * height))" 'BEGIN {
    m = px / 1e6
    printf "%-10s %7.2f %7.2f %5.3f (%3.0f) %5.3f (%3.0f) %5.3f (%3.0f) %5.3f (%3.0f)\n", n,
      raw / sp, raw / so, wp, m / wp, wo, m / wo, rp, m / rp, ro, m / ro }'
done
