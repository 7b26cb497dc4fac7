#!/bin/bash
# Runs two builds of pictor over the same cases and compares everything users see: standard
# output, standard error, exit status, and the files left in the working folder (names and
# bytes). Cases: the shared corpus, its damaged files, the kept fuzz inputs, pictures made
# here (band boundaries, flat data, cut files, odd headers) and failures (missing and
# unwritable paths, full devices, file-size limits, allocation failures).
#   tools/compare_builds.sh OLD_BUILD NEW_BUILD      (build folders, e.g. an earlier commit's)
# Prints each case that differs with its differences, then the counts.
set -u
old=$(cd "$1" && pwd) new=$(cd "$2" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
corpus=${PICTOR_CORPUS:-$top/../shared/corpus}
work=$(mktemp -d "${TMPDIR:-/tmp}/pictor_compare.XXXXXX")
trap 'rm -rf "$work"' EXIT
inputs=$work/inputs
mkdir -p "$inputs"
same=0 differ=0

# Fingerprint of a folder: every entry with its type and the bytes of regular files.
listing() {
  (cd "$1" && find . -mindepth 1 | sort | while read -r f; do
    if [ -L "$f" ]; then echo "$f -> $(readlink "$f")"
    elif [ -f "$f" ]; then echo "$f $(sha256sum < "$f" | cut -c1-16)"
    else echo "$f/"; fi
  done)
}

# run_case NAME SETUP COMMAND: SETUP and COMMAND are shell text, run in a fresh folder with
# $build set to each build in turn; COMMAND's output and status are kept.
run_case() {
  local name=$1 setup=$2 command=$3 b
  for b in old new; do
    local dir=$work/run
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$dir" && build=${!b} && eval "$setup" && eval "$command" >"$work/$b.out" 2>"$work/$b.err"
     echo $? >"$work/$b.status")
    # Temporary names are random: only their form is compared.
    sed -i -E 's/pictor-[A-Za-z0-9]{6}/pictor-XXXXXX/g' "$work/$b.out" "$work/$b.err"
    listing "$dir" >"$work/$b.files"
  done
  local report=""
  for part in status out err files; do
    cmp -s "$work/old.$part" "$work/new.$part" ||
      report+="  $part:"$'\n'"$(diff "$work/old.$part" "$work/new.$part" | head -8 | sed 's/^/    /')"$'\n'
  done
  if [ -z "$report" ]; then
    same=$((same + 1))
  else
    differ=$((differ + 1))
    printf 'DIFFERS %s\n%s' "$name" "$report"
  fi
}

tohalf() { run_case "$1" "${3:-}" "\$build/pictor_tohalf -i $2 -o out.exr"; }
fromhalf() { run_case "$1" "${3:-}" "\$build/pictor_fromhalf -i $2 -o out.hdr"; }

# --- Inputs made here: pictures at band boundaries and around the coded widths.
make=$new/bench/pictor_make_picture
for w in 1 7 8 9 300 32767 32768; do
  for h in 1 15 16 17 33 64 65; do
    [ $((w * h)) -gt 2000000 ] && continue
    "$make" "$w" "$h" "$inputs/p_${w}x$h.hdr"
    (cd "$inputs" && "$new/pictor_tohalf" -i "p_${w}x$h.hdr" -o "p_${w}x$h.exr" >/dev/null 2>&1)
  done
done
# Coded rows that turn flat at row k (width 14; the flat rows come from a width-7 picture).
body() { tail -c +"$(( $(head -n 4 "$1" | wc -c) + 1 ))" "$1"; }
for k in 0 1 15 16 17 31; do
  rows=40
  "$make" 14 "$k" "$work/coded.hdr" 2>/dev/null || : >"$work/coded.hdr"
  "$make" 7 $((2 * (rows - k))) "$work/flat.hdr"
  { printf '#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X 14\n' $rows
    [ "$k" -gt 0 ] && body "$work/coded.hdr"; body "$work/flat.hdr"; } >"$inputs/flat_from_$k.hdr"
