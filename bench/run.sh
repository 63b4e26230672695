#!/usr/bin/env bash
# Builds the Release program, devsim and the pacing relay in build-release/, then runs the
# benchmarks (bench/bench.py) and prints their tables; they also go to
# build-release/bench-results.md. Arguments go to bench.py: --rounds N, --only text,pasel,...,
# --megabytes N (see bench.py --help). It measures; it never fails on a time.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-release
jobs=${JOBS:-2}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKIVET_TESTS=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target kivet32 devsim >/dev/null
if [ ! -x "$build/bench-relay" ] || [ bench/relay.cpp -nt "$build/bench-relay" ]; then
    "${CXX:-c++}" -std=c++20 -O2 -Wall -Wextra -o "$build/bench-relay" bench/relay.cpp -lpthread -lutil
fi
command -v tmux >/dev/null || echo "tmux is not installed: the tmux rows are skipped"
# Peer rows of the text tables: other serial terminals; and socat, the plain socket reader of
# the network rows (ser2net itself comes with scripts/setup.sh). Installed quietly when run as
# root; when they are still missing, bench.py leaves their rows out with a note under the table.
missing=()
for peer in picocom tio socat; do command -v "$peer" >/dev/null || missing+=("$peer"); done
if [ "${#missing[@]}" -gt 0 ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 ||
        { apt-get update -qq >/dev/null 2>&1 &&
          apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1; } || true
fi
exec python3 bench/bench.py --build "$build" --relay "$build/bench-relay" \
    --out "$build/bench-results.md" "$@"
