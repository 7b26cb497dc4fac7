#!/bin/sh
# Builds and runs the whole test suite twice: a normal build, then one with AddressSanitizer
# and UndefinedBehaviorSanitizer, where any report fails the run.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)
tools/build.sh
(cd build && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICTOR_SANITIZE=ON \
  -DPICTOR_BENCH=OFF >/dev/null
cmake --build build-sanitize -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
(cd build-sanitize && ctest --output-on-failure -j"$jobs")
