#!/bin/bash
# Runs both converters over every damaged file of the corpus, the kept fuzz inputs and the
# hostile inputs of pictor_make_hostile, and prints the time and peak memory of each run that
# takes over 0.2 s or 64 MB, then the worst of all.
#   bench/bench_hostile.sh          (build first: tools/build.sh)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTOR_BUILD:-$top/build}
corpus=${PICTOR_CORPUS:-$top/../shared/corpus}
work=$(mktemp -d "${TMPDIR:-/tmp}/pictor_hostile.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/in" "$work/run"
"$build/bench/pictor_make_hostile" "$work/in"

worst_seconds=0 worst_mb=0 count=0
run() {  # run PROGRAM INPUT
  /usr/bin/time -f "%e %M" -o "$work/time" "$build/$1" -i "$2" -o out >/dev/null 2>&1 || true
  read -r seconds kb < <(tail -1 "$work/time")
  local mb=$((kb / 1024))
  count=$((count + 1))
  awk -v s="$seconds" -v m="$mb" 'BEGIN {exit !(s > 0.2 || m > 64)}' &&
    printf '  %6.2f s %6d MB  %s %s\n' "$seconds" "$mb" "$1" "$(basename "$2")"
  worst_seconds=$(awk -v a="$worst_seconds" -v b="$seconds" 'BEGIN {print (b > a ? b : a)}')
  [ "$mb" -gt "$worst_mb" ] && worst_mb=$mb
  rm -rf "$work/run"/* "$work/run"/.[!.]* 2>/dev/null || true
}
cd "$work/run"
echo "== runs over 0.2 s or 64 MB"
for f in "$corpus"/exr-damaged/* "$top"/tests/fuzz/regressions/fromhalf/* "$work"/in/*.exr; do
  [ -f "$f" ] && run pictor_fromhalf "$f"
done
for f in "$top"/tests/fuzz/regressions/{tohalf,rgbe_reader}/* "$work"/in/*.hdr /dev/zero; do
  [ -e "$f" ] && run pictor_tohalf "$f"
done
echo "== $count runs: the slowest took $worst_seconds s, the largest peak was $worst_mb MB"
