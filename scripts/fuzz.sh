#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for the given seconds (default 60), one
# after the other, each with its dictionary (tests/fuzz/<name>.dict) on a copy of its work
# corpus and its seeds (tests/fuzz/corpus/<name>/). Inputs that add coverage are merged back
# into the work corpus, build-fuzz/corpus/<name>/, so each run starts where the last one ended;
# the seeds in the repository stay as they are. A crash's input goes to build-fuzz/crashes/.
# Prints a line per target (executions, coverage and features from libFuzzer's last status
# line, crashes) and fails when any target crashed.
#   bash scripts/fuzz.sh          60 s per target
#   bash scripts/fuzz.sh 3600     the longer campaign: an hour per target
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
jobs="$(nproc 2>/dev/null || echo 2)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

mkdir -p build-fuzz/crashes
run="$(mktemp -d)"
trap 'rm -rf "$run"' EXIT
summary=()
failed=0
for target in build-fuzz/*_fuzz; do
    name="$(basename "$target" _fuzz)"
    seeds="tests/fuzz/corpus/$name"
    dict="tests/fuzz/$name.dict"
    work="build-fuzz/corpus/$name"
    mkdir -p "$work"
    rm -rf "$run/corpus" && mkdir "$run/corpus"
    cp -r "$work/." "$run/corpus/"
    [ -d "$seeds" ] && cp -r "$seeds/." "$run/corpus/"
    echo "=== fuzz: $name, $seconds s, $(find "$run/corpus" -type f | wc -l) inputs to start"
    touch "$run/start"
    args=()
    [ -f "$dict" ] && args+=("-dict=$dict")
    status=0
    "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 "${args[@]}" \
        -artifact_prefix="build-fuzz/crashes/$name-" "$run/corpus" >"$run/log" 2>&1 || status=$?
    crashes="$(find build-fuzz/crashes -name "$name-*" -newer "$run/start" | wc -l)"
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$run/log"
        failed=1
        [ "$crashes" -gt 0 ] || crashes=1  # a fault that left no input (a leak at exit, a signal)
    fi
    # The last status line: "#N DONE cov: C ft: F corp: ..." (or the last "pulse"/"NEW" one).
    last="$(grep -E '^#[0-9]+' "$run/log" | tail -n 1 || true)"
    execs="$(grep -oE '^stat::number_of_executed_units: *[0-9]+' "$run/log" | grep -oE '[0-9]+$' ||
        echo "${last%%[^#0-9]*}" | tr -d '#')"
    cov="$(echo "$last" | grep -oE 'cov: [0-9]+' | grep -oE '[0-9]+' || echo '?')"
    ft="$(echo "$last" | grep -oE 'ft: [0-9]+' | grep -oE '[0-9]+' || echo '?')"
    # Only what adds coverage goes back: the merge keeps the work corpus small.
    "$target" -merge=1 -timeout=10 -artifact_prefix="build-fuzz/crashes/$name-" \
        "$work" "$run/corpus" >"$run/merge.log" 2>&1 || {
        tail -n 20 "$run/merge.log"
        failed=1
    }
    line="$(printf '%-12s %12s executions  cov %6s  ft %7s  crashes %s  corpus %s' "$name" \
        "$execs" "$cov" "$ft" "$crashes" "$(find "$work" -type f | wc -l)")"
    echo "fuzz: $line"
    summary+=("$line")
done
echo "=== fuzz: $seconds s per target"
printf 'fuzz: %s\n' "${summary[@]}"
exit "$failed"
