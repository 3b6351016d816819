#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal build, once under the
# address and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

scripts/format.sh --check

scripts/build.sh build -DPROWLIX_WERROR=ON
(cd build && ctest --output-on-failure -j "$jobs")

scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DPROWLIX_SANITIZE=ON -DPROWLIX_WERROR=ON
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j "$jobs")

# Fuzz targets, briefly, over their seed corpora (scripts/fuzz.sh runs them longer).
scripts/build.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DPROWLIX_FUZZ=ON -DPROWLIX_TESTS=OFF -DPROWLIX_DESKTOP=OFF
(cd build-fuzz && ctest --output-on-failure -L fuzz)
