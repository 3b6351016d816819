#!/usr/bin/env bash
# Lays out every tracked C++ file with the project's .clang-format: scripts/format.sh rewrites them,
# scripts/format.sh --check only reports (and fails) where the layout differs.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
    clang-format --dry-run -Werror "${files[@]}"
else
    clang-format -i "${files[@]}"
fi
