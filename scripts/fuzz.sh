#!/usr/bin/env bash
# Runs every fuzz target for longer: scripts/fuzz.sh [seconds per target, default 300]
# New inputs found go to build-fuzz/corpus/<target>; crashes to build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
scripts/setup.sh
scripts/build.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DPROWLIX_FUZZ=ON -DPROWLIX_TESTS=OFF -DPROWLIX_DESKTOP=OFF
mkdir -p build-fuzz/artifacts
for seeds in fuzz/corpus/*/; do
    target=$(basename "$seeds")
    mkdir -p "build-fuzz/corpus/$target"
    echo "== $target ($seconds s)"
    QT_QPA_PLATFORM=offscreen "build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
        -artifact_prefix=build-fuzz/artifacts/ "build-fuzz/corpus/$target" "$seeds"
done
