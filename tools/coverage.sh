#!/bin/sh
# Line and branch coverage of the test suite, per folder of the programs' code: builds with
# coverage into build-coverage/, runs every test, prints each folder's figures, then the lines
# and branches of rgbe/ and exr_io/ that no test reaches. Needs gcovr (Debian's gcovr).
set -eu
cd "$(dirname "$0")/.."
if ! command -v gcovr >/dev/null 2>&1; then
  echo "coverage: gcovr is not installed (apt-get install gcovr)" >&2
  exit 1
fi
jobs=$(nproc)
cmake -S . -B build-coverage -DCMAKE_BUILD_TYPE=Debug -DPICTOR_BENCH=OFF -DPICTOR_WERROR=ON \
  "-DCMAKE_CXX_FLAGS=--coverage -fprofile-update=atomic" -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
cmake --build build-coverage -j"$jobs"
find build-coverage -name '*.gcda' -delete
# Programs run as another user can't write their counts, and say so on standard error, which
# the tests of those runs compare: such tests fail here only. Programs run under a file-size
# limit would cut the count files short, spoiling every later count: those tests are left out.
(cd build-coverage && ctest -j"$jobs" -E FullDisk) | tail -8 || true
# Branches that only an exception thrown by the standard library would take are left out.
# Counts that threads raced on are ignored, not fatal.
common="--root . --object-directory build-coverage --exclude-directories build-coverage/CMakeFiles/3.*
  --exclude-throw-branches --exclude-unreachable-branches --gcov-ignore-parse-errors"
echo "== coverage per folder"
# gcovr replaces the file it writes, even a device: its report goes to a scratch file, never
# to /dev/null, which as root it would turn into a regular file.
report=$(mktemp)
trap 'rm -f "$report"' EXIT
for folder in rgbe exr_io runtime cli; do
  [ -d "$folder" ] || continue
  # shellcheck disable=SC2086
  gcovr $common --filter "$folder/" --print-summary --output "$report" |
    awk -v f="$folder/" '{printf "%s%s", (NR == 1 ? sprintf("%-9s", f) : "   "), $0} END {print ""}'
done
echo "== lines and branches of rgbe/ and exr_io/ that no test reaches"
# shellcheck disable=SC2086
gcovr $common --filter rgbe/ --filter exr_io/ --branches
