#!/bin/sh
# Builds and runs the whole test suite twice: a normal build, then one with AddressSanitizer
# and UndefinedBehaviorSanitizer, where any report fails the run. Then the converter tests
# once more under ThreadSanitizer, an arm64 build under qemu-user against the amd64 one
# (tools/cross-test.sh), and each fuzz target for a minute (PICTOR_FUZZ_SECONDS).
# Warnings are errors in all of these builds. With CI=true, a tool that a stage needs and that
# is missing fails the run instead of leaving the stage, or its tests, out.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)
if [ "${CI:-}" = true ]; then
  for tool in clang++ oiiotool exrheader lintian groff dpkg-shlibdeps aarch64-linux-gnu-g++ \
      qemu-aarch64; do
    command -v "$tool" >/dev/null 2>&1 || { echo "test: $tool is not installed" >&2; exit 1; }
  done
fi
tools/build.sh
(cd build && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICTOR_SANITIZE=ON \
  -DPICTOR_WERROR=ON >/dev/null
cmake --build build-sanitize -j"$jobs"
# The library may ask for absurd amounts on damaged files: let such a request fail as it
# does without the sanitizer, instead of ending the process or filling the machine.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:allocator_may_return_null=1:max_allocation_size_mb=1024
export LSAN_OPTIONS=suppressions=$(pwd)/tests/lsan_suppressions.txt:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
(cd build-sanitize && ctest --output-on-failure -j"$jobs")

# The converters run several threads: their tests, and the pipeline's own, under
# ThreadSanitizer.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICTOR_TSAN=ON -DPICTOR_WERROR=ON >/dev/null
cmake --build build-tsan -j"$jobs"
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j"$jobs" \
  -R '^(BandPipeline|WorkerPool|ConversionThreads|Tohalf|Fromhalf|FuzzRegressions)\.')
# The pipeline's hand-overs between threads, many times over: a race there shows only now and
# then, as a report or as a run that never ends.
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 timeout 600 tests/pictor_tests \
  --gtest_filter='BandPipeline.*:WorkerPool.*' --gtest_repeat=50 --gtest_brief=1)

if command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 && command -v qemu-aarch64 >/dev/null 2>&1; then
  tools/cross-test.sh
else
  echo "test: crossbuild-essential-arm64 or qemu-user not installed, arm64 build not tried"
fi

if command -v clang++ >/dev/null 2>&1; then
  tools/fuzz.sh "${PICTOR_FUZZ_SECONDS:-60}"
else
  echo "test: clang++ not installed, fuzz targets not run"
fi