done
# Cut pictures.
for f in p_300x33 p_9x17; do
  size=$(stat -c %s "$inputs/$f.hdr")
  for cut in 0 1 10 30 $((size / 3)) $((size / 2)) $((size - 1)); do
    head -c "$cut" "$inputs/$f.hdr" >"$inputs/cut_${f}_$cut.hdr"
  done
  size=$(stat -c %s "$inputs/$f.exr")
  for cut in 100 $((size / 2)) $((size - 40)) $((size - 1)); do
    head -c "$cut" "$inputs/$f.exr" >"$inputs/cut_${f}_$cut.exr"
  done
done
# Headers.
good=$(body "$inputs/p_9x17.hdr" | base64 -w0)
header() { { printf '%b' "$2"; echo "$good" | base64 -d; } >"$inputs/h_$1.hdr"; }
header gamma2 '#?RGBE\nFORMAT=32-bit_rle_rgbe\nGAMMA=2\nEXPOSURE=3\n\n-Y 17 +X 9\n'
header exposure0 '#?RGBE\nFORMAT=32-bit_rle_rgbe\nEXPOSURE=0\n\n-Y 17 +X 9\n'
header gammanan '#?RGBE\nFORMAT=32-bit_rle_rgbe\nGAMMA=nan\n\n-Y 17 +X 9\n'
header badgamma_cut '#?RGBE\nFORMAT=32-bit_rle_rgbe\nGAMMA=-1\n\n-Y 170 +X 9\n'
header badtoken '#!RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 17 +X 9\n'
header noblank '#?RGBE\nFORMAT=32-bit_rle_rgbe\n-Y 17 +X 9\n'
header wrongwidth '#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 17 +X 300\n'
header negative '#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y -5 +X 10\n'
header huge '#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2000000000 +X 2000000000\n'
header widest '#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 2147483647\n'
header tall '#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2147483647 +X 30000\n'
header large '#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 100000 +X 100000\n'
: >"$inputs/empty.hdr"

