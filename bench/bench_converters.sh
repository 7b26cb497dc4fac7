#!/bin/bash
# Times both converters on a 4096 x 2048 photographic picture against oiiotool and against a
# floor program (one library call for the whole picture). Prints medians, ratios and peak memory.
#   bench/bench_converters.sh [RUNS]        (build first: tools/build.sh)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTOR_BUILD:-$top/build}
corpus=${PICTOR_CORPUS:-$top/../shared/corpus}
runs=${1:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# The picture: a corpus photograph resized by oiiotool, or pictor's own scene without a corpus.
if [ -f "$corpus/hdr/ScanLines_Desk.oiio.hdr" ]; then
  oiiotool "$corpus/hdr/ScanLines_Desk.oiio.hdr" --resize 4096x2048 -o in.hdr
else
  "$build/bench/pictor_make_picture" 4096 2048 in.hdr
fi
"$build/pictor_tohalf" -i in.hdr -o in.exr >/dev/null 2>&1

# median_seconds COMMAND...: runs it $runs times, prints the median wall time.
median_seconds() {
  local times=()
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    times+=("$(( (end - start) / 1000000 ))")
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.3f", a[int((NR+1)/2)]/1000}'
}

peak_mb() {
  /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%.0f", $1/1024}'
}

report() {  # report TITLE then lines of "label|command"
  local title=$1; shift
  echo "== $title ($runs runs each)"
  local -A secs
  local labels=()
  for entry in "$@"; do
    local label=${entry%%|*} command=${entry#*|}
    secs[$label]=$(median_seconds bash -c "$command")
    local mem
    mem=$(peak_mb bash -c "$command")
    labels+=("$label")
    printf '  %-10s median %6.3f s   peak %5s MB\n' "$label" "${secs[$label]}" "$mem"
  done
  awk -v p="${secs[pictor]}" -v o="${secs[oiiotool]}" -v f="${secs[floor]}" \
    'BEGIN {printf "  pictor / oiiotool = %.2f   pictor / floor = %.2f\n", p / o, p / f}'
}

report "RGBE -> EXR, 4096 x 2048" \
  "pictor|$build/pictor_tohalf -i in.hdr -o out.exr" \
  "oiiotool|oiiotool in.hdr --ch R,G,B,A=0 -d half --compression piz -o out_oiio.exr" \
  "floor|$build/bench/floor_tohalf in.hdr out_floor.exr"

report "EXR -> RGBE, 4096 x 2048, dump included" \
  "pictor|$build/pictor_fromhalf -i in.exr -o out.hdr" \
  "oiiotool|oiiotool in.exr --ch R,G,B -o out_oiio.hdr" \
  "floor|$build/bench/floor_fromhalf in.exr out_floor.hdr"
