#!/bin/sh
# Builds the programs, tests and benchmark programs into build/.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICTOR_WERROR=ON -DPICTOR_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)"
