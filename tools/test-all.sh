#!/usr/bin/env bash
# Builds the tool from scratch and runs the whole test suite; then, when the
# mingw-w64 cross compiler and Wine are installed, builds the Windows program
# Brovask.exe into build-win32/ and runs the end-to-end suites on it under
# Wine (BROVASK_SKIP_WIN32=1 leaves that out); then runs the suite again in a
# clang build under AddressSanitizer and UndefinedBehaviorSanitizer, and
# fuzzes the per-file sequence for a bounded time. Any failure, sanitizer
# report or fuzzer finding fails the script.
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

# The Windows program, cross-built, and the end-to-end suites on it under Wine.
if [ $win32 = 1 ]; then
    start=$SECONDS
    rm -rf build-win32
    cmake -S . -B build-win32 -DCMAKE_BUILD_TYPE=Release -DBROVASK_WERROR=ON -DBROVASK_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
    cmake --build build-win32 -j"$jobs"
    ctest --test-dir build --output-on-failure -j"$jobs" -L win32
    echo "test-all: the Windows part took $((SECONDS - start)) s"
else
    echo "test-all: i686-w64-mingw32-g++ or wine not found (or BROVASK_SKIP_WIN32=1):" \
        "the Windows suite did not run"
fi

clang=${BROVASK_CLANG:-clang++-14}
if ! command -v "$clang" >/dev/null; then
    echo "test-all: $clang is needed for the sanitizer and fuzz builds" \
        "(apt-get install clang-14 libclang-rt-14-dev llvm-14)" >&2
    exit 1
fi
if command -v llvm-symbolizer-14 >/dev/null; then
    export ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer-14)
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# The whole suite under the sanitizers; the end-to-end tests then run the
# sanitized program.
rm -rf build-asan
CXX=$clang cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBROVASK_WERROR=ON \
    -DBROVASK_SANITIZE=ON
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"

# A bounded fuzz run from the generated seeds. Fixed seed, fixed time; the
# statistics lines go to the log so that coverage can be followed.
rm -rf build-fuzz
CXX=$clang cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBROVASK_WERROR=ON \
    -DBROVASK_FUZZ=ON -DBROVASK_TESTS=OFF
cmake --build build-fuzz -j"$jobs" --target fuzz_package make_seeds
mkdir -p build-fuzz/seeds build-fuzz/corpus build-fuzz/findings build-fuzz/tmp
build-fuzz/make_seeds build-fuzz/seeds
status=0
TMPDIR=$PWD/build-fuzz/tmp build-fuzz/fuzz_package -seed=1 -max_total_time="${BROVASK_FUZZ_TIME:-60}" \
    -timeout=10 -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$PWD/build-fuzz/findings/" \
    build-fuzz/corpus build-fuzz/seeds >build-fuzz/fuzz.log 2>&1 || status=$?
grep -aE '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::' build-fuzz/fuzz.log || true
if [ "$status" -ne 0 ] || [ -n "$(ls -A build-fuzz/findings)" ]; then
    tail -n 60 build-fuzz/fuzz.log | cat -v
    echo "test-all: the fuzzer found a fault (exit status $status); see build-fuzz/findings/" >&2
    exit 1
fi
echo "test-all: all builds and the fuzz run are clean"
