#!/bin/sh
# Builds the programs, tests and benchmarks into build/.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICTOR_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)"
