#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test: the command CI runs.
#   scripts/test.sh            release build in build/, then the sanitizer run of the unit tests
#   QST_SKIP_SANITIZE=1 ...    only the release build and its tests
#   QST_SKIP_PACKAGE=1 ...     without the Debian package build and its checks (scripts/package.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

echo "== release build (build/)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQST_WERROR=ON
cmake --build build -j "$jobs"
echo "== tests"
ctest --test-dir build --output-on-failure -j "$jobs"

if [ "${QST_SKIP_SANITIZE:-0}" != "1" ]; then
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer build of the engine tests (build-asan/)"
    # The desktop application, its widget tests, the end-to-end, fault and database tests are not run here.
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQST_SANITIZE=ON -DQST_BUILD_BENCH=OFF \
        -DQST_SKIP_DIRS="src/app;ui;e2e;fault;db"
    cmake --build build-asan -j "$jobs"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build-asan --output-on-failure -j "$jobs" -L 'unit|fuzz'
fi
if [ "${QST_SKIP_FUZZ:-0}" != "1" ]; then
    echo "== fuzz: the dump import under libFuzzer (build-fuzz/)"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQST_SANITIZE=ON \
        -DQST_FUZZ=ON -DQST_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DQST_FUZZ_SECONDS=60
    cmake --build build-fuzz -j "$jobs" --target dump_import_fuzz
    ctest --test-dir build-fuzz --output-on-failure -L fuzz
fi
if [ "${QST_SKIP_PACKAGE:-0}" != "1" ]; then
    bash scripts/package.sh
fi
echo "== all tests passed"
