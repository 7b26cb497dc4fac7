#!/bin/bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   tools/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]      (default 60 s; all three targets)
# Seeds come from the shared corpus (when present) and from small pictures made here. Inputs that
# crash, leak or time out are left in build-fuzz/artifacts/ and fail the run.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=${*:-rgbe_reader tohalf fromhalf}
corpus=${PICTOR_CORPUS:-$(pwd)/../shared/corpus}
jobs=$(nproc)

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPICTOR_FUZZ=ON -DBUILD_TESTING=OFF -DPICTOR_WERROR=ON -DPICTOR_BENCH=ON >/dev/null
cmake --build build-fuzz -j"$jobs" >/dev/null
fuzz=$(pwd)/build-fuzz

# Seeds: small pictures of our own, narrow, wide and flat ones, and the corpus.
seeds=$fuzz/seeds
rm -rf "$seeds"
mkdir -p "$seeds/hdr" "$seeds/exr"
for size in "16 4" "7 9" "1 1" "40 3" "300 2"; do
  set -- $size
  "$fuzz/bench/pictor_make_picture" "$1" "$2" "$seeds/hdr/made_$1x$2.hdr"
  (cd "$seeds" && "$fuzz/pictor_tohalf" -i "hdr/made_$1x$2.hdr" -o "exr/made_$1x$2.exr" >/dev/null 2>&1)
done
if [ -d "$corpus/hdr" ]; then
  find "$corpus/hdr" -type f -size -100k -exec cp {} "$seeds/hdr/" \;
fi
if [ -d "$corpus/exr" ]; then
  find "$corpus/exr" "$corpus/exr-damaged" -type f -size -100k ! -name COPYING -exec cp {} "$seeds/exr/" \;
fi

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:max_allocation_size_mb=1024
export LSAN_OPTIONS=suppressions=$(pwd)/tests/lsan_suppressions.txt:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for target in $targets; do
  case $target in
    fromhalf) seed=$seeds/exr ;;
    *) seed=$seeds/hdr ;;
  esac
  mkdir -p "$fuzz/corpus/$target" "$fuzz/artifacts/$target"
  echo "== fuzz_$target for $seconds s"
  if ! "$fuzz/tests/fuzz/fuzz_$target" "$fuzz/corpus/$target" "$seed" \
      -max_total_time="$seconds" -max_len=65536 -timeout=30 -rss_limit_mb=4096 \
      -malloc_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$fuzz/artifacts/$target/" > "$fuzz/fuzz_$target.log" 2>&1; then
    status=1
    echo "fuzz_$target found a failure; see $fuzz/fuzz_$target.log and $fuzz/artifacts/$target/"
    grep -E "ERROR|SUMMARY|Test unit written" "$fuzz/fuzz_$target.log" | head -5 || true
  fi
  grep -E "stat::number_of_executed_units|cov:" "$fuzz/fuzz_$target.log" | tail -2
done
exit $status
