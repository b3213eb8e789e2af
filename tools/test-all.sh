#!/usr/bin/env bash
# Builds the tool from scratch and runs the whole test suite: first the
# Linux program, then, when the mingw-w64 cross compiler and Wine are
# installed, the Windows program Brovask.exe (built into build-win32/) under
# Wine. BROVASK_SKIP_WIN32=1 leaves the Windows part out.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

win32=0
if [ "${BROVASK_SKIP_WIN32:-0}" != 1 ] && command -v i686-w64-mingw32-g++ >/dev/null &&
    command -v wine >/dev/null && command -v wineboot >/dev/null; then
    win32=1
fi
win32_exe="$PWD/build-win32/Brovask.exe"

rm -rf build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBROVASK_WERROR=ON \
    -DBROVASK_WIN32_EXE="$([ $win32 = 1 ] && echo "$win32_exe")"
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" -LE win32

if [ $win32 = 0 ]; then
    echo "test-all: i686-w64-mingw32-g++ or wine not found (or BROVASK_SKIP_WIN32=1):" \
        "the Windows suite did not run"
    exit 0
fi
start=$SECONDS
rm -rf build-win32
cmake -S . -B build-win32 -DCMAKE_BUILD_TYPE=Release -DBROVASK_WERROR=ON -DBROVASK_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
cmake --build build-win32 -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" -L win32
echo "test-all: the Windows part took $((SECONDS - start)) s"
