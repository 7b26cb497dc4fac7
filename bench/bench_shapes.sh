#!/bin/bash
# Threads against one thread on the shapes where handing work between threads costs the most:
# tall pictures in one-row blocks, and a picture one pixel wide. Prints, for each shape, the
# median wall time of the default run and of --threads 1, and their ratio (at most 1.1 is the
# aim: threads never cost more than they bring).
#   bench/bench_shapes.sh [RUNS]
# Build first (tools/build.sh); needs oiiotool to write the one-row-block files.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTOR_BUILD:-$top/build}
runs=${1:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/pictor_shapes.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
command -v oiiotool >/dev/null || { echo "bench_shapes: needs oiiotool" >&2; exit 1; }

# median COMMAND...: the median wall time of $runs runs, in seconds.
median() {
  local times=() start end
  for _ in $(seq "$runs"); do
    rm -f out.* inscanline_out.raw
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    times+=("$(awk -v s="$start" -v e="$end" 'BEGIN {printf "%.3f", e - s}')")
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'
}

# row LABEL PROGRAM INPUT OUTPUT
row() {
  local program=$build/$2 default one
  default=$(median "$program" -i "$3" -o "$4")
  one=$(median "$program" -i "$3" -o "$4" --threads 1)
  awk -v l="$1" -v d="$default" -v o="$one" \
    'BEGIN {printf "  %-40s default %6.3f s   --threads 1 %6.3f s   ratio %.2f\n", l, d, o, d / o}'
}

make=$build/bench/pictor_make_picture
"$make" 64 60000 tall64.hdr
"$make" 1 500000 tall1.hdr
"$make" 4096 2048 wide.hdr
"$make" 1 262100 narrow.hdr  # flat: 4 bytes a pixel, about 1 MB
oiiotool tall64.hdr -d half --compression rle -o tall64_rle.exr
oiiotool tall1.hdr -d half --compression rle -o tall1_rle.exr
oiiotool wide.hdr -d half --compression zips -o wide_zips.exr

echo "== default threads against one ($(nproc) processors, $runs runs each, medians)"
row "fromhalf 64 x 60000 RLE" pictor_fromhalf tall64_rle.exr out.hdr
row "fromhalf 1 x 500000 RLE" pictor_fromhalf tall1_rle.exr out.hdr
row "fromhalf 4096 x 2048 ZIPS" pictor_fromhalf wide_zips.exr out.hdr
row "tohalf 1 x 262100, flat RGBE (1 MB)" pictor_tohalf narrow.hdr out.exr
row "tohalf 64 x 60000" pictor_tohalf tall64.hdr out.exr