# --- pictor_tohalf
for f in "$corpus"/hdr/*.hdr "$top"/tests/fuzz/regressions/{tohalf,rgbe_reader}/* "$inputs"/*.hdr; do
  [ -f "$f" ] && tohalf "tohalf $(basename "$f")" "$f"
done
picture="cp $inputs/p_300x33.hdr in.hdr"
run_case "tohalf missing input" "" "\$build/pictor_tohalf -i missing.hdr -o out.exr"
run_case "tohalf no -o" "$picture" "\$build/pictor_tohalf -i in.hdr"
run_case "tohalf no -i" "" "\$build/pictor_tohalf -o out.exr"
run_case "tohalf usage" "" "\$build/pictor_tohalf -h"
run_case "tohalf other order" "$picture" "\$build/pictor_tohalf -o out.exr -i in.hdr"
run_case "tohalf same file" "$picture" "\$build/pictor_tohalf -i in.hdr -o ./in.hdr"
for out in missing/out.exr /proc/out.exr folder /dev/full /dev/null; do
  run_case "tohalf -o $out" "$picture; mkdir folder" "\$build/pictor_tohalf -i in.hdr -o $out"
done
run_case "tohalf -o /dev/full, cut input" "cp $inputs/cut_p_300x33_30.hdr in.hdr" \
  "\$build/pictor_tohalf -i in.hdr -o /dev/full"
for limit in 1 4 40; do
  run_case "tohalf file size limit ${limit}k" "cp $inputs/p_32767x33.hdr in.hdr; echo old >out.exr" \
    "(trap '' XFSZ; ulimit -f $limit; exec \$build/pictor_tohalf -i in.hdr -o out.exr)"
done

# --- pictor_fromhalf
for f in "$corpus"/exr/*.exr "$corpus"/exr-damaged/* "$top"/tests/fuzz/regressions/fromhalf/* \
         "$inputs"/*.exr; do
  [ -f "$f" ] && fromhalf "fromhalf $(basename "$f")" "$f"
done
picture="cp $inputs/p_300x33.exr in.exr"
run_case "fromhalf missing input" "" "\$build/pictor_fromhalf -i missing.exr -o out.hdr"
run_case "fromhalf not exr" "echo text >in.exr" "\$build/pictor_fromhalf -i in.exr -o out.hdr"
run_case "fromhalf no -o" "$picture" "\$build/pictor_fromhalf -i in.exr"
run_case "fromhalf usage after input" "$picture" "\$build/pictor_fromhalf -i in.exr -h"
run_case "fromhalf same file" "$picture" "\$build/pictor_fromhalf -i in.exr -o in.exr"
run_case "fromhalf input is dump" "$picture; cp in.exr inscanline_out.raw" \
  "\$build/pictor_fromhalf -i inscanline_out.raw -o out.hdr"
for out in missing/out.hdr /proc/out.hdr folder /dev/full /dev/null; do
  run_case "fromhalf -o $out" "$picture; mkdir folder" "\$build/pictor_fromhalf -i in.exr -o $out"
done
run_case "fromhalf unwritable folder" "$picture" \
  "cd /proc && \$build/pictor_fromhalf -i $work/run/in.exr -o $work/run/out.hdr"
run_case "fromhalf dump on /dev/full" "$picture; ln -s /dev/full inscanline_out.raw" \
  "\$build/pictor_fromhalf -i in.exr -o out.hdr"
run_case "fromhalf dump on /dev/null" "$picture; ln -s /dev/null inscanline_out.raw" \
  "\$build/pictor_fromhalf -i in.exr -o out.hdr"
for limit in 1 8 100; do
  run_case "fromhalf file size limit ${limit}k" "$picture; echo old >out.hdr" \
    "(trap '' XFSZ; ulimit -f $limit; exec \$build/pictor_fromhalf -i in.exr -o out.hdr)"
done

# --- Allocation failures: a 1234 x 3 picture, so that every buffer has a size of its own.
# Each case names a buffer and its size in the old and the new build.
fail_malloc=$new/tests/libpictor_failing_malloc.so
if [ -f "$fail_malloc" ]; then
  "$make" 1234 3 "$inputs/m.hdr" && (cd "$inputs" && "$new/pictor_tohalf" -i m.hdr -o m.exr >/dev/null 2>&1)
  fault() {  # fault NAME PROGRAM INPUT OLD_SIZE NEW_SIZE [OLD_NTH [NEW_NTH]]
    local name=$1 program=$2 input=$3 old_size=$4 new_size=$5 old_nth=${6:-1} new_nth=${7:-${6:-1}}
    run_case "$program fails $name" "cp $inputs/$input in.${input##*.}" \
      "if [ \"\$build\" = $old ]; then size=$old_size nth=$old_nth; else size=$new_size nth=$new_nth; fi;
       LD_PRELOAD=$fail_malloc PICTOR_FAIL_MALLOC_SIZE=\$size PICTOR_FAIL_MALLOC_NTH=\$nth \
       \$build/$program -i in.${input##*.} -o out"
  }
  W=1234
  fault "first picture buffer" pictor_tohalf m.hdr $((W * 3 * 24)) $((W * 3 * 24)) 1
  fault "second picture buffer" pictor_tohalf m.hdr $((4 * W * 3 * 8)) $((4 * W * 3 * 8))
  fault "codec planes" pictor_tohalf m.hdr $((4 * W)) $((4 * W))
  fault "row" pictor_tohalf m.hdr $((32 * W)) $((32 * W))
  fault "writer half row" pictor_tohalf m.hdr $((8 * W)) $((8 * W))
  fault "reader half row" pictor_fromhalf m.exr $((8 * W)) $((8 * W))
  fault "reader row" pictor_fromhalf m.exr $((32 * W)) $((32 * W))
  fault "pixel buffer" pictor_fromhalf m.exr $((W * 3 * 24)) $((W * 3 * 24))
  fault "dump record" pictor_fromhalf m.exr $((16 * W)) $((16 * W))
  fault "coder planes" pictor_fromhalf m.exr $((4 * W + 64)) $((4 * W + 64))
fi

echo "compared $((same + differ)) cases: $same the same, $differ different"
