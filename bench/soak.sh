#!/usr/bin/env bash
# The soak: builds the Release program and devsim in build-release/ (as bench/run.sh does), then
# runs many transfers of both modes and directions over devsim's spoiled link, each judged on
# both sides, watching the host's memory, descriptors and threads (bench/soak.py). Ends with
#   soak: N transfers, E byte-exact, F failed cleanly, C corrupted
# and fails when C > 0 or a leak or hang is found.
#   bash bench/soak.sh [--transfers N] [--jobs J] [--seed S] [--batch B] [--keep] [--trace]
#   bash bench/soak.sh --build DIR ...   the programs of a build already made (no Release build)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --build ]; then
    build=$2
    shift 2
else
    build=build-release
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKIVET_TESTS=OFF >/dev/null
    cmake --build "$build" -j"${JOBS:-2}" --target kivet32 devsim >/dev/null
fi
exec python3 bench/soak.py --build "$build" "$@"
