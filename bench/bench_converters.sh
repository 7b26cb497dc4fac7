#!/bin/bash
# Times both converters against their peers and against the floor programs (decode, then one
# library call for the whole picture), with the CPU time and peak resident memory of every
# command.
#   bench/bench_converters.sh [RUNS] [SIZE...]     sizes as WIDTHxHEIGHT; default 4096x2048 16384x8192
# Build first (tools/build.sh). PICTOR_BASELINE=<build folder> adds rows for another build of
# pictor, e.g. an earlier commit's, run the same way. Every row prints the median wall time and
# the median CPU time (user + system, all threads) of RUNS runs. Outputs (and fromhalf's dump)
# are removed before each run: replacing a file makes the file system delete the old one, and
# ext4 write the new one out at once, which would time the disk rather than the converter.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTOR_BUILD:-$top/build}
corpus=${PICTOR_CORPUS:-$top/../shared/corpus}
baseline=${PICTOR_BASELINE:-}
runs=${1:-5}
shift || true
sizes=${*:-4096x2048 16384x8192}
cores=$(nproc)
. "$top/bench/photo_picture.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/pictor_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# measure COMMAND: runs it $runs times; sets wall and cpu to the medians in seconds.
measure() {
  local walls=() cpus=() TIMEFORMAT='%3R %3U %3S' line
  for _ in $(seq "$runs"); do
    clean
    line=$( { time bash -c "exec $1" >/dev/null 2>&1; } 2>&1 )
    read -r r u s <<<"$line"
    walls+=("$r")
    cpus+=("$(awk -v u="$u" -v s="$s" 'BEGIN {printf "%.3f", u + s}')")
  done
  wall=$(printf '%s\n' "${walls[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
  cpu=$(printf '%s\n' "${cpus[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
}

clean() { rm -f inscanline_out.raw out.* out_* base.* floor.*; }

peak_mb() {
  clean
  /usr/bin/time -f %M bash -c "exec $1" 2>&1 >/dev/null | tail -1 | awk '{printf "%.0f", $1/1024}'
}

declare -A walls cpus
# report TITLE, then lines of "label|command"; a command whose tool is missing is skipped.
report() {
  local title=$1; shift
  echo "== $title ($runs runs each, medians)"
  walls=() cpus=()
  for entry in "$@"; do
    local label=${entry%%|*} command=${entry#*|} first
    first=${command%% *}
    [ "$first" = taskset ] && first=$(echo "$command" | awk '{print $4}')
    command -v "$first" >/dev/null 2>&1 || continue
    measure "$command"
    walls[$label]=$wall cpus[$label]=$cpu
    printf '  %-22s wall %7.3f s   CPU %7.3f s   peak %5s MB\n' "$label" "$wall" "$cpu" \
      "$(peak_mb "$command")"
  done
}

# ratio NAME A_KIND A B_KIND B: prints A / B when both were measured (kinds: wall, cpu).
ratio() {
  local -n a_table=${2}s b_table=${4}s
  [ -n "${a_table[$3]:-}" ] && [ -n "${b_table[$5]:-}" ] &&
    awk -v a="${a_table[$3]}" -v b="${b_table[$5]}" -v n="$1" 'BEGIN {printf "  %-58s %.2f\n", n, a / b}'
  return 0
}

# How the default run's CPU time splits among its threads, from perf's samples (where perf
# may sample this user's processes).
thread_split() {
  command -v perf >/dev/null 2>&1 || return 0
  clean
  perf record -q -e task-clock -o perf.data -- bash -c "exec $1" >/dev/null 2>&1 || return 0
  echo "  CPU by thread (perf samples): $(perf report -i perf.data --sort pid --stdio 2>/dev/null |
    awk '/%/ && !/^#/ {printf "%s%s", sep, $1; sep=" "}')"
  rm -f perf.data
}

for size in $sizes; do
  width=${size%x*} height=${size#*x}
  photo_picture "$width" "$height" in.hdr
  "$build/pictor_tohalf" -i in.hdr -o in.exr >/dev/null 2>&1

  for direction in tohalf fromhalf; do
    if [ $direction = tohalf ]; then
      title="RGBE -> EXR, $width x $height" in=in.hdr out=exr
      floor=floor_tohalf
      peers=("oiiotool|oiiotool in.hdr --ch R,G,B,A=0 -d half --compression piz -o out_oiio.exr")
    else
      title="EXR -> RGBE, $width x $height, dump included" in=in.exr out=hdr
      floor=floor_fromhalf
      peers=("vips|vips extract_band in.exr out_vips.hdr 0 --n 3"
             "oiiotool|oiiotool in.exr --ch R,G,B -o out_oiio.hdr")
    fi
    program="$build/pictor_$direction -i $in -o out.$out"
    rows=("pictor|$program"
          "pictor --threads 1|$program --threads 1"
          "pictor taskset -c 0|taskset -c 0 $program")
    [ $direction = tohalf ] && rows+=("pictor --float|$program --float -o out_float.exr")
    [ $direction = fromhalf ] && rows+=("pictor --no-dump|$program --no-dump")
    [ -n "$baseline" ] &&
      rows+=("baseline|$baseline/pictor_$direction -i $in -o base.$out"
             "baseline taskset -c 0|taskset -c 0 $baseline/pictor_$direction -i $in -o base.$out")
    rows+=("floor|$build/bench/$floor $in floor.$out"
           "floor, $cores threads|$build/bench/$floor $in floor.$out $cores"
           "${peers[@]}")
    report "$title" "${rows[@]}"
    awk -v w="${walls[pictor]}" -v c="${cpus[pictor]}" -v n="$cores" \
      'BEGIN {printf "  %-58s %.2f\n", "pictor wall / (its CPU / " n ")", w / (c / n)}'
    ratio "pictor CPU / baseline CPU" cpu pictor cpu baseline
    ratio "pictor --threads 1 wall / baseline taskset -c 0 wall" wall "pictor --threads 1" \
      wall "baseline taskset -c 0"
    ratio "pictor taskset -c 0 wall / baseline taskset -c 0 wall" wall "pictor taskset -c 0" \
      wall "baseline taskset -c 0"
    ratio "pictor taskset -c 0 CPU / baseline taskset -c 0 CPU" cpu "pictor taskset -c 0" \
      cpu "baseline taskset -c 0"
    ratio "pictor taskset -c 0 wall / pictor wall (what the cores bring)" wall \
      "pictor taskset -c 0" wall pictor
    ratio "pictor wall / floor, $cores threads wall" wall pictor wall "floor, $cores threads"
    ratio "pictor wall / floor wall" wall pictor wall floor
    for peer in vips oiiotool; do
      ratio "pictor wall / $peer wall" wall pictor wall "$peer"
    done
    ratio "pictor --float wall / pictor wall" wall "pictor --float" wall pictor
    ratio "pictor --no-dump wall / pictor wall" wall "pictor --no-dump" wall pictor
    thread_split "$program"
  done
  rm -f ./*.hdr ./*.exr inscanline_out.raw
done
