#!/usr/bin/env bash
# Builds everything and runs every test: unit and end-to-end tests in a plain build, again
# under AddressSanitizer + UndefinedBehaviorSanitizer, and again under ThreadSanitizer (clang,
# which also checks the lock annotations at compile time); then the format check.
#   bash scripts/test.sh          all of it
#   bash scripts/test.sh quick    the plain build only
set -euo pipefail
cd "$(dirname "$0")/.."

mode="${1:-all}"
if [ "$mode" = quick ]; then
    bash scripts/setup.sh
    presets=(dev)
else
    bash scripts/setup.sh --full
    presets=(dev asan tsan)
fi
jobs="$(nproc 2>/dev/null || echo 2)"

for p in "${presets[@]}"; do
    echo "=== $p: build"
    cmake --preset "$p" >/dev/null
    cmake --build --preset "$p" -j "$jobs"
    echo "=== $p: tests"
    # ThreadSanitizer's shadow memory wants the address space laid out the usual way.
    if [ "$p" = tsan ] && command -v setarch >/dev/null 2>&1; then
        setarch "$(uname -m)" -R ctest --preset "$p" -j "$jobs"
    else
        ctest --preset "$p" -j "$jobs"
    fi
done

if [ "$mode" != quick ]; then
    echo "=== format"
    git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
    echo "format: clean"
fi
