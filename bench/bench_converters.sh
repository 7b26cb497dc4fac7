#!/bin/bash
# Times both converters against their peers and against the floor programs (one library call
# for the whole picture, one thread), with the peak resident memory of every command.
#   bench/bench_converters.sh [RUNS] [SIZE...]     sizes as WIDTHxHEIGHT; default 4096x2048 16384x8192
# Build first (tools/build.sh). PICTOR_BASELINE=<build folder> adds rows for another build of
# pictor, e.g. an earlier commit's, run the same way; every pictor row is also run on one core.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTOR_BUILD:-$top/build}
corpus=${PICTOR_CORPUS:-$top/../shared/corpus}
baseline=${PICTOR_BASELINE:-}
runs=${1:-5}
shift || true
sizes=${*:-4096x2048 16384x8192}
work=$(mktemp -d "${TMPDIR:-/tmp}/pictor_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# median_seconds COMMAND: runs it $runs times, prints the median wall time.
median_seconds() {
  local times=()
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s%N)
    bash -c "$1" >/dev/null 2>&1
    end=$(date +%s%N)
    times+=("$(( (end - start) / 1000000 ))")
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.3f", a[int((NR+1)/2)]/1000}'
}

peak_mb() {
  /usr/bin/time -f %M bash -c "exec $1" 2>&1 >/dev/null | tail -1 | awk '{printf "%.0f", $1/1024}'
}

declare -A secs
# report TITLE, then lines of "label|command"; a command whose tool is missing is skipped.
report() {
  local title=$1; shift
  echo "== $title ($runs runs each)"
  secs=()
  for entry in "$@"; do
    local label=${entry%%|*} command=${entry#*|}
    command -v "${command%% *}" >/dev/null 2>&1 || continue
    secs[$label]=$(median_seconds "$command")
    printf '  %-16s median %7.3f s   peak %6s MB\n' "$label" "${secs[$label]}" "$(peak_mb "$command")"
  done
}

ratio() {  # ratio A B: prints A / B when both were measured
  [ -n "${secs[$1]:-}" ] && [ -n "${secs[$2]:-}" ] &&
    awk -v a="${secs[$1]}" -v b="${secs[$2]}" -v n="$1 / $2" 'BEGIN {printf "  %-26s %.2f\n", n, a / b}'
  return 0
}

for size in $sizes; do
  width=${size%x*} height=${size#*x}
  # The picture: a corpus photograph resized by oiiotool and tiled to the size, or pictor's own
  # scene without a corpus.
  if [ -f "$corpus/hdr/ScanLines_Desk.oiio.hdr" ] && command -v oiiotool >/dev/null; then
    oiiotool "$corpus/hdr/ScanLines_Desk.oiio.hdr" --resize 4096x2048 -o photo.hdr
    "$build/bench/pictor_make_picture" "$width" "$height" in.hdr photo.hdr
  else
    "$build/bench/pictor_make_picture" "$width" "$height" in.hdr
  fi
  "$build/pictor_tohalf" -i in.hdr -o in.exr >/dev/null 2>&1

  rows=("pictor|$build/pictor_tohalf -i in.hdr -o out.exr"
        "pictor --float|$build/pictor_tohalf -i in.hdr -o out_float.exr --float"
        "pictor 1 core|taskset -c 0 $build/pictor_tohalf -i in.hdr -o out.exr")
  [ -n "$baseline" ] && rows+=("baseline|$baseline/pictor_tohalf -i in.hdr -o out_base.exr"
                               "baseline 1 core|taskset -c 0 $baseline/pictor_tohalf -i in.hdr -o out_base.exr")
  rows+=("floor|$build/bench/floor_tohalf in.hdr out_floor.exr"
         "oiiotool|oiiotool in.hdr --ch R,G,B,A=0 -d half --compression piz -o out_oiio.exr")
  report "RGBE -> EXR, $width x $height" "${rows[@]}"
  ratio pictor floor; ratio pictor oiiotool; ratio "pictor --float" pictor
  ratio "pictor 1 core" "baseline 1 core"

  rows=("pictor|$build/pictor_fromhalf -i in.exr -o out.hdr"
        "pictor 1 core|taskset -c 0 $build/pictor_fromhalf -i in.exr -o out.hdr")
  [ -n "$baseline" ] && rows+=("baseline|$baseline/pictor_fromhalf -i in.exr -o out_base.hdr"
                               "baseline 1 core|taskset -c 0 $baseline/pictor_fromhalf -i in.exr -o out_base.hdr")
  rows+=("floor|$build/bench/floor_fromhalf in.exr out_floor.hdr"
         "vips|vips extract_band in.exr out_vips.hdr 0 --n 3"
         "oiiotool|oiiotool in.exr --ch R,G,B -o out_oiio.hdr")
  report "EXR -> RGBE, $width x $height, dump included" "${rows[@]}"
  ratio pictor floor; ratio pictor vips; ratio pictor oiiotool; ratio "pictor 1 core" "baseline 1 core"
  rm -f ./*.hdr ./*.exr inscanline_out.raw
done
