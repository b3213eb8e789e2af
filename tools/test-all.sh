#!/usr/bin/env bash
# Builds the tool from scratch and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

rm -rf build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBROVASK_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
