#!/bin/sh
# Line and branch coverage of the test suite over the code of rgbe/, exr_io/ and cli/: builds
# with coverage into build-coverage/, runs every test, and prints per-file figures with the lines
# and branches that no test reaches. Needs gcovr (Debian's gcovr).
set -eu
cd "$(dirname "$0")/.."
if ! command -v gcovr >/dev/null 2>&1; then
  echo "coverage: gcovr is not installed (apt-get install gcovr)" >&2
  exit 1
fi
jobs=$(nproc)
cmake -S . -B build-coverage -DCMAKE_BUILD_TYPE=Debug -DPICTOR_BENCH=OFF \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
cmake --build build-coverage -j"$jobs"
find build-coverage -name '*.gcda' -delete
# Programs run under a file-size limit or as another user can't write their counts, and say so
# on standard error, which the tests of those runs compare: such tests fail here only.
(cd build-coverage && ctest -j"$jobs") | tail -8 || true
filters="--filter rgbe/ --filter exr_io/ --filter cli/ --exclude-directories build-coverage/CMakeFiles/3.*"
echo "== lines"
gcovr --root . $filters --object-directory build-coverage
echo "== branches"
# Branches that only an exception thrown by the standard library would take are left out.
gcovr --root . $filters --object-directory build-coverage --branches --exclude-throw-branches \
  --exclude-unreachable-branches
