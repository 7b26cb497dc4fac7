#!/bin/bash
# Counts the instructions of one conversion each way with valgrind's callgrind (exact, whatever
# else the machine does) and splits them: OpenEXR's own compression, decompression and framing;
# the per-value conversions we call in it; our own functions; the C library's stream I/O that we
# drive. Memory copies and fills of the C library count for whoever calls them. Runs on one
# thread, so that the split does not depend on how work is shared.
#   bench/bench_instructions.sh [WIDTHxHEIGHT]      default 4096x2048; build first (tools/build.sh)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${PICTOR_BUILD:-$top/build}
corpus=${PICTOR_CORPUS:-$top/../shared/corpus}
size=${1:-4096x2048}
command -v valgrind >/dev/null || { echo "bench_instructions: valgrind is not installed" >&2; exit 1; }
. "$top/bench/photo_picture.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/pictor_instructions.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
photo_picture "${size%x*}" "${size#*x}" in.hdr
"$build/pictor_tohalf" -i in.hdr -o in.exr >/dev/null 2>&1

# split PROFILE: prints the shares, from callgrind_annotate's tree of callers.
split() {
  callgrind_annotate --tree=caller "$1" 2>/dev/null | awk '
    function class(text) {
      if (text ~ /ImfFloatToHalf|ImfHalfToFloat|imath_.*half/) return "conversions"
      if (text ~ /libOpenEXR|libImath|libIex|libIlmThread/) return "library"
      if (text ~ /libc\.so/) {
        if (text ~ /(mem(set|cpy|move|pcpy)|__memset|__memcpy|__mempcpy|__memmove)/) return "memory"
        if (text ~ /(fread|fwrite|fflush|fclose|fopen|getc|putc|_IO_|__uflow|__overflow)/) return "stream"
        return "other"
      }
      if (text ~ /\/(pictor_tohalf|pictor_fromhalf)\]/ || text !~ /\[/) return "ours"
      return "other"
    }
    function cost(line) { v = line; sub(/^ */, "", v); sub(/ .*/, "", v); gsub(/,/, "", v); return v + 0 }
    /PROGRAM TOTALS/ { total = cost($0) }
    / < / { callers[++n] = $0; next }
    / \* / {
      c = class($0)
      if (c != "memory") { share[c] += cost($0) }
      else for (k = 1; k <= n; k++) {
        d = class(callers[k]); if (d == "memory" || d == "other") d = "other"
        share[d] += cost(callers[k])
      }
      n = 0; next
    }
    /^$/ { n = 0 }
    END {
      ourside = share["ours"] + share["conversions"] + share["stream"]
      printf "  %-44s %15.0f\n", "instructions", total
      printf "  %-44s %6.1f %%\n", "OpenEXR compression, decompression, framing", 100 * share["library"] / total
      printf "  %-44s %6.1f %%\n", "per-value conversions we call", 100 * share["conversions"] / total
      printf "  %-44s %6.1f %%\n", "our own functions", 100 * share["ours"] / total
      printf "  %-44s %6.1f %%\n", "stream I/O we drive", 100 * share["stream"] / total
      printf "  %-44s %6.1f %%\n", "other (start-up, libraries)", 100 * share["other"] / total
      printf "  %-44s %6.1f %%\n", "our share (conversions, functions, I/O)", 100 * ourside / total
    }'
}

valgrind --tool=callgrind --callgrind-out-file=tohalf.out \
  "$build/pictor_tohalf" -i in.hdr -o out.exr --threads 1 >/dev/null 2>&1
echo "== pictor_tohalf, $size"
split tohalf.out
valgrind --tool=callgrind --callgrind-out-file=fromhalf.out \
  "$build/pictor_fromhalf" -i in.exr -o out.hdr --threads 1 >/dev/null 2>&1
echo "== pictor_fromhalf, $size (dump included)"
split fromhalf.out
