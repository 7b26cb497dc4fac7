#!/bin/sh
# Builds pictor for arm64 as a packager would, with Debian's cross compiler
# (crossbuild-essential-arm64), and runs it under qemu-user: the tests that run in their own
# process (the codec, the EXR reader and writer, half floats, the pipeline and its pool, the
# command line, whole conversions of the kept fuzz inputs), then both converters over the
# shared corpus, every output, dump, message and status compared byte for byte with the amd64
# build in build/ (tools/build.sh). The tests that start the programs are left to the native
# builds: without binfmt_misc, an emulated program can't start another arm64 program.
# The arm64 development files come from tools/install-deps.sh, in build-arm64-sysroot/.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
corpus=${PICTOR_CORPUS:-$top/../shared/corpus}
sysroot=$top/build-arm64-sysroot
jobs=$(nproc)
[ -d "$sysroot/usr/lib/aarch64-linux-gnu/cmake/OpenEXR" ] ||
  { echo "cross-test: no arm64 files in $sysroot; run tools/install-deps.sh" >&2; exit 1; }

cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=tools/arm64-toolchain.cmake \
  -DPICTOR_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICTOR_WERROR=ON \
  -DPICTOR_BENCH=ON -DBUILD_TESTING=ON >/dev/null
cmake --build build-arm64 -j"$jobs"
[ -x build/pictor_tohalf ] || tools/build.sh

echo "== arm64 tests under qemu-user"
(cd build-arm64 && ctest --output-on-failure -j"$jobs" -R \
  '^(Rgbe|Exr|BandPipeline|WorkerPool|ConversionThreads|CommandLine\.(Paths|HelpRequests|ParseFillsTheStores)|CommandLineDeathTest|FuzzRegressions)')

echo "== both converters over the corpus, arm64 against amd64"
emulate() {
  qemu-aarch64 -L /usr/aarch64-linux-gnu \
    -E LD_LIBRARY_PATH="$sysroot/usr/lib/aarch64-linux-gnu:$sysroot/lib/aarch64-linux-gnu" "$@"
}
work=$(mktemp -d "${TMPDIR:-/tmp}/pictor_cross.XXXXXX")
trap 'rm -rf "$work"' EXIT
# convert ARCH PROGRAM INPUT OUTPUT: runs it in $work/ARCH, keeping what it printed and its status.
convert() {
  rm -rf "${work:?}/$1" && mkdir -p "$work/$1" && cd "$work/$1"
  status=0
  if [ "$1" = arm64 ]; then
    emulate "$top/build-arm64/$2" -i "$3" -o "$4" >out.txt 2>err.txt || status=$?
  else
    "$top/build/$2" -i "$3" -o "$4" >out.txt 2>err.txt || status=$?
  fi
  echo "$status" >status
  cd "$top"
}
# What is compared: everything, except where the difference is the OpenEXR library's own. Its
# arm64 build converts luminance-chroma files with other roundings (fused multiply-adds), and
# takes other ways through damaged files, with other messages; and qemu-user does not hold the
# program to the data limit that bounds the opening of a hostile file. For those, the statuses.
same=0 differ=0
for input in "$corpus"/hdr/*.hdr "$corpus"/exr/*.exr "$corpus"/exr-damaged/*; do
  [ -f "$input" ] || continue
  compared="out.txt err.txt status out.exr out.hdr inscanline_out.raw"
  case $input in
    *.hdr) program=pictor_tohalf output=out.exr ;;
    */COPYING) continue ;;
    */exr-damaged/*) program=pictor_fromhalf output=out.hdr compared=status ;;
    *) program=pictor_fromhalf output=out.hdr
       exrheader "$input" 2>/dev/null | grep -Eq '^ *(RY|BY), 16-bit' && compared="status out.txt" ;;
  esac
  convert amd64 "$program" "$input" "$output"
  convert arm64 "$program" "$input" "$output"
  differences=""
  for name in $compared; do
    [ -e "$work/amd64/$name" ] || [ -e "$work/arm64/$name" ] || continue
    cmp -s "$work/amd64/$name" "$work/arm64/$name" || differences="$differences $name"
  done
  if [ -z "$differences" ]; then
    same=$((same + 1))
  else
    differ=$((differ + 1))
    echo "DIFFERS $program $(basename "$input"):$differences"
  fi
done
echo "arm64 against amd64: $same the same, $differ different"
[ "$differ" -eq 0 ]
